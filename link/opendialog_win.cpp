#include "link/opendialog.h"

#include "link/dialogplacement.h"

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

bool TOpenDialog::Execute()
{
    QFileDialog dialog(m_owner, Title, startFolder());
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
