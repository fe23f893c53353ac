// robot-target-sim: the simulated robot on a pseudo-terminal, for running the console without hardware.
//
// Prints the device to open as the serial port, serves it until SIGINT or SIGTERM, and exits 0. The
// signals reach the event loop through a self-pipe, so shutdown runs the normal destructors. Every change of
// the robot's motion is printed ("robot-target-sim: motion FORWARD"); with --noise FILE, each SIGUSR1 puts
// that file's bytes on the line as they stand, as line noise or a confused target would.

#include "tools/targetsim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>

namespace {

std::array<int, 2> g_signalPipe{-1, -1};

extern "C" void onSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalPipe()
{
    if (::pipe2(g_signalPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0
        && ::sigaction(SIGUSR1, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("robot-target-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated robot monitor on a pseudo-terminal.\n"
        "Its load command (l) takes Intel HEX: records 00 to 05, with extended segment (02) and extended\n"
        "linear (04) addresses, into 64 KB of RAM at 0000-FFFF. A record with a bad checksum, length or\n"
        "syntax, or an address beyond FFFF, ends the load with the line named."));
    parser.addHelpOption();
    const QCommandLineOption rateOption(
        QStringLiteral("rate"), QStringLiteral("Line rate in bytes per second (default 960, as 9600 bit/s 8N1)."),
        QStringLiteral("bytes"), QString::number(TargetSimulator::kLineRate));
    parser.addOption(rateOption);
    const QCommandLineOption recordOption(
        QStringLiteral("record"), QStringLiteral("Append every byte received from the console to this file."),
        QStringLiteral("file"));
    parser.addOption(recordOption);
    const QCommandLineOption noiseOption(
        QStringLiteral("noise"), QStringLiteral("Put this file's bytes on the line, unpaced by the monitor, at each SIGUSR1."),
        QStringLiteral("file"));
    parser.addOption(noiseOption);
    parser.process(app);
    bool rateOk = false;
    const int rate = parser.value(rateOption).toInt(&rateOk);
    if (!rateOk || rate <= 0) {
        std::fprintf(stderr, "robot-target-sim: --rate needs a positive number of bytes per second, not \"%s\".\n",
                     qPrintable(parser.value(rateOption)));
        return 2;
    }

    if (!installSignalPipe()) {
        std::perror("robot-target-sim: cannot set up signal handling");
        return 1;
    }

    try {
        TargetSimulator target(rate);
        QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
        const QString noisePath = parser.value(noiseOption);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&target, &noisePath] {
            std::array<char, 16> drain{};
            bool quit = false;
            ssize_t n = 0;
            while ((n = ::read(g_signalPipe[0], drain.data(), drain.size())) > 0) {
                for (ssize_t i = 0; i < n; ++i) {
                    if (drain[static_cast<std::size_t>(i)] != SIGUSR1) {
                        quit = true;
                        continue;
                    }
                    QFile noise(noisePath);
                    if (noisePath.isEmpty() || !noise.open(QIODevice::ReadOnly)) {
                        std::fprintf(stderr, "robot-target-sim: no noise to send (--noise %s)\n", qPrintable(noisePath));
                        continue;
                    }
                    const QByteArray bytes = noise.readAll();
                    target.sendRaw(bytes);
                    std::printf("robot-target-sim: noise %lld bytes\n", static_cast<long long>(bytes.size()));
                    std::fflush(stdout);
                }
            }
            if (quit)
                QCoreApplication::quit();
        });
        QObject::connect(&target, &TargetSimulator::motionChanged, &app, [](TargetSimulator::Motion motion) {
            static constexpr const char* kWords[] = {"STOP", "FORWARD", "LEFT TURN", "RIGHT TURN", "BACKWARD"};
            std::printf("robot-target-sim: motion %s\n", kWords[static_cast<int>(motion)]);
            std::fflush(stdout);
        });
        QObject::connect(&target, &TargetSimulator::lineFailed, &app,
                         [](const QString& reason) { std::fprintf(stderr, "robot-target-sim: %s\n", qPrintable(reason)); });

        QFile record(parser.value(recordOption));
        if (parser.isSet(recordOption)) {
            if (!record.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
                std::fprintf(stderr, "robot-target-sim: cannot write %s: %s\n", qPrintable(record.fileName()),
                             qPrintable(record.errorString()));
                return 1;
            }
            QObject::connect(&target, &TargetSimulator::dataReceived, &app,
                             [&record](const QByteArray& bytes) { record.write(bytes); });
        }
        // What the monitor concluded of each download, for whoever drives the simulator.
        QObject::connect(&target, &TargetSimulator::loadFinished, &app, [](const TargetSimulator::LoadResult& result) {
            std::printf("robot-target-sim: load %s\n", result.message.constData());
            std::fflush(stdout);
        });

        std::printf("robot-target-sim: serial port at %s\n", qPrintable(target.slavePath()));
        std::fflush(stdout);
        target.powerOn();
        QCoreApplication::exec();
    } catch (const TargetSimError& error) {
        std::fprintf(stderr, "robot-target-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
