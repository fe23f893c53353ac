#include "app/console.h"

#include "app/session.h"
#include "app/tform1.h"
#include "link/apdcomport.h"

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
