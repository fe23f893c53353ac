#pragma once
// Placeholder sender until the download lands.

#include <QObject>
#include <QString>

class TApdComPort;

class TApdProtocol : public QObject
{
    Q_OBJECT

public:
    explicit TApdProtocol(TApdComPort* port, QObject* parent = nullptr) : QObject(parent), m_port(port) {}
    void SetFileMask(const QString& mask) { m_fileMask = mask; }
    void SetFileName(const QString& name) { m_fileName = name; }
    QString fileMask() const { return m_fileMask; }
    QString fileName() const { return m_fileName; }
    void StartTransmit() {}

private:
    TApdComPort* m_port = nullptr;
    QString m_fileMask = QStringLiteral("*.hex");
    QString m_fileName;
};

class TOpenDialog : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
};
