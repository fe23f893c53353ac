#pragma once
// MessageBoxCatcher: records and closes every message box that opens while it lives, so that code which
// reports to the operator modally can run inside a test.

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

class MessageBoxCatcher : public QObject
{
public:
    MessageBoxCatcher()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr)
                return;
            m_texts << box->text();
            box->done(QMessageBox::Ok);
        });
        m_poll.start(10);
    }

    QStringList texts() const { return m_texts; }

private:
    QTimer m_poll;
    QStringList m_texts;
};
