#include "link/opendialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QWidget>

TOpenDialog::TOpenDialog(QWidget* owner) : QObject(owner), m_owner(owner) {}

QStringList TOpenDialog::nameFilters() const
{
    const QStringList parts = Filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')));
    return filters;
}

bool TOpenDialog::Execute()
{
    QFileDialog dialog(m_owner, Title, InitialDir);
    dialog.setObjectName(QStringLiteral("OpenDialog1Window"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters());
    if (!DefaultExt.isEmpty())
        dialog.setDefaultSuffix(DefaultExt);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
    return true;
}
