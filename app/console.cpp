#include "app/console.h"

#include "app/qtsetup.h"
#include "app/tform1.h"
#include "link/apdcomport.h"

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QMessageLogContext>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace {

// One line on stderr for every failure, also when a message box shows it.
void reportOnStderr(const QString& message)
{
    QString line = message;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::fprintf(stderr, "robot-console: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

void showException(const QString& message)
{
    reportOnStderr(message);
    if (QApplication::instance() != nullptr)
        QMessageBox::critical(nullptr, QStringLiteral("그래 잘가라!"), message);
}

// What Qt says while the application is created is held back: when no platform plugin can start (no
// display), Qt ends with a fatal message and abort(); the operator gets one Korean line and status 1
// instead, with Qt's first words only as a detail. On success the held messages go on as they came.
struct HeldMessage
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<HeldMessage> g_heldMessages;
QtMessageHandler g_passOn = nullptr;

void holdStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        g_heldMessages.append({type, QByteArray(context.category), text});
        return;
    }
    QString message = QStringLiteral("화면(디스플레이)을 찾을 수 없어 창을 열 수 없습니다. 그래픽 데스크톱 세션 "
                                     "안에서 실행하십시오.");
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        message += QStringLiteral(" (DISPLAY 도 WAYLAND_DISPLAY 도 설정되어 있지 않습니다)");
    if (!g_heldMessages.isEmpty())
        message += QStringLiteral(" (Qt: %1)").arg(g_heldMessages.constFirst().text.trimmed());
    reportOnStderr(message);
    std::fflush(nullptr);
    std::_Exit(kStartupFailed);
}

void passOnHeldMessages()
{
    for (const HeldMessage& held : std::as_const(g_heldMessages)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        if (g_passOn != nullptr)
            g_passOn(held.type, context, held.text);
    }
    g_heldMessages.clear();
}

int guarded(const std::function<int()>& body)
{
    try {
        return body();
    } catch (const PortOpenError& error) {
        showException(QString::fromUtf8(error.what()));
    } catch (const std::exception& error) {
        // Not one of ours: its text is the library's, in English, and is kept only as a detail.
        showException(QStringLiteral("예기치 못한 오류로 프로그램을 계속할 수 없습니다 (%1). 프로그램을 다시 "
                                     "실행하십시오.")
                          .arg(QString::fromUtf8(error.what())));
    } catch (...) {
        showException(QStringLiteral("알 수 없는 오류로 프로그램을 시작할 수 없습니다."));
    }
    return kStartupFailed;
}

} // namespace

int execConsole(const QString& portDevice)
{
    return guarded([&portDevice] {
        setUpQtForConsole();
        auto window = std::make_unique<TForm1>(portDevice);
        Form1 = window.get();
        window->show();
        const int status = QApplication::exec();
        Form1 = nullptr;
        return status;
    });
}

int runConsole(int& argc, char** argv, const QString& portDevice)
{
    std::optional<QApplication> application;
    return guarded([&] {
        g_passOn = qInstallMessageHandler(holdStartupMessage);
        chooseQtPlatformSettings();
        application.emplace(argc, argv);
        qInstallMessageHandler(g_passOn);
        passOnHeldMessages();
        return execConsole(portDevice);
    });
}
