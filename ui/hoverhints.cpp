#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdterminal.h"
#include "link/linkmonitor.h"

#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QToolButton>

namespace {

using MouseMoveHandler = void (TForm1::*)(QObject*, Qt::KeyboardModifiers, int, int);

} // namespace

void TForm1::wireHoverHints()
{
    // Every control with a hint, and the ones that have none but must not pass the move on to the window
    // (the hint panel keeps its text over them).
    for (QWidget* widget : std::initializer_list<QWidget*>{
             this, GroupBox1, SpeedButton1, SpeedButton2, SpeedButton3, SpeedButton4, SpeedButton5, SpeedButton6,
             SpeedButton7, SpeedButton8, SpeedButton9, BitBtn1, ApdTerminal1, Label1, Label2, Label3,
             ApdStatusLight1, ApdStatusLight2, StatusBar1, DownloadProgress}) {
        widget->setMouseTracking(true);
        widget->installEventFilter(this);
    }
    // The direction buttons show their tool-tips whatever the window's state, active or not (Qt asks the
    // window, not the button); they are the only controls that have one.
    setAttribute(Qt::WA_AlwaysShowToolTips);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseMove)
        return QWidget::eventFilter(watched, event);

    const std::pair<QObject*, MouseMoveHandler> handlers[] = {
        {this, &TForm1::FormMouseMove},
        {GroupBox1, &TForm1::GroupBox1MouseMove},
        {SpeedButton1, &TForm1::SpeedButton1MouseMove},
        {SpeedButton2, &TForm1::SpeedButton2MouseMove},
        {SpeedButton3, &TForm1::SpeedButton3MouseMove},
        {SpeedButton4, &TForm1::SpeedButton4MouseMove},
        {SpeedButton5, &TForm1::SpeedButton5MouseMove},
        {SpeedButton6, &TForm1::SpeedButton6MouseMove},
        {SpeedButton7, &TForm1::SpeedButton7MouseMove},
        {SpeedButton8, &TForm1::SpeedButton8MouseMove},
        {SpeedButton9, &TForm1::SpeedButton9MouseMove},
        {BitBtn1, &TForm1::BitBtn1MouseMove},
        {ApdTerminal1, &TForm1::ApdTerminal1MouseMove},
    };
    const auto* move = static_cast<QMouseEvent*>(event);
    const QPoint at = move->position().toPoint();
    // Label3 lets the mouse through, so that the exit button under its right end takes every click; over
    // the rest of it the window sees the move, and the label's own rule holds there: no hint of its own.
    const bool overLabel3 = watched == this && Label3->geometry().contains(at);
    for (const auto& [control, handler] : handlers) {
        if (control == watched && !overLabel3) {
            (this->*handler)(watched, move->modifiers(), at.x(), at.y());
            break;
        }
    }
    // A hover move stops at the control it is over, so the window behind it does not overwrite the hint;
    // a drag goes on as usual.
    return move->buttons() == Qt::NoButton;
}

void TForm1::FormMouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("마우스 오른쪽 버튼을 '클릭' 해보세요."));
}

void TForm1::GroupBox1MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("방향 전환 판넬"));
}

void TForm1::SpeedButton1MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("전진 버튼"));
}

void TForm1::SpeedButton2MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("좌회전 버튼"));
}

void TForm1::SpeedButton3MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("우회전 버튼"));
}

void TForm1::SpeedButton4MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("후진 버튼"));
}

void TForm1::SpeedButton5MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("정지 버튼"));
}

void TForm1::SpeedButton6MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("파일 다운로드 명령"));
}

void TForm1::SpeedButton8MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("다운로드 파일 열기"));
}

void TForm1::SpeedButton7MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("다운 프로그램 실행하기"));
}

void TForm1::SpeedButton9MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("엔터 명령"));
}

void TForm1::BitBtn1MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    StatusBar1->setPanelText(HintPanel, QStringLiteral("프로그램 닫기 ."));
}

void TForm1::ApdTerminal1MouseMove(QObject* /*Sender*/, Qt::KeyboardModifiers /*Shift*/, int /*X*/, int /*Y*/)
{
    // The pane's own keys are named here, as no menu holds them.
    StatusBar1->setPanelText(HintPanel,
                             ApdTerminal1->isCapturing()
                                 ? QStringLiteral("모니터 창 - 기록 끝: Ctrl+Shift+L, 저장: Ctrl+Shift+S")
                                 : QStringLiteral("모니터 창 - 기록: Ctrl+Shift+L, 저장: Ctrl+Shift+S"));
}
