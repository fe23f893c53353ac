#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdprotocol.h"

#include <QToolButton>

void TForm1::wireDownload()
{
    OpenDialog1 = new TOpenDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    ApdProtocol1 = new TApdProtocol(ApdComPort1, this);
    ApdProtocol1->setObjectName(QStringLiteral("ApdProtocol1"));
    connect(SpeedButton8, &QToolButton::clicked, this, [this] { SpeedButton8Click(SpeedButton8); });
}

void TForm1::D1Click(QObject* /*Sender*/) {}

void TForm1::SpeedButton8Click(QObject* /*Sender*/) {}
