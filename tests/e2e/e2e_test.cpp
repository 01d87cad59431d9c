// The real velmora on a private Xvfb with Mesa's software renderer: its
// window, its picture against an independent model, its trace, its keys and
// its full screen under real window managers.
// gtest first: Xlib's macros (None, Bool) would clash with its names.
#include <gtest/gtest.h>

#include "model.h"
#include "trace_text.h"
#include "xharness.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace e2e;
using trace_text::expectedTrace;
using trace_text::sameText;

namespace {

constexpr std::int64_t kDay = 24LL * 60 * 60 * 1000;

// Waits for the program to end and checks its exit status; a failure shows
// the end of what it wrote on standard error (a sanitizer's report, say).
testing::AssertionResult exitedWith(Velmora& app, int code)
{
    const std::optional<int> status = app.process().waitFor(Ms(20000));
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == code) {
        return testing::AssertionSuccess();
    }
    const std::string errors = app.errors();
    return testing::AssertionFailure() << "expected velmora to have exited " << code << ", it "
                                       << describeStatus(status) << "; the end of its stderr:\n"
                                       << errors.substr(errors.size() > 3000 ? errors.size() - 3000 : 0);
}

// One server and one program for a test; an optional window manager.
class Desktop : public testing::Test {
protected:
    void start(Velmora::Options options = {})
    {
        if (options.clock == nullptr && useClock_) {
            options.clock = &clock_;
        }
        app_ = std::make_unique<Velmora>(&server_, options);
        app_->window();
    }

    Velmora& app() { return *app_; }

    // Polls the screen until the picture is the model's at that angle, or
    // says how far the last picture was from it.
    testing::AssertionResult showsCloudAt(double degrees, Ms timeout = Ms(10000))
    {
        Match last;
        Image seen;
        Image model;
        const bool matched = pollUntil(
            [&] {
                seen = app_->capture();
                model = renderModel(cloud_, degrees, seen.width, seen.height);
                last = compare(seen, model);
                return last.good();
            },
            timeout);
        if (matched) {
            return testing::AssertionSuccess();
        }
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        const std::string stem = "e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++saved_);
        seen.savePpm(stem + "-observed.ppm");
        model.savePpm(stem + "-expected.ppm");
        return testing::AssertionFailure()
               << "expected the cloud turned by " << degrees << " degrees in a " << seen.width << "x" << seen.height
               << " area; " << last.str() << " (pictures saved as " << stem << "-*.ppm)";
    }

    // On the real clock: the picture changes, and changes again.
    testing::AssertionResult keepsSpinning(Ms timeout = Ms(10000))
    {
        for (int frame = 0; frame < 2; ++frame) {
            const Image before = app_->capture();
            if (!pollUntil([&] { return app_->capture().pixels != before.pixels; }, timeout)) {
                return testing::AssertionFailure() << "the picture did not change for " << timeout.count()
                                                   << " ms; velmora " << describeStatus(app_->process().waitFor(Ms(0)));
            }
        }
        return testing::AssertionSuccess();
    }

    // What the current picture has in common with the model at that angle.
    Match pictureAgainst(double degrees)
    {
        const Image seen = app_->capture();
        return compare(seen, renderModel(cloud_, degrees, seen.width, seen.height));
    }

    void resize(int width, int height)
    {
        XResizeWindow(server_.display(), app_->window(), static_cast<unsigned>(width), static_cast<unsigned>(height));
        app_->sync();
    }

    // Waits until the window stops moving: a window manager places a new
    // window after it first appears.
    Geometry settledGeometry()
    {
        Geometry before = app_->geometry();
        Geometry now = before;
        int sameReads = 0;
        pollUntil(
            [&] {
                now = app_->geometry();
                sameReads = now == before ? sameReads + 1 : 0;
                before = now;
                return sameReads >= 20;
            },
            Ms(10000));
        return now;
    }

    bool useClock_ = true;
    XServer server_;
    FakeClock clock_;
    std::vector<Point> cloud_ = referenceCloud(static_cast<std::uint32_t>(FakeClock::kStart));
    std::unique_ptr<Velmora> app_;
    int saved_ = 0;
};

}  // namespace

TEST_F(Desktop, TraceHoldsBackItsLastPartUntilEscape)
{
    start();
    ASSERT_TRUE(showsCloudAt(0));
    EXPECT_TRUE(sameText(app().trace(), expectedTrace().substr(0, 10752)))
        << "while the window is open the reader must have exactly the first 10752 characters";
    clock_.set(1000);
    ASSERT_TRUE(showsCloudAt(25));
    EXPECT_EQ(app().trace().size(), 10752U) << "frames must not write to standard output";

    app().key(XK_Escape);
    EXPECT_TRUE(exitedWith(app(), 0));
    EXPECT_TRUE(sameText(app().trace(), expectedTrace()));
}

TEST_F(Desktop, WindowIsTitledSquareAndWhite)
{
    start();
    char* name = nullptr;
    ASSERT_NE(XFetchName(server_.display(), app().window(), &name), 0);
    EXPECT_STREQ(name, "Velmora for Oruna (pelkadi 2001)");
    XFree(name);

    const Geometry g = app().geometry();
    EXPECT_EQ(g.width, 600) << str(g);
    EXPECT_EQ(g.height, 600) << str(g);

    ASSERT_TRUE(showsCloudAt(0));
    const Image seen = app().capture();
    long white = 0;
    for (const Rgb& p : seen.pixels) {
        white += p.r == 255 && p.g == 255 && p.b == 255 ? 1 : 0;
    }
    EXPECT_GT(white, static_cast<long>(seen.pixels.size()) * 4 / 10) << "the background must be pure white";
}

TEST_F(Desktop, PictureTurnsForwardAt25DegreesASecond)
{
    start();
    ASSERT_TRUE(showsCloudAt(0));
    clock_.set(1000);
    ASSERT_TRUE(showsCloudAt(25));
    // The sense of the turn, not only that it changed.
    EXPECT_FALSE(pictureAgainst(-25).good()) << "the cloud also matches a turn by -25 degrees";
    EXPECT_FALSE(pictureAgainst(0).good()) << "the cloud has not moved";
    clock_.set(2000);
    EXPECT_TRUE(showsCloudAt(50));
    clock_.set(14400);
    EXPECT_TRUE(showsCloudAt(0)) << "a whole turn takes 14.4 s";
}

TEST_F(Desktop, KeepsProportionsInAnyShape)
{
    start();
    ASSERT_TRUE(showsCloudAt(0));
    struct Size {
        int width, height;
    };
    for (const Size s : {Size{1200, 600}, Size{600, 1000}, Size{600, 600}}) {
        resize(s.width, s.height);
        Geometry g{};
        ASSERT_TRUE(app().waitGeometry(
            [&](const Geometry& now) { return now.width == s.width && now.height == s.height; }, Ms(10000), &g))
            << "asked for " << s.width << "x" << s.height << ", window is " << str(g);
        EXPECT_TRUE(showsCloudAt(0)) << "at " << s.width << "x" << s.height;
    }
}

TEST_F(Desktop, MouseChangesNothing)
{
    start();
    ASSERT_TRUE(showsCloudAt(0));
    const Geometry before = app().geometry();
    app().pointerTo(300, 300);
    for (unsigned int button = 1; button <= 5; ++button) {
        app().button(button, true);
        app().button(button, false);
    }
    app().button(1, true);  // a drag
    for (int step = 0; step < 20; ++step) {
        app().pointerTo(300 + step * 10, 300 - step * 5);
    }
    app().button(1, false);
    for (int step = 0; step < 20; ++step) {
        app().pointerTo(50 + step * 20, 500 - step * 20);
    }
    app().sync();
    clock_.set(1000);
    EXPECT_TRUE(showsCloudAt(25));
    EXPECT_EQ(app().geometry(), before) << "was " << str(before) << ", now " << str(app().geometry());
    EXPECT_TRUE(app().process().running());
}

TEST_F(Desktop, OnlyEscapeAndF11Act)
{
    start();
    ASSERT_TRUE(showsCloudAt(0));
    const Geometry before = app().geometry();
    for (KeySym sym :
         {XK_a,   XK_q,  XK_x,    XK_z,    XK_1,     XK_Return, XK_space, XK_Tab,     XK_BackSpace, XK_Delete,
          XK_F1,  XK_F2, XK_F3,   XK_F4,   XK_F5,    XK_F6,     XK_F7,    XK_F8,      XK_F9,        XK_F10,
          XK_F12, XK_Up, XK_Down, XK_Left, XK_Right, XK_Home,   XK_End,   XK_Page_Up, XK_Page_Down, XK_Insert}) {
        app().key(sym);
    }
    // Upper case, with Shift held.
    Display* display = server_.display();
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    XTestFakeKeyEvent(display, shift, True, CurrentTime);
    app().key(XK_q);
    app().key(XK_f);
    XTestFakeKeyEvent(display, shift, False, CurrentTime);
    app().sync();

    clock_.set(1000);
    EXPECT_TRUE(showsCloudAt(25));
    EXPECT_EQ(app().geometry(), before) << "was " << str(before) << ", now " << str(app().geometry());
    ASSERT_TRUE(app().process().running());

    app().key(XK_Escape);
    EXPECT_TRUE(exitedWith(app(), 0));
    EXPECT_TRUE(sameText(app().trace(), expectedTrace()));
}

TEST_F(Desktop, LongRunsShowTheTrueAngle)
{
    start();
    ASSERT_TRUE(showsCloudAt(0));
    clock_.set(20 * kDay + 1360);
    EXPECT_TRUE(showsCloudAt(34)) << "after 20 days and 1360 ms";
    clock_.set(30 * kDay + 1000);
    EXPECT_TRUE(showsCloudAt(25)) << "after 30 days and 1000 ms, past a 32-bit millisecond count";
}

namespace e2e {
void PrintTo(Velmora::Options::Trace trace, std::ostream* out) { *out << static_cast<int>(trace); }
}  // namespace e2e

// Where the trace cannot be written, it is dropped; the program runs on.
// The real clock here: libfaketime's own file would fill a closed stdout's
// descriptor and hide what happens without it.
class UnwritableTrace : public Desktop, public testing::WithParamInterface<Velmora::Options::Trace> {
protected:
    UnwritableTrace() { useClock_ = false; }
};

TEST_P(UnwritableTrace, DoesNotStopTheAnimation)
{
    Velmora::Options options;
    options.trace = GetParam();
    start(options);
    EXPECT_TRUE(keepsSpinning());
    ASSERT_TRUE(app().process().running());
    app().key(XK_Escape);
    EXPECT_TRUE(exitedWith(app(), 0));
}

INSTANTIATE_TEST_SUITE_P(Outputs, UnwritableTrace,
                         testing::Values(Velmora::Options::Trace::ReaderGone, Velmora::Options::Trace::DevFull,
                                         Velmora::Options::Trace::Closed),
                         [](const testing::TestParamInfo<Velmora::Options::Trace>& info) {
                             switch (info.param) {
                             case Velmora::Options::Trace::ReaderGone:
                                 return std::string("ReaderGone");
                             case Velmora::Options::Trace::DevFull:
                                 return std::string("DevFull");
                             default:
                                 return std::string("Closed");
                             }
                         });

// Ctrl+C, kill and a hang-up: the whole trace, then the signal's own status.
class StopSignal : public Desktop, public testing::WithParamInterface<int> {
protected:
    StopSignal() { useClock_ = false; }  // the program acts on signals from its running frame timer
};

TEST_P(StopSignal, WritesTheTraceOutAndEndsByThatSignal)
{
    start();
    const int sig = GetParam();
    ASSERT_TRUE(pollUntil([&] { return app().trace().size() == 10752; }, Ms(10000)));
    app().process().signal(sig);
    const std::optional<int> status = app().process().waitFor(Ms(10000));
    EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == sig)
        << "expected to be ended by signal " << sig << " (status " << 128 + sig << " in a shell), velmora "
        << describeStatus(status);
    EXPECT_TRUE(sameText(app().trace(), expectedTrace()));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopSignal, testing::Values(SIGINT, SIGTERM, SIGHUP), [](const testing::TestParamInfo<int>& info) {
        return std::string(info.param == SIGINT ? "SIGINT" : info.param == SIGTERM ? "SIGTERM" : "SIGHUP");
    });

TEST_F(Desktop, HangUpIgnoredByNohupStaysIgnored)
{
    useClock_ = false;
    Velmora::Options options;
    options.ignoredSignals = {SIGHUP};
    start(options);
    ASSERT_TRUE(pollUntil([&] { return app().trace().size() == 10752; }, Ms(10000)));
    app().process().signal(SIGHUP);
    // Two new frames after the hang-up: a noted signal would have ended the
    // program before the second.
    ASSERT_TRUE(keepsSpinning()) << "after a hang-up";
    app().process().signal(SIGTERM);
    const std::optional<int> status = app().process().waitFor(Ms(10000));
    EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM)
        << "expected the ignored hang-up to change nothing, velmora " << describeStatus(status);
}

TEST(NoDisplay, ToolkitSaysSoAndTheProgramFails)
{
    for (const bool unset : {true, false}) {
        Velmora::Options options;
        if (unset) {
            options.unset = {"DISPLAY"};
        } else {
            options.env = {"DISPLAY=:4093"};
        }
        Velmora app(nullptr, options);
        const std::optional<int> status = app.process().waitFor(Ms(10000));
        ASSERT_TRUE(status) << "velmora was still running 10 s after it could not open a display";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0)
            << "expected a non-zero exit, velmora " << describeStatus(status);
        EXPECT_NE(app.errors().find("failed to open display"), std::string::npos) << "stderr was: " << app.errors();
    }
}

// ---- under window managers -------------------------------------------------

class UnderWindowManager : public Desktop, public testing::WithParamInterface<const char*> {
protected:
    void SetUp() override { wm_ = std::make_unique<WindowManager>(server_, GetParam()); }
    std::unique_ptr<WindowManager> wm_;
};

TEST_P(UnderWindowManager, F11CoversTheScreenAndComesBackExactly)
{
    start();
    Geometry place = settledGeometry();
    const Geometry screen{0, 0, server_.width(), server_.height()};
    for (int round = 0; round < 4; ++round) {
        if (round == 3) {
            // Moved by the user between round trips: the new place comes back.
            XMoveWindow(server_.display(), app().window(), 200, 150);
            app().sync();
            Geometry moved{};
            ASSERT_TRUE(app().waitGeometry([&](const Geometry& g) { return g.x != place.x || g.y != place.y; },
                                           Ms(10000), &moved))
                << "the window did not move from " << str(place);
            place = settledGeometry();
        }
        app().key(XK_F11);
        Geometry g{};
        ASSERT_TRUE(app().waitGeometry([&](const Geometry& now) { return now == screen; }, Ms(10000), &g))
            << "round " << round << ": expected full screen " << str(screen) << ", window is " << str(g);
        if (round == 0) {
            EXPECT_TRUE(showsCloudAt(0)) << "in full screen";
        }
        app().key(XK_F11);
        ASSERT_TRUE(app().waitGeometry([&](const Geometry& now) { return now == place; }, Ms(10000), &g))
            << "round " << round << ": expected the window back at " << str(place) << ", it is at " << str(g);
        EXPECT_EQ(settledGeometry(), place) << "round " << round;
    }
    EXPECT_TRUE(showsCloudAt(0)) << "back in the window";
}

TEST_P(UnderWindowManager, EscapeEndsFromFullScreen)
{
    start();
    settledGeometry();
    app().key(XK_F11);
    Geometry g{};
    ASSERT_TRUE(app().waitGeometry(
        [&](const Geometry& now) { return now.width == server_.width() && now.height == server_.height(); }, Ms(10000),
        &g))
        << "window is " << str(g);
    app().key(XK_Escape);
    EXPECT_TRUE(exitedWith(app(), 0));
    EXPECT_TRUE(sameText(app().trace(), expectedTrace()));
}

TEST_P(UnderWindowManager, ClosingTheWindowEndsCleanly)
{
    start();
    settledGeometry();
    // What wmctrl -c does: ask the window manager to close the window; it
    // sends the program WM_DELETE_WINDOW.
    Display* display = server_.display();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = app().window();
    event.xclient.message_type = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = 2;  // a pager or tool, as wmctrl says it is
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    app().sync();
    EXPECT_TRUE(exitedWith(app(), 0));
    EXPECT_TRUE(sameText(app().trace(), expectedTrace()));
}

INSTANTIATE_TEST_SUITE_P(Managers, UnderWindowManager, testing::Values("openbox", "fluxbox"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// ---- memcheck ----------------------------------------------------------------

namespace {

// The errors in a memcheck XML report whose innermost frame of the program's
// own (past the allocator and the C and C++ runtimes) lies in velmora itself.
std::vector<std::string> ownErrors(const std::string& xml)
{
    std::vector<std::string> found;
    const auto field = [](const std::string& text, const std::string& tag, std::size_t from = 0) {
        const std::size_t open = text.find("<" + tag + ">", from);
        if (open == std::string::npos) {
            return std::string();
        }
        const std::size_t start = open + tag.size() + 2;
        return text.substr(start, text.find("</" + tag + ">", start) - start);
    };
    for (std::size_t at = xml.find("<error>"); at != std::string::npos; at = xml.find("<error>", at + 1)) {
        const std::string error = xml.substr(at, xml.find("</error>", at) - at);
        bool ours = false;
        for (std::size_t s = error.find("<stack>"); s != std::string::npos && !ours; s = error.find("<stack>", s + 1)) {
            const std::string stack = error.substr(s, error.find("</stack>", s) - s);
            for (std::size_t f = stack.find("<frame>"); f != std::string::npos; f = stack.find("<frame>", f + 1)) {
                const std::string object = field(stack.substr(f, stack.find("</frame>", f) - f), "obj");
                if (object.find("vgpreload") != std::string::npos || object.find("libstdc++") != std::string::npos ||
                    object.find("libc.so") != std::string::npos) {
                    continue;
                }
                ours = object == VELMORA_BINARY;
                break;
            }
        }
        if (ours) {
            std::string what = field(error, "what");
            if (what.empty()) {
                what = field(field(error, "xwhat"), "text");
            }
            found.push_back(field(error, "kind") + ": " + what);
        }
    }
    return found;
}

}  // namespace

TEST_F(Desktop, MemcheckFindsNothingInTheProgramsOwnCode)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "memcheck cannot run a sanitizer build";
#endif
    useClock_ = false;
    char name[] = "/tmp/velmora-memcheck-XXXXXX";
    close(mkstemp(name));
    const std::string report = name;
    Velmora::Options options;
    options.prefix = {"valgrind",
                      "--tool=memcheck",
                      "--xml=yes",
                      "--xml-file=" + report,
                      "--leak-check=full",
                      "--show-leak-kinds=definite",
                      "--track-origins=yes",
                      "--num-callers=40"};
    app_ = std::make_unique<Velmora>(&server_, options);
    // Slow: every frame of the software renderer runs under memcheck.
    const Ms patience(120000);
    app_->window(patience);
    ASSERT_TRUE(keepsSpinning(patience));
    resize(700, 500);
    Geometry g{};
    ASSERT_TRUE(app().waitGeometry([](const Geometry& now) { return now.width == 700; }, patience, &g)) << str(g);
    ASSERT_TRUE(keepsSpinning(patience));
    app().key(XK_a);
    app().key(XK_Escape);
    const std::optional<int> status = app().process().waitFor(patience);
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "velmora " << describeStatus(status);

    std::ifstream in(report);
    const std::string xml{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    unlink(report.c_str());
    ASSERT_NE(xml.find("</valgrindoutput>"), std::string::npos) << "memcheck left no complete report";
    const std::vector<std::string> errors = ownErrors(xml);
    std::string list;
    for (const std::string& e : errors) {
        list += "\n  " + e;
    }
    EXPECT_TRUE(errors.empty()) << "expected no memcheck errors in velmora's own code, found " << errors.size() << ":"
                                << list;
}

// ---- soak and storms ---------------------------------------------------------

namespace {

// Every key code of the server's keyboard map that produces neither Escape
// nor F11 at any level.
std::vector<KeyCode> harmlessKeys(Display* display)
{
    int low = 0;
    int high = 0;
    XDisplayKeycodes(display, &low, &high);
    int perCode = 0;
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(low), high - low + 1, &perCode);
    std::vector<KeyCode> keys;
    for (int code = low; code <= high; ++code) {
        bool mapped = false;
        bool harmful = false;
        for (int level = 0; level < perCode; ++level) {
            const KeySym sym = map[(code - low) * perCode + level];
            mapped = mapped || sym != NoSymbol;
            harmful = harmful || sym == XK_Escape || sym == XK_F11;
        }
        if (mapped && !harmful) {
            keys.push_back(static_cast<KeyCode>(code));
        }
    }
    XFree(map);
    return keys;
}

}  // namespace

TEST_F(Desktop, SurvivesAMinuteOfRandomInput)
{
    // Every resize makes the renderer free and allocate frame buffers of a new
    // size. Above a fixed threshold glibc then always maps them and gives them
    // back, where its sliding threshold would leave a fragmented heap that
    // grows with no leak at all; the growth measured is then what is kept.
    Velmora::Options options;
    options.env = {"GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072"};
    start(options);
    ASSERT_TRUE(showsCloudAt(0));
    Display* display = server_.display();
    const std::vector<KeyCode> keys = harmlessKeys(display);
    ASSERT_GT(keys.size(), 50U);

    const unsigned seed = testing::UnitTest::GetInstance()->random_seed() + 20261211U;
    std::mt19937 random(seed);
    SCOPED_TRACE("storm seed " + std::to_string(seed));
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    std::int64_t now = 0;
    std::size_t nextKey = 0;
    long baselineKiB = -1;
    const auto startedAt = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration_cast<Ms>(Clock::now() - startedAt); };

    // The largest sizes come first, so the memory they take counts in the
    // baseline read after the first seconds.
    for (const int side : {1, 2000}) {
        resize(side, side);
    }
    for (long action = 0; elapsed() < Ms(60000); ++action) {
        if (baselineKiB < 0 && elapsed() >= Ms(5000)) {
            baselineKiB = app().residentKiB();
        }
        switch (pick(0, 9)) {
        case 0: {
            const int extremes[] = {1, 2000};
            resize(pick(0, 3) == 0 ? extremes[pick(0, 1)] : pick(1, 2000),
                   pick(0, 3) == 0 ? extremes[pick(0, 1)] : pick(1, 2000));
            break;
        }
        case 1:
        case 2:
            XTestFakeMotionEvent(display, DefaultScreen(display), pick(0, server_.width() - 1),
                                 pick(0, server_.height() - 1), CurrentTime);
            break;
        case 3: {
            const auto button = static_cast<unsigned>(pick(1, 5));
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
            break;
        }
        case 4:
        case 5:
        case 6: {
            // Every harmless key in turn, so a minute sweeps the whole map.
            app().pressKey(keys[nextKey++ % keys.size()]);
            break;
        }
        default:
            now += pick(0, 3) == 0 ? pick(0, 10) * kDay / 10 : pick(1, 500);
            clock_.set(now);
        }
        app().sync();
        if (action % 8 == 0) {
            std::this_thread::sleep_for(Ms(10));  // a storm's pace, not a wait for anything
        }
        ASSERT_TRUE(app().process().running()) << "velmora " << describeStatus(app().process().waitFor(Ms(0)))
                                               << " after " << action << " actions; stderr: " << app().errors();
    }
    EXPECT_GE(nextKey, keys.size()) << "the storm did not reach every key";

    resize(640, 480);
    Geometry g{};
    ASSERT_TRUE(app().waitGeometry([](const Geometry& s) { return s.width == 640 && s.height == 480; }, Ms(10000), &g))
        << str(g);
    now += 1000;
    clock_.set(now);
    EXPECT_TRUE(showsCloudAt(static_cast<double>(now % 14400) * 0.025)) << "after the storm, at " << now << " ms";
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's quarantine keeps freed memory resident
    const long endKiB = app().residentKiB();
    RecordProperty("residentGrowthKiB", std::to_string(endKiB - baselineKiB));
    EXPECT_LE(endKiB - baselineKiB, 1024)
        << "resident memory grew from " << baselineKiB << " KiB after 5 s to " << endKiB << " KiB at the end";
#endif
    ASSERT_TRUE(app().process().running());
    app().key(XK_Escape);
    EXPECT_TRUE(exitedWith(app(), 0));
}

TEST_P(UnderWindowManager, TwentyRoundTripsEndAtTheStart)
{
    start();
    const Geometry place = settledGeometry();
    for (int round = 0; round < 20; ++round) {
        Geometry g{};
        app().key(XK_F11);
        ASSERT_TRUE(app().waitGeometry(
            [&](const Geometry& now) { return now.width == server_.width() && now.height == server_.height(); },
            Ms(10000), &g))
            << "round " << round << ": window is " << str(g);
        app().key(XK_F11);
        ASSERT_TRUE(app().waitGeometry([&](const Geometry& now) { return now == place; }, Ms(10000), &g))
            << "round " << round << ": expected " << str(place) << ", window is " << str(g);
    }
    EXPECT_EQ(settledGeometry(), place);
}
