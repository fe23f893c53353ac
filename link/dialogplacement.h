#pragma once
// Where a dialog opens so that a control of the window behind it stays in reach: beside the control, on the
// side where the screen has room for the dialog's narrowest width, vertically centred on the control's window
// and kept on the screen. Where neither side has room, the dialog is left where Qt puts it. Only the dialog's
// geometry is set; it is neither shown nor changed otherwise.

class QWidget;

// Moves `dialog` (before it shows) beside `keep`; does nothing when `keep` is null, hidden or on no screen.
void placeBeside(QWidget& dialog, const QWidget* keep);
