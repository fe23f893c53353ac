#include "app/console.h"

#include "app/tform1.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
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

int guarded(const std::function<int()>& body)
{
    try {
        return body();
    } catch (const std::exception& error) {
        showException(QString::fromUtf8(error.what()));
    } catch (...) {
        showException(QStringLiteral("알 수 없는 오류로 프로그램을 시작할 수 없습니다."));
    }
    return kStartupFailed;
}

} // namespace

int execConsole(const QString& portDevice)
{
    return guarded([&portDevice] {
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
        application.emplace(argc, argv);
        return execConsole(portDevice);
    });
}
