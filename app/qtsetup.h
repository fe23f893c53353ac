#pragma once
// Qt around the console's window: its own texts in Korean, a UTF-8 character type whatever the locale (so
// that the Korean title reaches window lists intact), nothing written to the disk, and failures told on
// stderr.
//
// The interface is Korean whatever the user's locale, so Qt's file dialog and message box buttons use Qt's
// Korean catalogue (from its translations folder) and the Korean locale. Qt's file dialog would otherwise
// keep its history and last folder in the user's settings file; the console stores nothing, so Qt's user
// settings are pointed where nothing can be written. A missing catalogue leaves Qt's texts in English and
// says so on stderr; the console still starts. So do missing Korean fonts, which leave every Hangul label as
// boxes.

#include <QString>
#include <QStringList>

// Sets Qt up for the application that exists now; each entry point calls it once, after creating it.
void setUpQtForConsole();

// Writes `message` as one line on stderr ("robot-console: ..."), line breaks made spaces, at once.
void reportOnStderr(const QString& message);

// The line to print when none of the Korean fonts the window is drawn with is among `families` (the
// system's font families); empty when one is.
QString missingKoreanFontNotice(const QStringList& families);

// What must be chosen before the QApplication exists. On X, the window's images go to the server over the
// connection rather than through shared memory: with shared memory, Qt waits for the X server (a round trip,
// waking both of its threads) before it paints again over pixels it showed a moment before, which is what a
// blinking cursor, a button's release and every scrolled frame of the pane do. QT_XCB_NO_MITSHM=0 asks for
// shared memory back; any other value of it is left to Qt.
void chooseQtPlatformSettings();
