#include "app/console.h"

#include "app/session.h"
#include "app/tform1.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace {

void showException(const QString& message)
{
    if (QApplication::instance() != nullptr)
        QMessageBox::critical(nullptr, QStringLiteral("그래 잘가라!"), message);
    else
        std::fprintf(stderr, "robot-console: %s\n", message.toLocal8Bit().constData());
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
        setUpConsoleSession();
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
