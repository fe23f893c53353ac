#pragma once
// TOpenDialog: the open-file dialog of the download.
//
// Holds the settings that the window gives it (Filter as "description|pattern" pairs, Title, InitialDir,
// DefaultExt) and the chosen file's full path. Execute() builds a modal, non-native file dialog only when it
// runs, so that the window starts without one, and returns whether the operator confirmed a file; a cancel
// leaves FileName as it was. The dialog is an ordinary QFileDialog child of the owner window while it runs,
// which is how tests find and answer it.
//
// Qt's file dialog cannot list a file whose name is not valid UTF-8 (one named in code page 949, say). Such
// files of the shown folder are listed under it (list "rawNamedFiles", button "openRawNamedFile"), their
// names read as code page 949; choosing one gives FileName in the form of decodeFileName() (link/filename.h),
// which keeps the name's exact bytes.
//
// Such names are read on a worker thread (a folder may hold a great many), so that the event loop never waits
// for the listing; the list fills when the folder has been read.
//
// The dialog opens in the folder of the last file confirmed through it, as platform open dialogs do; before
// the first, in InitialDir, or the working folder when that is empty. That folder is kept in memory only,
// until the program ends. It is placed beside the control given to keepInReach() where the screen has room,
// so that the control (the direction pad, with Stop) is not hidden behind it.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QWidget;

class TOpenDialog : public QObject
{
    Q_OBJECT

public:
    explicit TOpenDialog(QWidget* owner);

    // Runs the dialog modally; true when the operator confirmed a file.
    bool Execute();
    QString GetFileName() const { return FileName; }

    // The control that the dialog must not cover where the screen leaves room beside it.
    void keepInReach(QWidget* control) { m_keepInReach = control; }

    // The filter's entries as the file dialog shows them, "description (pattern)".
    QStringList nameFilters() const;

    QString Filter;
    QString Title;
    QString InitialDir;
    QString DefaultExt;
    QString FileName;

private:
    // Always a folder of our own: given none, Qt's dialog would start where any earlier one left off. The
    // last folder confirmed, else InitialDir, else the working folder.
    QString startFolder() const;

    QWidget* m_owner = nullptr;
    QPointer<QWidget> m_keepInReach;
    QString m_lastFolder;
};
