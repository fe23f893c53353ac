#pragma once
// TForm1: the console's one main window.
//
// Owns every control and component of the window as a member under the window's own name for it; all of
// them are built in the constructor and destroyed with the window. The visual members come from the
// Designer file (resources/tform1.ui); the non-visual components (port, protocol, light controller,
// keyboard emulator, dialog, menu) and the links between them are set up in code.
//
// The port is opened in the constructor, before FormActivate first runs; a port that cannot be opened
// makes the constructor throw PortOpenError. The device is COM1 (TApdComPort::com1Device()); only tests
// and the simulated-target entry point hand it another one.

#include <QWidget>

#include <cstdint>
#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QProgressBar;
class QToolButton;
class TApdComPort;
class TApdKeyboardEmulator;
class TApdProtocol;
class TApdSLController;
class TApdStatusLight;
class TApdTerminal;
class TOpenDialog;
class TStatusBar;
namespace Ui {
class TForm1Description;
}

class TForm1 : public QWidget
{
    Q_OBJECT

public:
    // Status bar panels, by index.
    enum Panel : int { PortPanel = 0, DirectionPanel = 1, CommandPanel = 2, HintPanel = 3 };

    // `devicesRoot`: where a port that cannot be opened looks for the machine's adapters (empty: this
    // machine's; tests give a fake tree).
    explicit TForm1(const QString& portDevice, QWidget* parent = nullptr, const QString& devicesRoot = {});
    ~TForm1() override;

    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Visual members, from back to front.
    TApdStatusLight* ApdStatusLight1 = nullptr;
    QLabel* Label1 = nullptr;
    TApdStatusLight* ApdStatusLight2 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QToolButton* SpeedButton6 = nullptr;
    QToolButton* SpeedButton7 = nullptr;
    QToolButton* SpeedButton8 = nullptr;
    QToolButton* SpeedButton9 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* SpeedButton2 = nullptr;
    QToolButton* SpeedButton3 = nullptr;
    QToolButton* SpeedButton4 = nullptr;
    QToolButton* SpeedButton5 = nullptr;
    TApdTerminal* ApdTerminal1 = nullptr;
    QToolButton* BitBtn1 = nullptr;
    TStatusBar* StatusBar1 = nullptr;
    // How much of a running download has gone out; hidden otherwise (the one control with a Qt-style name).
    QProgressBar* DownloadProgress = nullptr;

    // Non-visual members.
    TApdComPort* ApdComPort1 = nullptr;
    TApdSLController* ApdSLController1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* D1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N3 = nullptr;
    QMenu* N3Menu = nullptr;
    QAction* H1 = nullptr;
    QAction* MM1 = nullptr;
    QAction* CC1 = nullptr;
    QAction* DD1 = nullptr;
    QAction* LL1 = nullptr;
    QAction* RR1 = nullptr;
    QAction* P1 = nullptr;
    QAction* Q1 = nullptr;
    QAction* N4 = nullptr;
    QAction* N5 = nullptr;
    QAction* N2 = nullptr;
    QAction* X1 = nullptr;
    TOpenDialog* OpenDialog1 = nullptr;
    TApdProtocol* ApdProtocol1 = nullptr;
    TApdKeyboardEmulator* ApdKeyboardEmulator1 = nullptr;
    // The pane's capture (Ctrl+Shift+L) and the saving of its scroll-back (Ctrl+Shift+S): keys of the window,
    // in no menu (Qt-style names, as the progress bar's).
    QAction* CaptureAction = nullptr;
    QAction* SaveTextAction = nullptr;

    // Event handlers. Click handlers take the sender; mouse-move handlers also take the shift state and
    // the position. None of them uses its arguments.
    void SpeedButton1Click(QObject* Sender);
    void BitBtn1Click(QObject* Sender);
    void SpeedButton2Click(QObject* Sender);
    void SpeedButton4Click(QObject* Sender);
    void SpeedButton3Click(QObject* Sender);
    void SpeedButton5Click(QObject* Sender);
    void X1Click(QObject* Sender);
    void D1Click(QObject* Sender);
    void H1Click(QObject* Sender);
    void MM1Click(QObject* Sender);
    void CC1Click(QObject* Sender);
    void DD1Click(QObject* Sender);
    void P1Click(QObject* Sender);
    void RR1Click(QObject* Sender);
    void LL1Click(QObject* Sender);
    void N5Click(QObject* Sender);
    void FormActivate(QObject* Sender);
    void Q1Click(QObject* Sender);
    void SpeedButton6Click(QObject* Sender);
    void SpeedButton7Click(QObject* Sender);
    void SpeedButton8Click(QObject* Sender);
    void SpeedButton6MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton8MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton7MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton9Click(QObject* Sender);
    void SpeedButton9MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void FormMouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void BitBtn1MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void ApdTerminal1MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void GroupBox1MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton1MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton5MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton2MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton4MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);
    void SpeedButton3MouseMove(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Sets the text of one status panel, puts `character` when the port has room; nothing else.
    void sendCommand(Panel panel, const QString& text, char character);

    void setUpFrame();
    void wireCommandChannel();
    void wireTerminal();
    // Ctrl+Shift+L: stops a capture, or asks for its file and starts one.
    void toggleCapture();
    // Ctrl+Shift+S: asks for a file and writes the pane's scroll-back and screen to it.
    void saveTerminalText();
    // Runs the save dialog for a text file of the pane, offering `offered` in the last folder used; empty
    // when the operator cancels.
    QString chooseTextFile(const QString& title, const QString& offered);
    void wireDownload();
    // Runs the open-file dialog and queues the file chosen there (D1 and SpeedButton8).
    void sendChosenFile();
    // Ends the running download and drops the queued ones, their bytes not yet on the line included.
    void cancelDownload();
    // Hides the progress bar once no download is running or queued.
    void hideIdleProgress();
    void wireLinkMonitor();
    void buildPopupMenu();
    void openPopupMenu(const QPoint& at);
    void wireHoverHints();

    std::unique_ptr<Ui::TForm1Description> m_ui;
    // A line error read by an activation the operator could not see yet (see FormActivate).
    std::uint16_t m_heldLineError = 0;
    // The folder of the last capture or saved text, offered again; the working folder before the first.
    QString m_textFolder;
    // The capture's or the saving's dialog or question is open (their keys do not open a second one).
    bool m_askingForTextFile = false;
};

// The application's one main window while it exists.
extern TForm1* Form1;
