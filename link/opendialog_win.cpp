#include "link/opendialog.h"

#include "link/dialogplacement.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QWidget>

// Windows keeps file names in UTF-16, so Qt's dialog lists every file: the list of names that it cannot
// show, which the POSIX build adds under it, has nothing to hold here. The dialog is Qt's own, as on Linux,
// so that it speaks Korean on every Windows desk whatever the system's language, and is placed beside the
// control given to keepInReach() as on Linux.

TOpenDialog::TOpenDialog(QWidget* owner) : QObject(owner), m_owner(owner)
{
}

QStringList TOpenDialog::nameFilters() const
{
    const QStringList parts = Filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << QStringLiteral("%1 (%2)").arg(parts[i],
                                                 QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')));
    return filters;
}

bool TOpenDialog::Execute()
{
    // Always a folder of our own: given none, Qt's dialog would start where any earlier one left off.
    const QString folder = !m_lastFolder.isEmpty() ? m_lastFolder
        : !InitialDir.isEmpty()                    ? InitialDir
                                                   : QDir::currentPath();
    QFileDialog dialog(m_owner, Title, folder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    placeBeside(dialog, m_keepInReach);
    dialog.setObjectName(QStringLiteral("OpenDialog1Window"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters());
    if (!DefaultExt.isEmpty())
        dialog.setDefaultSuffix(DefaultExt);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    const QFileInfo chosen(dialog.selectedFiles().constFirst());
    FileName = chosen.absoluteFilePath();
    m_lastFolder = chosen.absolutePath();
    return true;
}
