#include "app/console.h"

#include "app/endsignals.h"
#include "app/qtsetup.h"
#include "app/tform1.h"
#include "link/portopenerror.h"

#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QMessageLogContext>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace {

void showException(const QString& message)
{
    reportOnStderr(message);
    if (QApplication::instance() == nullptr)
        return;
    // Plain text: names from the disk or /proc in a message are never read as markup.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("그래 잘가라!"), message, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool hasDisplayVariable()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString noDisplayMessage()
{
    QString message = QStringLiteral("화면(디스플레이)을 찾을 수 없어 창을 열 수 없습니다. 그래픽 데스크톱 세션 "
                                     "안에서 실행하십시오.");
    if (!hasDisplayVariable())
        message += QStringLiteral(" (DISPLAY 도 WAYLAND_DISPLAY 도 설정되어 있지 않습니다)");
    return message;
}

// The platforms asked for by -platform or QT_QPA_PLATFORM ("name:options;name..."); empty for Qt's default.
QStringList requestedPlatforms(int argc, char** argv)
{
    QString request = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0)
            request = QString::fromLocal8Bit(argv[i + 1]);
    QStringList names;
    for (const QString& entry : request.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        names << entry.section(QLatin1Char(':'), 0, 0).trimmed();
    return names;
}

// True when the application surely cannot open a window: every platform it would try is a desktop one
// (X11 or Wayland, Qt's default among them) and neither DISPLAY nor WAYLAND_DISPLAY names a display.
bool surelyWithoutDisplay(int argc, char** argv)
{
    if (hasDisplayVariable())
        return false;
    const QStringList platforms = requestedPlatforms(argc, argv);
    return std::all_of(platforms.cbegin(), platforms.cend(), [](const QString& name) {
        return name == QStringLiteral("xcb") || name.startsWith(QStringLiteral("wayland"));
    });
}

// Holds back what Qt says while the application is created, from construction to destruction. When the
// platform plugin cannot start (a display that is named but cannot be reached), Qt ends with a fatal
// message and abort(); the operator gets one Korean line and status 1 instead, with Qt's first words only
// as a detail. Otherwise the held messages go on, as they came, to the handler that was there before.
class StartupMessages
{
public:
    StartupMessages() : m_passOn(qInstallMessageHandler(hold)) { s_active = this; }
    ~StartupMessages()
    {
        qInstallMessageHandler(m_passOn);
        s_active = nullptr;
        for (const Held& held : std::as_const(m_held)) {
            const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
            if (m_passOn != nullptr)
                m_passOn(held.type, context, held.text);
        }
    }

    StartupMessages(const StartupMessages&) = delete;
    StartupMessages& operator=(const StartupMessages&) = delete;

private:
    struct Held
    {
        QtMsgType type;
        QByteArray category;
        QString text;
    };

    static void hold(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (type != QtFatalMsg) {
            s_active->m_held.append({type, QByteArray(context.category), text});
            return;
        }
        QString message = noDisplayMessage();
        if (!s_active->m_held.isEmpty())
            message += QStringLiteral(" (Qt: %1)").arg(s_active->m_held.constFirst().text.trimmed());
        reportOnStderr(message);
        // Qt aborts as soon as this handler returns from a fatal message, and an exception cannot carry the
        // failure out through Qt's logging, so the process ends here. _Exit rather than exit: the
        // application is half built, and its global objects must not be torn down from inside its
        // constructor.
        std::fflush(nullptr);
        std::_Exit(kStartupFailed);
    }

    // Qt's handler is a plain function: it finds the one holder in force through this.
    static inline StartupMessages* s_active = nullptr;
    QList<Held> m_held;
    QtMessageHandler m_passOn;
};

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

int execConsole(const QString& portDevice, const QString& devicesRoot)
{
    return execConsole([&portDevice] { return portDevice; }, devicesRoot);
}

int execConsole(const std::function<QString()>& portDevice, const QString& devicesRoot)
{
    return guarded([&portDevice, &devicesRoot] {
        const EndSignals endSignals;
        auto window = std::make_unique<TForm1>(portDevice(), nullptr, devicesRoot);
        Form1 = window.get();
        window->show();
        const int status = QApplication::exec();
        Form1 = nullptr;
        return status;
    });
}

int runConsole(int& argc, char** argv, const std::function<QString()>& portDevice)
{
    if (surelyWithoutDisplay(argc, argv)) {
        reportOnStderr(noDisplayMessage());
        return kStartupFailed;
    }
    std::optional<QApplication> application;
    return guarded([&] {
        {
            const StartupMessages held;
            chooseQtPlatformSettings();
            application.emplace(argc, argv);
        }
        setUpQtForConsole();
        return execConsole(portDevice);
    });
}
