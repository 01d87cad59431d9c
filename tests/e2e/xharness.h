// What the end-to-end tests need to run the real program as a user meets it:
// child processes, a private Xvfb, a window manager, a clock that only moves
// when told to, and a window to look at and type into.
#pragma once

#include <X11/Xlib.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Calls done() every few milliseconds until it is true or the time is up.
bool pollUntil(const std::function<bool()>& done, Ms timeout);

// A child process, killed when the object goes if it is still running.
class Child {
public:
    struct Options {
        std::vector<std::string> env;  // NAME=VALUE, added to or replacing ours
        std::vector<std::string> unset;
        int stdoutFd = -1;  // -1: inherit, -2: closed
        std::vector<int> ignoredSignals;
        int stderrFd = -1;
        int fd3 = -1;  // becomes descriptor 3 in the child
    };
    Child(const std::vector<std::string>& argv, const Options& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // The raw wait status once the child has ended within timeout.
    std::optional<int> waitFor(Ms timeout);
    void signal(int sig);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A private Xvfb with a 24-bit screen, and our own connection to it.
class XServer {
public:
    explicit XServer(int width = 1280, int height = 1024);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    const std::string& name() const { return name_; }  // ":N"
    Display* display() const { return display_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    std::optional<Child> xvfb_;
    std::string name_;
    Display* display_ = nullptr;
    int width_, height_;
};

// openbox or fluxbox, started on the server and ready once it has claimed the
// screen.
class WindowManager {
public:
    WindowManager(const XServer& server, const std::string& which);
    ~WindowManager();
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

private:
    std::string home_;
    std::optional<Child> wm_;
};

// The calendar and monotonic clocks the program sees, frozen by libfaketime
// and moved only by set().
class FakeClock {
public:
    static constexpr std::int64_t kStart = 1767225600;  // 2026-01-01 00:00:00 UTC
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void set(std::int64_t msAfterStart);
    std::vector<std::string> env() const;

private:
    std::string path_;
};

struct Geometry {
    int x, y, width, height;  // the drawing area, in root coordinates
    bool operator==(const Geometry& o) const { return x == o.x && y == o.y && width == o.width && height == o.height; }
    bool operator!=(const Geometry& o) const { return !(*this == o); }
};
std::string str(const Geometry& g);

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};

struct Image {
    int width = 0, height = 0;
    std::vector<Rgb> pixels;  // rows from the top
    const Rgb& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    Rgb& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    void savePpm(const std::string& path) const;
};

// The real velmora on a server, its standard output read through a pipe.
class Velmora {
public:
    struct Options {
        enum class Trace { Pipe, ReaderGone, DevFull, Closed };
        const FakeClock* clock = nullptr;  // null: the real clock
        Trace trace = Trace::Pipe;         // where standard output goes
        std::vector<int> ignoredSignals;   // as nohup leaves them
        std::vector<std::string> prefix;   // a command to run it under, such as valgrind
        std::vector<std::string> env;
        std::vector<std::string> unset;
    };
    Velmora(const XServer* server, const Options& options);
    ~Velmora();
    Velmora(const Velmora&) = delete;
    Velmora& operator=(const Velmora&) = delete;

    Child& process() { return *child_; }
    long residentKiB() const;  // from /proc

    // Standard output so far (everything that has arrived in the pipe).
    const std::string& trace();
    std::string errors() const;

    // Finds the window titled "Velmora for Oruna (pelkadi 2001)" once mapped.
    Window window(Ms timeout = Ms(20000));
    Geometry geometry();
    Image capture();

    // Waits until done() holds for the geometry.
    bool waitGeometry(const std::function<bool(const Geometry&)>& done, Ms timeout, Geometry* last);

    // Real input through XTest, as a user's keyboard and mouse give it.
    void key(KeySym sym);
    void pressKey(KeyCode code);   // pressed and released
    void pointerTo(int x, int y);  // relative to the drawing area
    void button(unsigned int button, bool press);
    void sync();

private:
    const XServer* server_;
    std::optional<Child> child_;
    int traceFd_ = -1;
    std::string trace_;
    std::string errPath_;
    Window window_ = 0;
};

// Waits for the child and says how it ended, "exited 0" or "killed by signal 15".
std::string describeStatus(std::optional<int> status);

}  // namespace e2e
