#pragma once
// Qt around the console's window: its own texts in Korean and nothing written to the disk.
//
// The interface is Korean whatever the user's locale, so Qt's file dialog and message box buttons use Qt's
// Korean catalogue (from its translations folder) and the Korean locale. Qt's file dialog would otherwise
// keep its history and last folder in the user's settings file; the console stores nothing, so Qt's user
// settings are pointed where nothing can be written. A missing catalogue leaves Qt's texts in English and
// says so on stderr; the console still starts.

// Sets Qt up once; later calls do nothing. Needs an existing QApplication.
void setUpQtForConsole();

// What must be chosen before the QApplication exists. On X, the window's images go to the server over the
// connection rather than through shared memory: with shared memory, Qt waits for the X server (a round trip,
// waking both of its threads) before it paints again over pixels it showed a moment before, which is what a
// blinking cursor, a button's release and every scrolled frame of the pane do. QT_XCB_NO_MITSHM=0 asks for
// shared memory back; any other value of it is left to Qt.
void chooseQtPlatformSettings();
