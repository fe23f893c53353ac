#include "link/linkmonitor.h"

#include "link/apdcomport.h"

#include <QPainter>

TApdStatusLight::TApdStatusLight(QWidget* parent)
    : QWidget(parent), m_glyph(QStringLiteral(":/glyphs/lights.png"))
{
    m_litPaint.setSingleShot(true);
    connect(&m_litPaint, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void TApdStatusLight::setLit(bool lit)
{
    if (m_lit == lit)
        return;
    m_lit = lit;
    if (lit) {
        m_litPaint.start(kLitPaintDelayMs);
    } else {
        m_litPaint.stop();
        update();
    }
}

void TApdStatusLight::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int half = m_glyph.width() / 2;
    painter.drawPixmap(rect(), m_glyph, QRect(m_lit ? 0 : half, 0, half, m_glyph.height()));
}

TApdSLController::TApdSLController(TApdComPort* port, TApdStatusLight* txLight, TApdStatusLight* rxLight,
                                   QObject* parent)
    : QObject(parent), m_port(port)
{
    m_tx.light = txLight;
    m_rx.light = rxLight;
    for (Lamp* lamp : {&m_tx, &m_rx}) {
        lamp->timer.setSingleShot(true);
        connect(&lamp->timer, &QTimer::timeout, this, [this, lamp] { expire(*lamp); });
    }
}

void TApdSLController::SetMonitoring(bool on)
{
    if (on == m_monitoring)
        return;
    m_monitoring = on;
    if (on) {
        m_txConnection = connect(m_port, &TApdComPort::bytesSent, this, [this] { flash(m_tx); });
        m_rxConnection = connect(m_port, &TApdComPort::dataReceived, this, [this] { flash(m_rx); });
        return;
    }
    disconnect(m_txConnection);
    disconnect(m_rxConnection);
    for (Lamp* lamp : {&m_tx, &m_rx}) {
        lamp->timer.stop();
        lamp->light->setLit(false);
    }
}

void TApdSLController::flash(Lamp& lamp)
{
    // Traffic starts the hold over: restarting a timer costs no wakeup, so a busy line never wakes the
    // console for its lights, and the port delivers reads in pieces few enough for this to be cheap.
    lamp.light->setLit(true);
    lamp.timer.start(kLightHoldMs);
}

void TApdSLController::expire(Lamp& lamp)
{
    lamp.light->setLit(false);
}
