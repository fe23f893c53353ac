#pragma once
// The link monitor's components: the Tx/Rx status lights and the controller that drives them.
//
// TApdStatusLight shows one half of a shared two-state glyph (lit on the left, unlit on the right). A light
// that lights is lit at once and painted so kLitPaintDelayMs later: the traffic that lit it (a key's echo,
// a command's bytes) reaches the screen and the line first, before the light's repaint takes the processor.
// TApdSLController watches its port's signals while monitoring is on: bytes leaving light the transmit
// light, bytes arriving light the receive light, and each goes dark kLightHoldMs after its last traffic.
// Their timers fire only when a light changes: never while the line is quiet, and never while it is busy.

#include <QMetaObject>
#include <QObject>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

class TApdComPort;

class TApdStatusLight : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kLitPaintDelayMs = 2;

    explicit TApdStatusLight(QWidget* parent = nullptr);

    bool lit() const { return m_lit; }
    void setLit(bool lit);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_lit = false;
    QPixmap m_glyph;
    QTimer m_litPaint;
};

class TApdSLController : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLightHoldMs = 100;

    TApdSLController(TApdComPort* port, TApdStatusLight* txLight, TApdStatusLight* rxLight,
                     QObject* parent = nullptr);

    // Switching monitoring on when it is already on changes nothing.
    void SetMonitoring(bool on);
    bool monitoring() const { return m_monitoring; }

private:
    // One light and its hold.
    struct Lamp
    {
        TApdStatusLight* light = nullptr;
        QTimer timer;
    };

    void flash(Lamp& lamp);
    void expire(Lamp& lamp);

    TApdComPort* m_port;
    Lamp m_tx;
    Lamp m_rx;
    bool m_monitoring = false;
    QMetaObject::Connection m_txConnection;
    QMetaObject::Connection m_rxConnection;
};
