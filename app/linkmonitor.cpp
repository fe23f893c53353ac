#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/linkmonitor.h"

#include <QLabel>
#include <QMessageBox>

void TForm1::wireLinkMonitor()
{
    ApdSLController1 = new TApdSLController(ApdComPort1, ApdStatusLight2, ApdStatusLight1, this);
    ApdSLController1->setObjectName(QStringLiteral("ApdSLController1"));

    // The error text runs on under the exit button (from x=80). Above it, on the window's own colour, it
    // reads whole; the button keeps its place and size and takes every click, the label's strip included.
    // While no error is shown the label is empty and covers nothing.
    Label3->setAutoFillBackground(true);
    Label3->setAttribute(Qt::WA_TransparentForMouseEvents);
    Label3->raise();

    // A failing port is told at once, not at the next activation. Modeless: Stop and the rest of the window
    // stay usable while it is up, and closing it activates the window, which brings Label3 up to date.
    connect(ApdComPort1, &TApdComPort::failed, this, [this](const QString& reason) {
        auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("COM1 오류"), reason, QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("PortFailure"));
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
        // In front, whatever the desktop's focus policy: its activation and the window's after it are the
        // cycle that brings Label3 up to date.
        box->activateWindow();
    });
}

void TForm1::FormActivate(QObject* /*Sender*/)
{
    ApdSLController1->SetMonitoring(true);
    // Showing and activating the window come as a pair (on start and on every restore). An error read while
    // the window is not yet in front of the operator is held, so that the activation which follows does not
    // read the error away and clear the label before it was ever seen.
    m_heldLineError |= ApdComPort1->GetLineError();
    if (m_heldLineError != 0)
        Label3->setText(QStringLiteral("오류가 발생하였습니다."));
    else
        Label3->setText(QString());
    Label3->adjustSize();
    if (isVisible() && !isMinimized() && isActiveWindow())
        m_heldLineError = 0;
}
