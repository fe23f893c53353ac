#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"

void TForm1::wireTerminal()
{
    ApdKeyboardEmulator1 = new TApdKeyboardEmulator(this);
    ApdKeyboardEmulator1->setObjectName(QStringLiteral("ApdKeyboardEmulator1"));
    ApdTerminal1->setComPort(ApdComPort1);
    ApdTerminal1->setKeyboardEmulator(ApdKeyboardEmulator1);
}

void TForm1::N5Click(QObject* /*Sender*/)
{
    ApdTerminal1->ClearWindow();
    StatusBar1->setPanelText(CommandPanel, QStringLiteral("화면 클리어"));
}
