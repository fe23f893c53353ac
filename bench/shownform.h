#pragma once
// The main window on a fresh pseudo-terminal, shown and exposed: where the benchmarks that drive the real
// window start. The far end stays open (non-blocking) for the benchmark to read and close.

#include "app/tform1.h"

#include <QString>
#include <QTest>

#include <fcntl.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>

struct ShownForm
{
    int master = -1;
    std::unique_ptr<TForm1> form; // null when no pseudo-terminal could be made or no display shows it
};

inline ShownForm showFormOnFreshPty(const char* benchmark)
{
    ShownForm shown;
    shown.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (shown.master < 0 || ::grantpt(shown.master) != 0 || ::unlockpt(shown.master) != 0) {
        std::fprintf(stderr, "%s: could not make a pseudo-terminal\n", benchmark);
        return shown;
    }
    shown.form = std::make_unique<TForm1>(QString::fromLocal8Bit(::ptsname(shown.master)));
    shown.form->show();
    if (!QTest::qWaitForWindowExposed(shown.form.get())) {
        std::fprintf(stderr, "%s: the window was never shown (is there a display?)\n", benchmark);
        shown.form.reset();
    }
    return shown;
}
