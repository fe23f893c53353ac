#include "link/linkmonitor.h"

#include "link/apdcomport.h"

#include <QPainter>

TApdStatusLight::TApdStatusLight(QWidget* parent)
    : QWidget(parent), m_glyph(QStringLiteral(":/glyphs/lights.png"))
{
}

void TApdStatusLight::setLit(bool lit)
{
    if (m_lit == lit)
        return;
    m_lit = lit;
    update();
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
    m_clock.start();
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
    // Traffic only moves the deadline; the timer is re-armed when it fires, not on every read or write.
    lamp.darkAt = m_clock.elapsed() + kLightHoldMs;
    lamp.light->setLit(true);
    if (!lamp.timer.isActive())
        lamp.timer.start(kLightHoldMs);
}

void TApdSLController::expire(Lamp& lamp)
{
    const qint64 left = lamp.darkAt - m_clock.elapsed();
    if (left > 0) {
        lamp.timer.start(static_cast<int>(left));
        return;
    }
    lamp.light->setLit(false);
}
