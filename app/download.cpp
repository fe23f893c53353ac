// The hex file download: the open-file dialog, the protocol's settings, the twin handlers and the window's
// side of a transfer (the slim progress bar and the failure message).

#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdprotocol.h"
#include "link/filename.h"
#include "link/opendialog.h"

#include <QGroupBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QToolButton>

#include <algorithm>

namespace {

constexpr int kProgressSteps = 1000;

int progressStep(qint64 sent, qint64 total)
{
    if (total <= 0)
        return kProgressSteps;
    return static_cast<int>(std::clamp<qint64>(sent * kProgressSteps / total, 0, kProgressSteps));
}

} // namespace

void TForm1::wireDownload()
{
    OpenDialog1 = new TOpenDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->Filter = QStringLiteral("*.hex|*.hex");
    OpenDialog1->keepInReach(GroupBox1);

    ApdProtocol1 = new TApdProtocol(ApdComPort1, this);
    ApdProtocol1->setObjectName(QStringLiteral("ApdProtocol1"));
    ApdProtocol1->protocolType = TApdProtocol::ProtocolType::Ascii;
    ApdProtocol1->blockCheckMethod = TApdProtocol::BlockCheckMethod::None;
    ApdProtocol1->handshakeWait = 1092;
    ApdProtocol1->overhead = 20;
    ApdProtocol1->asciiSuppressCtrlZ = true;
    ApdProtocol1->statusInterval = 10;
    ApdProtocol1->kermitPadCharacter = ' ';
    ApdProtocol1->SetFileMask(QStringLiteral("*.hex"));

    DownloadProgress->setRange(0, kProgressSteps);
    DownloadProgress->hide();

    connect(SpeedButton8, &QToolButton::clicked, this, [this] { SpeedButton8Click(SpeedButton8); });

    connect(ApdProtocol1, &TApdProtocol::transferStarted, this, [this](const QString&, qint64) {
        DownloadProgress->setValue(0);
        DownloadProgress->show();
    });
    connect(ApdProtocol1, &TApdProtocol::transferProgress, this, [this](const QString&, qint64 sent, qint64 total) {
        DownloadProgress->setValue(progressStep(sent, total));
    });
    connect(ApdProtocol1, &TApdProtocol::transferFinished, this, &TForm1::hideIdleProgress);
    connect(ApdProtocol1, &TApdProtocol::transferCancelled, this, &TForm1::hideIdleProgress);
    connect(ApdProtocol1, &TApdProtocol::transferFailed, this, [this](const QString& path, const QString& reason) {
        hideIdleProgress();
        // Modeless: the operator must still reach Stop while the message is up, and a nested loop here would
        // run the sender's ticks inside its own signal.
        auto* box
            = new QMessageBox(QMessageBox::Warning, QStringLiteral("파일 보내기"),
                              QStringLiteral("파일 %1을(를) 보내지 못했습니다.\n%2").arg(displayFileName(path), reason),
                              QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("DownloadFailure"));
        // A file's name may look like markup; it is shown as it is.
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    });
}

void TForm1::hideIdleProgress()
{
    // A download queued behind the one that ended keeps the bar up.
    if (!ApdProtocol1->busy())
        DownloadProgress->hide();
}

void TForm1::cancelDownload()
{
    if (ApdProtocol1 != nullptr && ApdProtocol1->busy())
        ApdProtocol1->CancelProtocol();
}

void TForm1::sendChosenFile()
{
    if (!OpenDialog1->Execute())
        return;
    ApdProtocol1->SetFileMask(OpenDialog1->GetFileName());
    ApdProtocol1->SetFileName(OpenDialog1->GetFileName());
    ApdProtocol1->StartTransmit();
}

void TForm1::D1Click(QObject* /*Sender*/)
{
    sendChosenFile();
}

void TForm1::SpeedButton8Click(QObject* /*Sender*/)
{
    sendChosenFile();
}
