// bench_peers: the console against the reference peer, xterm running picocom, at the line's rate, in one run.
//
// Usage: bench_peers [--rounds N] [--seconds S] [--hour-seconds H] [--display D] [--idle-seconds I]
//                    [--console BINARY] [--only ours|reference] [--against OTHER] [--bytes-only 1]
//                    [--byte-samples B]
//   N rounds (default 3) in alternating order (ours first in even rounds, the reference first in odd ones);
//   S seconds of text at the line's rate in each (default 60); H seconds of the memory run (default 60);
//   D the X display number to use (default: the first free one, as Xvfb -displayfd finds it); I seconds of
//   each idle measurement (default 10); BINARY the console to measure (default build/robot-console); --only
//   measures one subject alone, for trying a change; OTHER, a second console binary (or a script that execs
//   one), takes the reference's place, to compare two builds or settings in one run; --bytes-only measures
//   byte to screen alone, B bytes to each subject per round (default 150). What the subjects print goes to
//   /tmp/bench_peers.log.
//
// Each measurement has an Xvfb server of its own, started here, whose CPU is measured too. The subjects are
// the real programs, each on a pseudo-terminal whose master side this program plays:
//   ours       build/robot-console itself, with the pty bound over its COM1 device in a private mount
//              namespace (as the end-to-end tests do; needs root), running its own event loop;
//   reference  xterm -geometry 62x21 -e picocom -b 9600 PTY, both at their defaults.
// Per round and subject, on one server: start-up to the window mapped (MapNotify on the root window, five
// fresh starts); idle wakeups with the window not focused (focus on a window of ours) and focused; for ours,
// click to byte against bare_click and bare_qt_click (XTEST press and release on the forward button, then on
// the bare Xlib window, then on the bare Qt widget, in turn by blocks); then S seconds of 960 bytes/s, one
// byte every 1.042 ms as an unbuffered UART delivers them, of 60-column text that scrolls every line (the
// screen is filled first). Then, per round, byte to screen with both subjects running at once, each on a
// server of its own: one printable byte at a time, 20 to 60 ms apart, to the first XDamage rectangle inside
// the text area, to one subject and then to the other, which one first alternating from byte to byte.
// CPU and wakeups are counted by the kernel: run time and voluntary context switches of every thread
// (/proc/PID/task/*/schedstat and status), the xterm and picocom processes added up. A voluntary switch is a
// sleep, so each is one wakeup. RSS is VmRSS at the end of the line-rate run (both processes for the
// reference).
// The memory run, once per subject after the rounds: the scroll-back is filled to its bound first (1100
// lines at full speed, what 70 s of the line brings) and 20 s of the line's rate let the caches settle, then
// H seconds at the line's rate with the anonymous memory (RssAnon) read every second; its least-squares
// slope over those seconds, carried to an hour from the last VmRSS, gives the hour's figure (never below
// that reading).
// Prints a table and RESULT lines; medians over rounds, ratios ours / reference.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Ms = double;

double nowMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void sleepMs(double ms)
{
    if (ms <= 0)
        return;
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(std::fmod(ms, 1000.0) * 1e6)};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// ---- what the kernel says of a process ----

struct Task
{
    int tid = 0;
    std::string name;
    double cpuNs = 0;
    long wakeups = 0; // voluntary context switches
};

std::vector<Task> tasksOf(int pid)
{
    std::vector<Task> tasks;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr)
        return tasks;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        Task task;
        task.tid = std::atoi(entry->d_name);
        const std::string base = dir + "/" + entry->d_name;
        task.name = readFile(base + "/comm");
        if (!task.name.empty() && task.name.back() == '\n')
            task.name.pop_back();
        std::istringstream(readFile(base + "/schedstat")) >> task.cpuNs;
        std::istringstream status(readFile(base + "/status"));
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                task.wakeups = std::atol(line.c_str() + 24);
        tasks.push_back(task);
    }
    ::closedir(listing);
    return tasks;
}

// A figure of /proc/PID/status in KiB ("VmRSS:", "RssAnon:"); 0 if the process is gone.
long statusKiB(int pid, const std::string& field)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + field.size());
    return 0;
}

long rssKiB(int pid)
{
    return statusKiB(pid, "VmRSS:");
}

int parentOf(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    int parent = 0;
    rest >> state >> parent;
    return parent;
}

std::vector<int> childrenOf(int pid)
{
    std::vector<int> children;
    DIR* listing = ::opendir("/proc");
    while (const dirent* entry = listing != nullptr ? ::readdir(listing) : nullptr) {
        const int candidate = std::atoi(entry->d_name);
        if (candidate > 0 && parentOf(candidate) == pid)
            children.push_back(candidate);
    }
    if (listing != nullptr)
        ::closedir(listing);
    return children;
}

// Run time and wakeups of a set of processes, per thread name and in total.
struct Usage
{
    double cpuMs = 0;
    long wakeups = 0;
    std::map<std::string, long> wakeupsByThread;
};

Usage usageOf(const std::vector<int>& pids)
{
    Usage usage;
    for (const int pid : pids) {
        for (const Task& task : tasksOf(pid)) {
            usage.cpuMs += task.cpuNs / 1e6;
            usage.wakeups += task.wakeups;
            // The first process's main thread is "main"; every other thread goes by its name.
            usage.wakeupsByThread[task.tid == pids.front() ? std::string("main") : task.name] += task.wakeups;
        }
    }
    return usage;
}

Usage operator-(const Usage& after, const Usage& before)
{
    Usage d;
    d.cpuMs = after.cpuMs - before.cpuMs;
    d.wakeups = after.wakeups - before.wakeups;
    for (const auto& [name, count] : after.wakeupsByThread) {
        const auto found = before.wakeupsByThread.find(name);
        d.wakeupsByThread[name] = count - (found == before.wakeupsByThread.end() ? 0 : found->second);
    }
    return d;
}

// ---- processes ----

int spawn(const std::vector<std::string>& argv, const std::string& display, int stdoutFd = -1)
{
    const int pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        if (!display.empty())
            ::setenv("DISPLAY", display.c_str(), 1);
        const int null = ::open("/dev/null", O_RDWR);
        const int log = ::open("/tmp/bench_peers.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(null, 0);
        ::dup2(stdoutFd >= 0 ? stdoutFd : null, 1);
        ::dup2(log >= 0 ? log : null, 2);
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::perror(args[0]);
        ::_exit(127);
    }
    return pid;
}

// Ends a process group started by spawn() and waits for its leader.
void endGroup(int pid)
{
    if (pid <= 0)
        return;
    ::kill(-pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        sleepMs(10);
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

struct XServer
{
    int pid = -1;
    std::string display;

    // On display `wanted`, or on the first free one (as Xvfb -displayfd finds it) when it is negative.
    explicit XServer(int wanted)
    {
        int ready[2] = {-1, -1};
        if (wanted < 0 && ::pipe(ready) != 0)
            return;
        // No reset when the last client goes: the next one could not connect while it regenerates.
        std::vector<std::string> argv = {"Xvfb", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"};
        if (wanted >= 0)
            argv.push_back(":" + std::to_string(wanted));
        else
            argv.insert(argv.end(), {"-displayfd", std::to_string(ready[1])});
        pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::vector<char*> args;
            args.reserve(argv.size() + 1);
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp("Xvfb", args.data());
            ::_exit(127);
        }
        if (wanted < 0) {
            ::close(ready[1]);
            char number[32] = {};
            pollfd p{ready[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) == 1 && ::read(ready[0], number, sizeof number - 1) > 0)
                display = ":" + std::string(number, std::strcspn(number, "\n"));
            ::close(ready[0]);
            return;
        }
        // A display of our own number is ready when a client can open it.
        const std::string name = ":" + std::to_string(wanted);
        for (int i = 0; i < 200 && display.empty(); ++i) {
            sleepMs(50);
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            if (Display* probe = XOpenDisplay(name.c_str())) {
                XCloseDisplay(probe);
                display = name;
            }
        }
    }
    ~XServer() { endGroup(pid); }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
};

// A pseudo-terminal whose master side is ours; the slave is raw and held open, so the line never hangs up
// between users.
struct Pty
{
    int master = -1;
    int slaveHold = -1;
    std::string slave;

    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        slave = ::ptsname(master);
        slaveHold = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios raw{};
        if (slaveHold >= 0 && ::tcgetattr(slaveHold, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(slaveHold, TCSANOW, &raw);
        }
    }
    ~Pty()
    {
        ::close(master);
        ::close(slaveHold);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void writeAll(const std::string& bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    void drain() const
    {
        char buffer[4096];
        while (::read(master, buffer, sizeof buffer) > 0) {
        }
    }
};

// ---- the subjects ----

enum class Kind {
    Ours,
    Reference
};

std::string g_benchDir;
std::string g_console; // the console binary; build/robot-console by default
std::string g_against; // a second console binary that stands in for the reference (--against)

const char* nameOf(Kind kind)
{
    if (kind == Kind::Ours)
        return "ours";
    return g_against.empty() ? "xterm+picocom" : "the other console";
}

std::vector<std::string> commandOf(Kind kind, const std::string& pty)
{
    if (kind == Kind::Reference && g_against.empty())
        return {"xterm", "-geometry", "62x21+0+0", "-e", "picocom", "-q", "-b", "9600", "--noreset", pty};
    return {"unshare",
            "--mount",
            "--propagation",
            "private",
            "--",
            "sh",
            "-c",
            "mount -t tmpfs tmpfs /run/lock && mount --bind \"$1\" /dev/ttyS0 && exec \"$2\"",
            "sh",
            pty,
            kind == Kind::Ours ? g_console : g_against};
}

// The text area of the subject's top-level window, in its own coordinates.
XRectangle textAreaOf(Kind kind, Display* display, Window window)
{
    if (kind == Kind::Ours || !g_against.empty())
        return {232, 24, 496, 252}; // the pane's place in the window description
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    return {0, 0, static_cast<unsigned short>(attributes.width), static_cast<unsigned short>(attributes.height)};
}

struct Running
{
    int pid = -1;
    Window window = 0;
    Ms startupMs = 0;
    std::vector<int> pids; // the processes whose figures count
};

// Starts a subject and waits for its top-level window's MapNotify.
std::optional<Running> start(Kind kind, Display* display, const std::string& displayName, const Pty& pty)
{
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, True);
    Running running;
    const Ms t0 = nowMs();
    running.pid = spawn(commandOf(kind, pty.slave), displayName);
    const Ms deadline = t0 + 20000;
    while (running.window == 0 && nowMs() < deadline) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect && running.window == 0) {
                running.window = event.xmap.window;
                running.startupMs = nowMs() - t0;
            }
        }
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        ::poll(&p, 1, 50);
    }
    XSelectInput(display, DefaultRootWindow(display), NoEventMask);
    if (running.window == 0) {
        std::fprintf(stderr, "bench_peers: %s never mapped a window\n", nameOf(kind));
        endGroup(running.pid);
        return std::nullopt;
    }
    running.pids = {running.pid};
    if (kind == Kind::Reference) {
        for (int i = 0; i < 200 && running.pids.size() < 2; ++i) {
            for (const int child : childrenOf(running.pid))
                running.pids.push_back(child);
            if (running.pids.size() < 2)
                sleepMs(10);
        }
    }
    return running;
}

bool alive(int pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

bool allAlive(const Running& running)
{
    return std::all_of(running.pids.begin(), running.pids.end(), alive);
}

// Ends every process of a subject (picocom is in a session of its own, not in xterm's group) and waits until
// all are gone, so that the next start finds the line free.
void end(const Running& running)
{
    for (std::size_t i = 1; i < running.pids.size(); ++i)
        ::kill(running.pids[i], SIGTERM);
    endGroup(running.pid);
    for (int i = 0; i < 300; ++i) {
        if (std::none_of(running.pids.begin() + 1, running.pids.end(), alive))
            return;
        sleepMs(10);
    }
    for (std::size_t i = 1; i < running.pids.size(); ++i)
        ::kill(running.pids[i], SIGKILL);
}

// ---- the measurements ----

struct Samples
{
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    double quantile(double q) const
    {
        if (values.empty())
            return NAN;
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * static_cast<double>(sorted.size())))];
    }
    double median() const { return quantile(0.5); }
};

// Figures of one subject over all rounds.
struct Figures
{
    Samples cpuPct, xCpuPct, wakeups, rssMiB, idleUnfocused, idleFocused, startup, byteToScreen, clickToByte;
    std::map<std::string, Samples> wakeupsByThread;
    double hourRssMiB = NAN, hourSlopeKiBPerMin = NAN, hourStartMiB = NAN;
};

double xCpuMs(int xPid)
{
    return usageOf({xPid}).cpuMs;
}

// The wakeups per second of `pids` over `seconds` of doing nothing.
double idleWakeups(const std::vector<int>& pids, double seconds)
{
    const Usage before = usageOf(pids);
    sleepMs(seconds * 1000);
    return static_cast<double>((usageOf(pids) - before).wakeups) / seconds;
}

// The 60-column text that scrolls every line; line n differs from line n+1 in every column.
std::string textLine(long n)
{
    std::string line;
    for (int c = 0; c < 60; ++c)
        line += static_cast<char>('!' + (n * 7 + static_cast<long>(c) * 3) % 90);
    return line + "\r\n";
}

// Feeds `pty` at 960 bytes/s, one byte every 1.0417 ms, for `seconds`; calls `tick` about once a second.
template <typename Tick>
void feedAtLineRate(const Pty& pty, double seconds, long& line, Tick tick)
{
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::string text;
        std::size_t at = 0;
        timespec next{};
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        while (!stop) {
            if (at == text.size()) {
                text = textLine(line++);
                at = 0;
            }
            next.tv_nsec += 1041667;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            if (::write(pty.master, &text[at], 1) == 1)
                ++at;
        }
    });
    const Ms end = nowMs() + seconds * 1000;
    for (int second = 1; nowMs() < end; ++second) {
        sleepMs(std::min(1000.0, end - nowMs()));
        tick(second);
    }
    stop = true;
    feeder.join();
}

// Byte to screen on one subject's window: one printable byte at a time to the first XDamage rectangle inside
// the text area; the caller spaces the bytes.
class ByteProbe
{
public:
    ByteProbe(Display* display, Window window, const XRectangle& area, const Pty& pty)
        : m_display(display)
        , m_area(area)
        , m_pty(pty)
    {
        int errorBase = 0;
        if (!XDamageQueryExtension(display, &m_eventBase, &errorBase)) {
            std::fprintf(stderr, "bench_peers: the X server has no DAMAGE extension\n");
            return;
        }
        m_damage = XDamageCreate(display, window, XDamageReportRawRectangles);
        XSync(display, False);
    }
    ~ByteProbe()
    {
        if (m_damage != 0)
            XDamageDestroy(m_display, m_damage);
        XSync(m_display, False);
    }
    ByteProbe(const ByteProbe&) = delete;
    ByteProbe& operator=(const ByteProbe&) = delete;

    // False once five bytes in a row showed nothing, or without the extension.
    bool usable() const { return m_damage != 0 && m_unseen < 5; }

    void send(char byte, Samples& out)
    {
        if (m_column == 60) {
            m_pty.writeAll("\r\n");
            m_column = 0;
            sleepMs(60);
        }
        while (XPending(m_display) > 0) {
            XEvent skipped;
            XNextEvent(m_display, &skipped);
        }
        const Ms sent = nowMs();
        if (::write(m_pty.master, &byte, 1) != 1)
            return;
        ++m_column;
        bool seen = false;
        while (!seen && nowMs() - sent < 1000) {
            while (!seen && XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type != m_eventBase + XDamageNotify)
                    continue;
                const XRectangle& r = reinterpret_cast<XDamageNotifyEvent*>(&event)->area;
                seen = r.x < m_area.x + m_area.width && m_area.x < r.x + r.width && r.y < m_area.y + m_area.height
                    && m_area.y < r.y + r.height;
                if (seen)
                    out.add(nowMs() - sent);
            }
            pollfd p{ConnectionNumber(m_display), POLLIN, 0};
            if (!seen)
                ::poll(&p, 1, 5);
        }
        m_unseen = seen ? 0 : m_unseen + 1;
    }

private:
    Display* m_display;
    XRectangle m_area;
    const Pty& m_pty;
    Damage m_damage = 0;
    int m_eventBase = 0;
    int m_column = 0;
    int m_unseen = 0;
};

// XTEST press, a hand's 50 ms, release; then the time from the release to the byte on the master side.
std::optional<Ms> clickOnce(Display* display, int x, int y, const Pty& pty, char expected)
{
    pty.drain();
    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XFlush(display);
    sleepMs(50);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XFlush(display);
    const Ms released = nowMs();
    pollfd p{pty.master, POLLIN, 0};
    char byte = 0;
    std::optional<Ms> latency;
    if (::poll(&p, 1, 1000) == 1 && ::read(pty.master, &byte, 1) == 1 && byte == expected)
        latency = nowMs() - released;
    sleepMs(20);
    return latency;
}

Window focusSink(Display* display)
{
    const Window sink = XCreateSimpleWindow(display, DefaultRootWindow(display), 1000, 740, 10, 10, 0, 0, 0);
    XMapWindow(display, sink);
    XSync(display, False);
    return sink;
}

void focus(Display* display, Window window)
{
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    XSync(display, False);
}

struct Options
{
    int rounds = 3;
    double seconds = 60;
    double hourSeconds = 60;
    int display = -1;
    int startups = 5;
    int byteSamples = 150;
    int clicksPerBlock = 25;
    int clickBlocks = 2;
    double idleSeconds = 10;
    std::string only; // "ours" or "reference": that subject alone, for trying a change
    bool bytesOnly = false;
};

// Whether the run measures this subject (--only names one of them, or none).
bool measures(const Options& options, Kind kind)
{
    return options.only.empty() || options.only == (kind == Kind::Ours ? "ours" : "reference");
}

void merge(Samples& into, const Samples& from)
{
    into.values.insert(into.values.end(), from.values.begin(), from.values.end());
}

void merge(Figures& into, const Figures& from)
{
    for (auto member :
         {&Figures::cpuPct, &Figures::xCpuPct, &Figures::wakeups, &Figures::rssMiB, &Figures::idleUnfocused,
          &Figures::idleFocused, &Figures::startup, &Figures::byteToScreen, &Figures::clickToByte})
        merge(into.*member, from.*member);
    for (const auto& [name, samples] : from.wakeupsByThread)
        merge(into.wakeupsByThread[name], samples);
}

// One round of one subject on a server of its own; its figures count only if the subject lived through it.
void measureRound(Kind kind, const Options& options, Figures& kept, Figures& keptBare, Figures& keptBareQt)
{
    Figures figures;
    Figures bare;
    Figures bareQt;
    XServer server(options.display);
    if (server.display.empty()) {
        std::fprintf(stderr, "bench_peers: Xvfb did not start\n");
        return;
    }
    Display* display = XOpenDisplay(server.display.c_str());
    if (display == nullptr) {
        std::fprintf(stderr, "bench_peers: cannot open display %s\n", server.display.c_str());
        return;
    }
    const Window sink = focusSink(display);
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 1023, 767);
    Pty pty;

    for (int i = 0; i < options.startups; ++i) {
        focus(display, sink);
        if (const auto started = start(kind, display, server.display, pty)) {
            figures.startup.add(started->startupMs);
            end(*started);
        }
        pty.drain();
    }

    // The floors for click to byte, on the same server, out of the way of the console's window: each prints
    // its window's id once it is shown.
    struct Bare
    {
        Pty pty;
        int pid = -1;
        Window window = 0;
    };
    auto startBare = [&](const char* program, Bare& bare) {
        int out[2];
        if (::pipe(out) != 0)
            return;
        bare.pid = spawn({g_benchDir + "/" + program, bare.pty.slave}, server.display, out[1]);
        ::close(out[1]);
        char id[64] = {};
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 5000) == 1 && ::read(out[0], id, sizeof id - 1) > 0)
            bare.window = std::strtoul(id, nullptr, 10);
        ::close(out[0]);
    };
    Bare bareXlib;
    Bare bareQtWidget;
    if (kind == Kind::Ours) {
        startBare("bare_click", bareXlib);
        startBare("bare_qt_click", bareQtWidget);
    }

    const auto running = start(kind, display, server.display, pty);
    if (!running) {
        endGroup(bareXlib.pid);
        endGroup(bareQtWidget.pid);
        XCloseDisplay(display);
        return;
    }
    const std::vector<int>& pids = running->pids;
    sleepMs(2000); // first paints, fonts, the pty's settings

    focus(display, sink);
    sleepMs(1000);
    figures.idleUnfocused.add(idleWakeups(pids, options.idleSeconds));
    focus(display, running->window);
    sleepMs(1000);
    figures.idleFocused.add(idleWakeups(pids, options.idleSeconds));
    focus(display, sink);
    sleepMs(500);

    if (kind == Kind::Ours && bareXlib.window != 0 && bareQtWidget.window != 0) {
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(display, running->window, DefaultRootWindow(display), 8 + 80 + 28, 16 + 32 + 28, &x, &y,
                              &child);
        int lost = 0;
        for (int block = 0; block < 3 * options.clickBlocks; ++block) {
            for (int i = 0; i < options.clicksPerBlock; ++i) {
                const auto latency = block % 3 == 0 ? clickOnce(display, x, y, pty, 'F')
                    : block % 3 == 1                ? clickOnce(display, 50, 50, bareXlib.pty, 'F')
                                                    : clickOnce(display, 50, 700, bareQtWidget.pty, 'F');
                if (latency)
                    (block % 3 == 0 ? figures : block % 3 == 1 ? bare : bareQt).clickToByte.add(*latency);
                else
                    ++lost;
            }
        }
        if (lost > 0)
            std::fprintf(stderr, "bench_peers: %d clicks brought no byte\n", lost);
        XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 1023, 767);
        focus(display, sink);
    }
    endGroup(bareXlib.pid);
    endGroup(bareQtWidget.pid);

    // The screen full first, so that every line of the run scrolls.
    long line = 0;
    std::string fill;
    for (; line < 25; ++line)
        fill += textLine(line);
    pty.writeAll(fill);
    sleepMs(1000);
    pty.drain();

    const Usage before = usageOf(pids);
    const double xBefore = xCpuMs(server.pid);
    const Ms t0 = nowMs();
    feedAtLineRate(pty, options.seconds, line, [](int) {});
    const double elapsed = (nowMs() - t0) / 1000;
    const Usage used = usageOf(pids) - before;
    figures.cpuPct.add(100 * used.cpuMs / 1000 / elapsed);
    figures.xCpuPct.add(100 * (xCpuMs(server.pid) - xBefore) / 1000 / elapsed);
    figures.wakeups.add(static_cast<double>(used.wakeups) / elapsed);
    for (const auto& [name, count] : used.wakeupsByThread)
        figures.wakeupsByThread[name].add(static_cast<double>(count) / elapsed);
    long rss = 0;
    for (const int pid : pids)
        rss += rssKiB(pid);
    figures.rssMiB.add(static_cast<double>(rss) / 1024);

    if (allAlive(*running)) {
        merge(kept, figures);
        merge(keptBare, bare);
        merge(keptBareQt, bareQt);
    } else {
        std::fprintf(stderr, "bench_peers: %s ended during the round; its figures are left out\n", nameOf(kind));
    }
    end(*running);
    XCloseDisplay(display);
}

// Byte to screen, both subjects at once, each on a server of its own, a byte to one and then a byte to the
// other (which goes first alternating), so that whatever the machine does meanwhile falls on both alike.
void measureBytes(const Options& options, const std::vector<Kind>& kinds, std::map<Kind, Figures>& figures)
{
    struct Subject
    {
        Kind kind;
        std::unique_ptr<XServer> server;
        Display* display = nullptr;
        Pty pty;
        std::optional<Running> running;
        std::unique_ptr<ByteProbe> probe;
    };
    std::vector<std::unique_ptr<Subject>> subjects;
    for (const Kind kind : kinds) {
        auto subject = std::make_unique<Subject>();
        subject->kind = kind;
        subject->server = std::make_unique<XServer>(subjects.empty() ? options.display : -1);
        if (!subject->server->display.empty())
            subject->display = XOpenDisplay(subject->server->display.c_str());
        if (subject->display == nullptr) {
            std::fprintf(stderr, "bench_peers: no X server for %s's bytes\n", nameOf(kind));
            continue;
        }
        focus(subject->display, focusSink(subject->display));
        subject->running = start(kind, subject->display, subject->server->display, subject->pty);
        subjects.push_back(std::move(subject));
    }
    sleepMs(2000); // first paints, fonts, the pty's settings
    for (auto& subject : subjects) {
        if (subject->running)
            subject->probe = std::make_unique<ByteProbe>(
                subject->display, subject->running->window,
                textAreaOf(subject->kind, subject->display, subject->running->window), subject->pty);
    }
    std::mt19937 random(19);
    std::uniform_real_distribution<double> gap(20, 60);
    for (int i = 0; i < options.byteSamples; ++i) {
        for (std::size_t k = 0; k < subjects.size(); ++k) {
            Subject& subject = *subjects[(k + static_cast<std::size_t>(i)) % subjects.size()];
            if (!subject.probe || !subject.probe->usable())
                continue;
            sleepMs(gap(random));
            subject.probe->send(static_cast<char>('A' + i % 26), figures[subject.kind].byteToScreen);
        }
    }
    for (auto& subject : subjects) {
        subject->probe.reset();
        if (subject->running)
            end(*subject->running);
        XCloseDisplay(subject->display);
    }
}

// The memory run: the scroll-back full, then the line's rate with the anonymous memory read every second.
void measureHour(Kind kind, const Options& options, Figures& figures)
{
    XServer server(options.display);
    Display* display = server.display.empty() ? nullptr : XOpenDisplay(server.display.c_str());
    if (display == nullptr)
        return;
    Pty pty;
    const auto running = start(kind, display, server.display, pty);
    if (!running) {
        XCloseDisplay(display);
        return;
    }
    sleepMs(1000);
    long line = 0;
    std::string fill;
    for (; line < 1100; ++line)
        fill += textLine(line);
    pty.writeAll(fill);
    sleepMs(2000);
    // Caches that fill as the first screens of text pass (glyphs, the allocator's pools) are not growth.
    feedAtLineRate(pty, 20, line, [](int) {});
    // The slope is the anonymous memory's (the heap, the images): what is mapped from files (code, fonts) is
    // bounded by the files, and a page of code met once for the first time is no growth to carry to an hour.
    std::vector<std::pair<double, double>> points; // seconds, KiB of anonymous memory
    auto sum = [&](const char* field) {
        long total = 0;
        for (const int pid : running->pids)
            total += statusKiB(pid, field);
        return static_cast<double>(total);
    };
    points.emplace_back(0, sum("RssAnon:"));
    const double first = sum("VmRSS:");
    feedAtLineRate(pty, options.hourSeconds, line, [&](int second) { points.emplace_back(second, sum("RssAnon:")); });
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [x, y] : points) {
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double n = static_cast<double>(points.size());
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx); // KiB per second
    const double last = sum("VmRSS:");
    figures.hourStartMiB = first / 1024;
    figures.hourSlopeKiBPerMin = slope * 60;
    figures.hourRssMiB = (last + std::max(0.0, slope) * (3600 - points.back().first)) / 1024;
    end(*running);
    XCloseDisplay(display);
}

std::string format(double v, int decimals)
{
    if (std::isnan(v))
        return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (option == "--rounds")
            options.rounds = std::max(1, static_cast<int>(value));
        else if (option == "--seconds")
            options.seconds = std::max(1.0, value);
        else if (option == "--hour-seconds")
            options.hourSeconds = std::max(5.0, value);
        else if (option == "--display")
            options.display = static_cast<int>(value);
        else if (option == "--idle-seconds")
            options.idleSeconds = std::max(1.0, value);
        else if (option == "--console")
            g_console = argv[i + 1];
        else if (option == "--only")
            options.only = argv[i + 1];
        else if (option == "--against")
            g_against = argv[i + 1];
        else if (option == "--bytes-only")
            options.bytesOnly = value != 0;
        else if (option == "--byte-samples")
            options.byteSamples = std::max(10, static_cast<int>(value));
        else {
            std::fprintf(stderr,
                         "usage: bench_peers [--rounds N] [--seconds S] [--hour-seconds H] [--display D] "
                         "[--idle-seconds I] [--console BINARY] [--only ours|reference] [--against BINARY] "
                         "[--bytes-only 1] [--byte-samples N]\n");
            return 2;
        }
    }
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    g_benchDir = std::string(self).substr(0, std::string(self).rfind('/'));
    if (g_console.empty())
        g_console = g_benchDir + "/../robot-console";
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_peers: needs root, for the mount namespace that puts the pty over COM1\n");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // A subject's window may go while it is looked at; that is no reason to end the run.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });

    const std::string loadBefore = readFile("/proc/loadavg");
    std::map<Kind, Figures> figures;
    Figures bare;
    Figures bareQt;
    for (int round = 0; round < options.rounds; ++round) {
        const Kind order[2]
            = {round % 2 == 0 ? Kind::Ours : Kind::Reference, round % 2 == 0 ? Kind::Reference : Kind::Ours};
        for (const Kind kind : order) {
            if (!measures(options, kind) || options.bytesOnly)
                continue;
            std::fprintf(stderr, "round %d: %s ...\n", round + 1, nameOf(kind));
            measureRound(kind, options, figures[kind], bare, bareQt);
        }
        std::vector<Kind> kinds;
        for (const Kind kind : order)
            if (measures(options, kind))
                kinds.push_back(kind);
        std::fprintf(stderr, "round %d: byte to screen ...\n", round + 1);
        measureBytes(options, kinds, figures);
    }
    for (const Kind kind : {Kind::Ours, Kind::Reference}) {
        if (!measures(options, kind) || options.bytesOnly)
            continue;
        std::fprintf(stderr, "memory run: %s ...\n", nameOf(kind));
        measureHour(kind, options, figures[kind]);
    }

    Figures& ours = figures[Kind::Ours];
    Figures& reference = figures[Kind::Reference];
    struct Row
    {
        const char* key;
        const char* what;
        double ours;
        double reference;
        int decimals;
    };
    const Row rows[] = {
        {"cpu_pct", "CPU at line rate, % of a core", ours.cpuPct.median(), reference.cpuPct.median(), 2},
        {"x_cpu_pct", "X server CPU at line rate, % of a core", ours.xCpuPct.median(), reference.xCpuPct.median(), 2},
        {"wakeups", "wakeups/s at line rate, all threads", ours.wakeups.median(), reference.wakeups.median(), 0},
        {"rss_mib", "RSS at the end of the line-rate run, MiB", ours.rssMiB.median(), reference.rssMiB.median(), 1},
        {"idle_unfocused", "idle wakeups/s, window not focused", ours.idleUnfocused.median(),
         reference.idleUnfocused.median(), 1},
        {"idle_focused", "idle wakeups/s, window focused", ours.idleFocused.median(), reference.idleFocused.median(),
         1},
        {"startup_ms", "start-up to window mapped, ms", ours.startup.median(), reference.startup.median(), 1},
        {"byte_median_ms", "byte to screen, median ms", ours.byteToScreen.median(), reference.byteToScreen.median(), 2},
        {"byte_p99_ms", "byte to screen, 99th percentile ms", ours.byteToScreen.quantile(0.99),
         reference.byteToScreen.quantile(0.99), 2},
        {"click_median_ms", "click to byte, median ms (reference: bare Xlib window)", ours.clickToByte.median(),
         bare.clickToByte.median(), 3},
        {"click_qt_median_ms", "click to byte, median ms, a bare Qt widget (reference: bare Xlib window)",
         bareQt.clickToByte.median(), bare.clickToByte.median(), 3},
        {"hour_rss_mib", "RSS after an hour of traffic, MiB (extrapolated)", ours.hourRssMiB, reference.hourRssMiB, 1},
    };
    std::printf("line-rate figures, %d rounds of %.0f s, medians; ours against xterm+picocom (and, for clicks, a "
                "bare Xlib window)\n",
                options.rounds, options.seconds);
    std::printf("\n| figure | ours | reference | ours / reference |\n|---|---|---|---|\n");
    for (const Row& row : rows) {
        const double ratio = row.ours / row.reference;
        std::printf("| %s | %s | %s | %s |\n", row.what, format(row.ours, row.decimals).c_str(),
                    format(row.reference, row.decimals).c_str(), row.reference > 0 ? format(ratio, 2).c_str() : "-");
    }
    std::printf("\nours, wakeups/s at line rate by thread:");
    for (const auto& [name, samples] : ours.wakeupsByThread)
        std::printf(" %s %.0f", name.c_str(), samples.median());
    std::printf("\n\nxterm+picocom, wakeups/s by thread:");
    for (const auto& [name, samples] : reference.wakeupsByThread)
        std::printf(" %s %.0f", name.c_str(), samples.median());
    std::printf("\n\nmemory run: ours %.1f MiB with the scroll-back full, anonymous memory %+.1f KiB/min; "
                "xterm+picocom %.1f MiB, %+.1f KiB/min\n",
                ours.hourStartMiB, ours.hourSlopeKiBPerMin, reference.hourStartMiB, reference.hourSlopeKiBPerMin);
    std::printf(
        "\nclick to byte, quartiles ms: ours %.3f %.3f %.3f, bare Xlib %.3f %.3f %.3f, bare Qt %.3f %.3f %.3f\n",
        ours.clickToByte.quantile(0.25), ours.clickToByte.median(), ours.clickToByte.quantile(0.75),
        bare.clickToByte.quantile(0.25), bare.clickToByte.median(), bare.clickToByte.quantile(0.75),
        bareQt.clickToByte.quantile(0.25), bareQt.clickToByte.median(), bareQt.clickToByte.quantile(0.75));
    std::printf(
        "\nsamples: byte to screen %zu + %zu, clicks %zu + %zu (bare Xlib) + %zu (bare Qt), start-ups %zu + %zu\n",
        ours.byteToScreen.values.size(), reference.byteToScreen.values.size(), ours.clickToByte.values.size(),
        bare.clickToByte.values.size(), bareQt.clickToByte.values.size(), ours.startup.values.size(),
        reference.startup.values.size());
    std::string loadAfter = readFile("/proc/loadavg");
    std::printf("\nload average (1, 5, 15 min) before: %.14s, after: %.14s\n", loadBefore.c_str(), loadAfter.c_str());
    std::printf("RESULT");
    for (const Row& row : rows) {
        std::printf(" %s=%s ref_%s=%s", row.key, format(row.ours, row.decimals).c_str(), row.key,
                    format(row.reference, row.decimals).c_str());
        // The ratio of the figures as measured, not as rounded for the table: a goal of "at most 1 x" must
        // not hold by rounding.
        if (std::isfinite(row.ours) && std::isfinite(row.reference) && row.reference > 0)
            std::printf(" ratio_%s=%.4f", row.key, row.ours / row.reference);
    }
    for (const auto& [name, samples] : ours.wakeupsByThread)
        if (name == "main" || name == "QXcbEventQueue")
            std::printf(" wakeups_%s=%.0f", name == "main" ? "main" : "xcb", samples.median());
    // Likewise a bound in MiB: the resident memory in KiB, as read.
    std::printf(" hour_rss_kib=%s", format(ours.hourRssMiB * 1024, 0).c_str());
    std::printf(" hour_slope_kib_per_min=%.1f\n", ours.hourSlopeKiBPerMin);
    return 0;
}
