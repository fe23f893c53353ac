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

// What to do after a failure that is not the port's.
constexpr QStringView kRestart = u"로봇 콘솔을 다시 시작하십시오. 같은 오류가 다시 발생하면 관리자에게 이 메시지를 "
                                 u"알리십시오.";

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

// `systemMessage`, where given, is the system's own words (Qt's first message about the display).
QString noDisplayMessage(const QString& systemMessage = {})
{
    QString message = QStringLiteral("로봇 콘솔의 창을 띄울 화면을 찾을 수 없습니다.\n"
                                     "그래픽 화면에 로그인한 뒤 메뉴나 그 화면의 터미널에서 로봇 콘솔을 시작하십시오.");
    if (!hasDisplayVariable())
        message += QStringLiteral("\n자세한 내용: DISPLAY와 WAYLAND_DISPLAY가 모두 설정되어 있지 않습니다.");
    if (!systemMessage.isEmpty())
        message += QStringLiteral("\n시스템 메시지: ") + systemMessage;
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
        reportOnStderr(
            noDisplayMessage(s_active->m_held.isEmpty() ? QString() : s_active->m_held.constFirst().text.trimmed()));
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
        showException(QStringLiteral("예기치 못한 오류가 발생하여 로봇 콘솔을 끝냅니다.\n%1\n시스템 메시지: %2")
                          .arg(kRestart, QString::fromUtf8(error.what())));
    } catch (...) {
        showException(QStringLiteral("알 수 없는 오류가 발생하여 로봇 콘솔을 끝냅니다.\n%1").arg(kRestart));
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
