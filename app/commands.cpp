#include "app/clickbeforerepaint.h"
#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"

#include <QToolButton>

void TForm1::sendCommand(Panel panel, const QString& text, char character)
{
    // The byte first: the panel's text is laid out and shown after it.
    if (ApdComPort1->GetOutBuffFree() >= 1)
        ApdComPort1->PutChar(character);
    StatusBar1->setPanelText(panel, text);
}

void TForm1::wireCommandChannel()
{
    const std::pair<QToolButton*, void (TForm1::*)(QObject*)> buttons[] = {
        {SpeedButton1, &TForm1::SpeedButton1Click}, {SpeedButton2, &TForm1::SpeedButton2Click},
        {SpeedButton3, &TForm1::SpeedButton3Click}, {SpeedButton4, &TForm1::SpeedButton4Click},
        {SpeedButton5, &TForm1::SpeedButton5Click}, {SpeedButton6, &TForm1::SpeedButton6Click},
        {SpeedButton7, &TForm1::SpeedButton7Click}, {SpeedButton9, &TForm1::SpeedButton9Click},
    };
    auto* clickFirst = new ClickBeforeRepaint(this, this);
    for (const auto& binding : buttons) {
        QToolButton* button = binding.first;
        const auto handler = binding.second;
        connect(button, &QToolButton::clicked, this, [this, button, handler] { (this->*handler)(button); });
        clickFirst->watch(button);
    }
}

void TForm1::SpeedButton1Click(QObject* /*Sender*/)
{
    sendCommand(DirectionPanel, QStringLiteral("전진"), 'F');
}

void TForm1::SpeedButton2Click(QObject* /*Sender*/)
{
    sendCommand(DirectionPanel, QStringLiteral("좌회전"), 'L');
}

void TForm1::SpeedButton3Click(QObject* /*Sender*/)
{
    sendCommand(DirectionPanel, QStringLiteral("우회전"), 'R');
}

void TForm1::SpeedButton4Click(QObject* /*Sender*/)
{
    sendCommand(DirectionPanel, QStringLiteral("후진"), 'B');
}

void TForm1::SpeedButton5Click(QObject* /*Sender*/)
{
    // Stop stops everything: a download's bytes ahead of the stop would reach the monitor as commands once
    // the load fails on the stop, so every download ends and its bytes still queued are discarded first.
    cancelDownload();
    sendCommand(DirectionPanel, QStringLiteral("정지"), 'S');
}

void TForm1::H1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("도움말"), 'h');
}

void TForm1::MM1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("메모리 테스트"), 'm');
}

void TForm1::CC1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("메모리 클리어"), 'c');
}

void TForm1::DD1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("메모리 덤프"), 'd');
}

void TForm1::LL1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("프로그램 다운로딩"), 'l');
}

void TForm1::RR1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("프로그램 실행"), 'r');
}

void TForm1::P1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("포트 테스트"), 'p');
}

void TForm1::Q1Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("프로그램 실행 정지"), 'q');
}

void TForm1::SpeedButton6Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("프로그램 다운로딩"), 'l');
}

void TForm1::SpeedButton7Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("프로그램 실행"), 'r');
}

void TForm1::SpeedButton9Click(QObject* /*Sender*/)
{
    sendCommand(CommandPanel, QStringLiteral("엔터"), '\r');
}
