// bare_qt_click: click to byte through Qt alone. A plain QWidget, 100 x 100 at (0, 650), that writes 'F' to
// DEVICE when a mouse button is released over it: Qt's own path from the X server to a widget (its X event
// thread, then the main thread's event loop), with no widget of the console and no paint on the click.
//
// Usage: bare_qt_click DEVICE
// Prints the window's id in decimal on stdout once it is shown; runs until killed or its display goes.

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

class Target : public QWidget
{
public:
    explicit Target(int device) : m_device(device) { }

protected:
    void mouseReleaseEvent(QMouseEvent* /*event*/) override
    {
        const char forward = 'F';
        if (::write(m_device, &forward, 1) != 1)
            std::perror("bare_qt_click: write");
    }

    void paintEvent(QPaintEvent* /*event*/) override
    {
        if (m_announced)
            return;
        m_announced = true;
        std::printf("%llu\n", static_cast<unsigned long long>(winId()));
        std::fflush(stdout);
    }

private:
    int m_device;
    bool m_announced = false;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_qt_click DEVICE\n");
        return 2;
    }
    const int device = ::open(argv[1], O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (device < 0) {
        std::fprintf(stderr, "bare_qt_click: cannot open %s\n", argv[1]);
        return 1;
    }
    Target target(device);
    target.setGeometry(0, 650, 100, 100);
    target.show();
    return QApplication::exec();
}
