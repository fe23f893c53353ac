// The terminal pane's side of the window: its port and keyboard, the clear command, and the capture and
// text saving that the operator asks for by Ctrl+Shift+L and Ctrl+Shift+S. None of it sends anything.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "link/dialogplacement.h"
#include "link/filename.h"
#include "link/opendialog.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>

namespace {

// A message that leaves the window usable (Stop above all) while it is up.
void tellModeless(QWidget* parent, const char* name, const QString& title, const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

QString shown(const QString& path)
{
    return printableText(displayFileName(path));
}

} // namespace

void TForm1::wireTerminal()
{
    ApdKeyboardEmulator1 = new TApdKeyboardEmulator(this);
    ApdKeyboardEmulator1->setObjectName(QStringLiteral("ApdKeyboardEmulator1"));
    ApdTerminal1->setComPort(ApdComPort1);
    ApdTerminal1->setKeyboardEmulator(ApdKeyboardEmulator1);

    // Keys of the window, as the menu's are (the pane passes them on, isWindowShortcutKey); a modal dialog
    // shadows them, and their own dialogs are not opened twice.
    const auto addKey = [this](const char* name, const QKeySequence& keys, void (TForm1::*handler)()) {
        auto* action = new QAction(this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(keys);
        action->setShortcutContext(Qt::ApplicationShortcut);
        connect(action, &QAction::triggered, this, handler);
        addAction(action);
        return action;
    };
    CaptureAction = addKey("CaptureAction", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L), &TForm1::toggleCapture);
    SaveTextAction
        = addKey("SaveTextAction", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), &TForm1::saveTerminalText);

    connect(ApdTerminal1, &TApdTerminal::captureFailed, this, [this](const QString& path, const QString& reason) {
        tellModeless(this, "CaptureFailure", QStringLiteral("기록"),
                     QStringLiteral("파일 %1에 더 쓰지 못해 기록을 멈췄습니다. %2 화면과 로봇의 연결은 그대로입니다. "
                                    "다른 폴더를 골라 Ctrl+Shift+L로 다시 기록하십시오.")
                         .arg(shown(path), reason));
    });
    connect(ApdTerminal1, &TApdTerminal::saveFailed, this, [this](const QString& path, const QString& reason) {
        tellModeless(
            this, "SaveTextFailure", QStringLiteral("화면 내용 저장"),
            QStringLiteral("파일 %1에 화면 내용을 다 저장하지 못했습니다. %2 다른 폴더를 골라 Ctrl+Shift+S로 다시 "
                           "저장하십시오.")
                .arg(shown(path), reason));
    });
}

void TForm1::N5Click(QObject* /*Sender*/)
{
    ApdTerminal1->ClearWindow();
    StatusBar1->setPanelText(CommandPanel, QStringLiteral("화면 클리어"));
}

QString TForm1::chooseTextFile(const QString& title, const QString& offered)
{
    if (m_textFolder.isEmpty())
        m_textFolder = QDir::currentPath();
    QFileDialog dialog(this, title, m_textFolder);
    dialog.setObjectName(QStringLiteral("TextFileDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // An existing file is asked about by the caller: appended to or replaced, as the operator says.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(offered);
    placeBeside(dialog, GroupBox1);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QFileInfo chosen(dialog.selectedFiles().constFirst());
    m_textFolder = chosen.absolutePath();
    return chosen.absoluteFilePath();
}

void TForm1::toggleCapture()
{
    if (ApdTerminal1->isCapturing()) {
        ApdTerminal1->stopCapture();
        return;
    }
    if (m_askingForTextFile)
        return;
    m_askingForTextFile = true;
    const QString title = QStringLiteral("기록 파일");
    const QString path = chooseTextFile(title, QStringLiteral("APD.CAP"));
    bool append = true;
    bool go = !path.isEmpty();
    if (go && QFileInfo::exists(path)) {
        QMessageBox question(QMessageBox::Question, title,
                             QStringLiteral("파일 %1이(가) 이미 있습니다. 그 끝에 이어서 기록하거나, 지우고 처음부터 "
                                            "기록할 수 있습니다.")
                                 .arg(shown(path)),
                             QMessageBox::NoButton, this);
        question.setObjectName(QStringLiteral("CaptureFileExists"));
        QPushButton* appendButton = question.addButton(QStringLiteral("이어서 기록"), QMessageBox::AcceptRole);
        appendButton->setObjectName(QStringLiteral("append"));
        question.addButton(QStringLiteral("덮어쓰기"), QMessageBox::DestructiveRole)
            ->setObjectName(QStringLiteral("overwrite"));
        question.addButton(QStringLiteral("취소"), QMessageBox::RejectRole)->setObjectName(QStringLiteral("cancel"));
        question.setDefaultButton(appendButton);
        question.exec();
        const QString chosen = question.clickedButton() != nullptr ? question.clickedButton()->objectName() : QString();
        append = chosen == QStringLiteral("append");
        go = append || chosen == QStringLiteral("overwrite");
    }
    m_askingForTextFile = false;
    QString error;
    if (go && !ApdTerminal1->startCapture(path, append, &error))
        tellModeless(this, "CaptureFailure", title,
                     QStringLiteral("파일 %1을(를) 열지 못해 기록을 시작하지 않았습니다. %2 다른 폴더를 고르십시오.")
                         .arg(shown(path), error));
}

void TForm1::saveTerminalText()
{
    if (m_askingForTextFile)
        return;
    m_askingForTextFile = true;
    const QString title = QStringLiteral("화면 내용 저장");
    const QString path = chooseTextFile(title, QStringLiteral("APD.TXT"));
    bool go = !path.isEmpty();
    if (go && QFileInfo::exists(path)) {
        const auto answer = QMessageBox::question(
            this, title, QStringLiteral("파일 %1이(가) 이미 있습니다. 지우고 새로 저장하시겠습니까?").arg(shown(path)),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        go = answer == QMessageBox::Yes;
    }
    m_askingForTextFile = false;
    QString error;
    if (go && !ApdTerminal1->saveText(path, &error))
        tellModeless(
            this, "SaveTextFailure", title,
            QStringLiteral("파일 %1을(를) 열지 못해 화면 내용을 저장하지 않았습니다. %2 다른 폴더를 고르십시오.")
                .arg(shown(path), error));
}
