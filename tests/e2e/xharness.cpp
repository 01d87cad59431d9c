#include "xharness.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

const char* const kTitle = "Velmora for Oruna (pelkadi 2001)";

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::string makeTempDir()
{
    char name[] = "/tmp/velmora-e2e-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        fail("mkdtemp failed");
    }
    return name;
}

std::string makeTempFile()
{
    char name[] = "/tmp/velmora-e2e-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
        fail("mkstemp failed");
    }
    close(fd);
    return name;
}

// The program may end while we still talk about its window; an X error then is
// expected and must not end the test process as Xlib's default handler would.
int ignoreXError(Display* /*display*/, XErrorEvent* /*event*/) { return 0; }

bool isVelmora(Display* display, Window w)
{
    char* name = nullptr;
    bool match = false;
    if (XFetchName(display, w, &name) != 0 && name != nullptr) {
        match = std::strcmp(name, kTitle) == 0;
        XFree(name);
    }
    if (!match) {
        return false;
    }
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, w, &attributes) != 0 && attributes.map_state == IsViewable;
}

Window findTitled(Display* display, Window under)
{
    if (isVelmora(display, under)) {
        return under;
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, under, &root, &parent, &children, &count) == 0) {
        return 0;
    }
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        found = findTitled(display, children[i]);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

}  // namespace

bool pollUntil(const std::function<bool()>& done, Ms timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(Ms(5));
    }
}

// ---- Child -------------------------------------------------------------------

Child::Child(const std::vector<std::string>& argv, const Options& options)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        fail("fork failed");
    }
    if (pid_ == 0) {
        for (const std::string& name : options.unset) {
            unsetenv(name.c_str());
        }
        for (const std::string& pair : options.env) {
            putenv(const_cast<char*>(pair.c_str()));
        }
        for (const int sig : options.ignoredSignals) {
            std::signal(sig, SIG_IGN);
        }
        if (options.stdoutFd >= 0) {
            dup2(options.stdoutFd, 1);
        } else if (options.stdoutFd == -2) {
            close(1);
        }
        if (options.stderrFd >= 0) {
            dup2(options.stderrFd, 2);
        }
        if (options.fd3 >= 0) {
            dup2(options.fd3, 3);
        }
        const int keep = options.fd3 >= 0 ? 4 : 3;
        for (int fd = keep; fd < 1024; ++fd) {
            close(fd);
        }
        execvp(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
}

Child::~Child()
{
    if (running()) {
        ::kill(pid_, SIGKILL);
        waitFor(Ms(5000));
    }
}

bool Child::running()
{
    if (status_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        return false;
    }
    return true;
}

std::optional<int> Child::waitFor(Ms timeout)
{
    pollUntil([this] { return !running(); }, timeout);
    return status_;
}

void Child::signal(int sig)
{
    if (running()) {
        ::kill(pid_, sig);
    }
}

std::string describeStatus(std::optional<int> status)
{
    if (!status) {
        return "still running";
    }
    if (WIFEXITED(*status)) {
        return "exited " + std::to_string(WEXITSTATUS(*status));
    }
    if (WIFSIGNALED(*status)) {
        return "killed by signal " + std::to_string(WTERMSIG(*status));
    }
    return "ended with wait status " + std::to_string(*status);
}

// ---- XServer -----------------------------------------------------------------

XServer::XServer(int width, int height) : width_(width), height_(height)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fail("pipe failed");
    }
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    Child::Options options;
    options.fd3 = fds[1];
    options.stdoutFd = quiet;
    options.stderrFd = quiet;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    xvfb_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp"},
                  options);
    close(fds[1]);
    close(quiet);

    std::string number;
    pollfd readable{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + Ms(20000);
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        if (poll(&readable, 1, 100) > 0) {
            char buffer[32];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            number.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        fail("Xvfb did not report its display within 20 s");
    }
    name_ = ":" + number.substr(0, number.find('\n'));
    XSetErrorHandler(ignoreXError);
    display_ = XOpenDisplay(name_.c_str());
    if (display_ == nullptr) {
        fail("cannot connect to Xvfb on " + name_);
    }
}

XServer::~XServer()
{
    if (display_ != nullptr) {
        XCloseDisplay(display_);
    }
    if (xvfb_) {
        xvfb_->signal(SIGTERM);
        xvfb_->waitFor(Ms(5000));
    }
}

// ---- WindowManager -----------------------------------------------------------

WindowManager::WindowManager(const XServer& server, const std::string& which) : home_(makeTempDir())
{
    Child::Options options;
    options.env = {"DISPLAY=" + server.name(), "HOME=" + home_};
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    options.stdoutFd = quiet;
    options.stderrFd = quiet;
    std::vector<std::string> argv = {which};
    if (which == "openbox") {
        argv.emplace_back("--sm-disable");
    }
    wm_.emplace(argv, options);
    close(quiet);

    Display* display = server.display();
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const bool ready = pollUntil(
        [&] {
            Atom type = 0;
            int format = 0;
            unsigned long items = 0;
            unsigned long after = 0;
            unsigned char* data = nullptr;
            const int got = XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW,
                                               &type, &format, &items, &after, &data);
            const bool present = got == Success && items == 1;
            if (data != nullptr) {
                XFree(data);
            }
            return present;
        },
        Ms(20000));
    if (!ready) {
        fail(which + " did not take over the screen within 20 s");
    }
}

WindowManager::~WindowManager()
{
    wm_.reset();
    const std::string command = "rm -rf '" + home_ + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", home_.c_str());
    }
}

// ---- FakeClock ---------------------------------------------------------------

FakeClock::FakeClock() : path_(makeTempFile()) { set(0); }

FakeClock::~FakeClock() { unlink(path_.c_str()); }

void FakeClock::set(std::int64_t msAfterStart)
{
    const std::int64_t ms = kStart * 1000 + msAfterStart;
    const auto seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03d\n", static_cast<int>(ms % 1000));
    // Replaced whole, so the program never reads a half-written time.
    const std::string next = path_ + ".next";
    {
        std::ofstream out(next, std::ios::trunc);
        out << text;
    }
    if (std::rename(next.c_str(), path_.c_str()) != 0) {
        fail("cannot move the fake clock");
    }
}

std::vector<std::string> FakeClock::env() const
{
    return {"FAKETIME_TIMESTAMP_FILE=" + path_, "FAKETIME_NO_CACHE=1", "TZ=UTC"};
}

// ---- Image -------------------------------------------------------------------

void Image::savePpm(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << " " << height << "\n255\n";
    for (const Rgb& p : pixels) {
        out.put(static_cast<char>(p.r)).put(static_cast<char>(p.g)).put(static_cast<char>(p.b));
    }
}

std::string str(const Geometry& g)
{
    return std::to_string(g.width) + "x" + std::to_string(g.height) + "+" + std::to_string(g.x) + "+" +
           std::to_string(g.y);
}

// ---- Velmora -----------------------------------------------------------------

Velmora::Velmora(const XServer* server, const Options& options) : server_(server), errPath_(makeTempFile())
{
    int fds[2] = {-1, -1};
    using Trace = Options::Trace;
    if (options.trace == Trace::Pipe || options.trace == Trace::ReaderGone) {
        if (pipe2(fds, O_CLOEXEC) != 0) {
            fail("pipe failed");
        }
        if (options.trace == Trace::ReaderGone) {
            close(fds[0]);  // before the program starts, so its first write already fails
        } else {
            traceFd_ = fds[0];
            fcntl(traceFd_, F_SETFL, O_NONBLOCK);
        }
    } else if (options.trace == Trace::DevFull) {
        fds[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
    }
    const int err = open(errPath_.c_str(), O_WRONLY | O_CLOEXEC);

    Child::Options child;
    child.env = {"LIBGL_ALWAYS_SOFTWARE=1"};
    if (server != nullptr) {
        child.env.push_back("DISPLAY=" + server->name());
    }
    std::string preload;
#ifdef PINNED_LIBRARY
    // Under LeakSanitizer: Mesa unloads its driver at exit, and leaks from an
    // unloaded library can no longer be told from the program's own.
    preload = PINNED_LIBRARY;
#endif
    if (options.clock != nullptr) {
#ifdef PINNED_LIBRARY
        // LeakSanitizer's check at exit and libfaketime's clock wrappers
        // together make glibc abort on a futex error; leaks are checked in
        // the runs on the real clock.
        const char* asan = std::getenv("ASAN_OPTIONS");
        child.env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
#endif
        preload += (preload.empty() ? "" : ":") + std::string(FAKETIME_LIBRARY);
        for (const std::string& e : options.clock->env()) {
            child.env.push_back(e);
        }
    }
    if (!preload.empty()) {
        child.env.push_back("LD_PRELOAD=" + preload);
    }
    child.env.insert(child.env.end(), options.env.begin(), options.env.end());
    child.unset = options.unset;
    child.stdoutFd = options.trace == Trace::Closed ? -2 : fds[1];
    child.stderrFd = err;
    child.ignoredSignals = options.ignoredSignals;
    std::vector<std::string> argv = options.prefix;
    argv.emplace_back(VELMORA_BINARY);
    child_.emplace(argv, child);
    if (fds[1] >= 0) {
        close(fds[1]);
    }
    close(err);
}

Velmora::~Velmora()
{
    child_.reset();
    if (traceFd_ >= 0) {
        close(traceFd_);
    }
    unlink(errPath_.c_str());
}

const std::string& Velmora::trace()
{
    if (traceFd_ >= 0) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(traceFd_, buffer, sizeof buffer)) > 0) {
            trace_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return trace_;
}

long Velmora::residentKiB() const
{
    std::ifstream status("/proc/" + std::to_string(child_->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

std::string Velmora::errors() const
{
    std::ifstream in(errPath_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Window Velmora::window(Ms timeout)
{
    if (window_ != 0) {
        return window_;
    }
    Display* display = server_->display();
    pollUntil(
        [&] {
            window_ = findTitled(display, DefaultRootWindow(display));
            return window_ != 0 || !child_->running();
        },
        timeout);
    if (window_ == 0) {
        fail("no mapped window titled \"" + std::string(kTitle) + "\" appeared; velmora " +
             describeStatus(child_->waitFor(Ms(0))) + ", stderr: " + errors());
    }
    return window_;
}

Geometry Velmora::geometry()
{
    Display* display = server_->display();
    const Window w = window();
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, w, &attributes);
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(display, w, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

bool Velmora::waitGeometry(const std::function<bool(const Geometry&)>& done, Ms timeout, Geometry* last)
{
    return pollUntil(
        [&] {
            *last = geometry();
            return done(*last);
        },
        timeout);
}

Image Velmora::capture()
{
    // Read from the screen rather than the window: a window that reaches past
    // the screen's edge cannot be read whole. What lies off screen stays white.
    Display* display = server_->display();
    const Geometry g = geometry();
    Image image;
    image.width = g.width;
    image.height = g.height;
    image.pixels.assign(static_cast<std::size_t>(g.width) * g.height, Rgb{255, 255, 255});
    const int left = std::max(g.x, 0);
    const int top = std::max(g.y, 0);
    const int right = std::min(g.x + g.width, server_->width());
    const int bottom = std::min(g.y + g.height, server_->height());
    if (right <= left || bottom <= top) {
        return image;
    }
    XImage* shot = XGetImage(display, DefaultRootWindow(display), left, top, static_cast<unsigned>(right - left),
                             static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap);
    if (shot == nullptr) {
        fail("XGetImage failed");
    }
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            const unsigned long p = XGetPixel(shot, x - left, y - top);
            image.at(x - g.x, y - g.y) =
                Rgb{static_cast<std::uint8_t>((p >> 16U) & 0xFFU), static_cast<std::uint8_t>((p >> 8U) & 0xFFU),
                    static_cast<std::uint8_t>(p & 0xFFU)};
        }
    }
    XDestroyImage(shot);
    return image;
}

void Velmora::key(KeySym sym)
{
    Display* display = server_->display();
    const KeyCode code = XKeysymToKeycode(display, sym);
    if (code == 0) {
        fail("no key code for keysym " + std::to_string(sym));
    }
    pressKey(code);
}

void Velmora::pressKey(KeyCode code)
{
    Display* display = server_->display();
    XSetInputFocus(display, window(), RevertToPointerRoot, CurrentTime);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
}

void Velmora::pointerTo(int x, int y)
{
    Display* display = server_->display();
    const Geometry g = geometry();
    XTestFakeMotionEvent(display, DefaultScreen(display), g.x + x, g.y + y, CurrentTime);
    XSync(display, False);
}

void Velmora::button(unsigned int which, bool press)
{
    Display* display = server_->display();
    XTestFakeButtonEvent(display, which, press ? True : False, CurrentTime);
    XSync(display, False);
}

void Velmora::sync() { XSync(server_->display(), False); }

}  // namespace e2e
