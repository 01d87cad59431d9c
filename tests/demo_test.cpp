// The Demo's behaviour, observed through the calls it makes on a recording
// stand-in for GL and GLUT.
#include "demo.h"
#include "recorder.h"
#include "trace_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using recorder::Call;
using testing::ElementsAre;
using testing::ElementsAreArray;
using trace_text::expectedTrace;
using trace_text::sameText;

namespace {

// Lets a test make the Demo's allocation fail; everything else allocates as usual.
bool g_failNothrowNew = false;

std::uint32_t floatBits(float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string makeTempPath()
{
    char name[] = "/tmp/velmora-trace-XXXXXX";
    close(mkstemp(name));
    return name;
}

// For a death test's child: what it writes to stdout from here on lands in path.
void sendStdoutTo(const std::string& path)
{
    std::fflush(stdout);
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, 1);
    close(fd);
}

// Sends descriptor 1 to a file for the life of the object, so the trace can
// be read back and does not flood the test log.
class StdoutToFile {
public:
    StdoutToFile() : path_(makeTempPath())
    {
        std::fflush(stdout);
        saved_ = dup(1);
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutToFile()
    {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        unlink(path_.c_str());
    }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;

    std::string contents()
    {
        std::fflush(stdout);
        return readFile(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
};

// A Demo initialised from a chosen seed, with the calls of init forgotten.
class DemoTest : public testing::Test {
protected:
    void SetUp() override
    {
        velmora::srand(1);
        demo_.init();
        recorder::clear();
    }
    void TearDown() override { recorder::clear(); }

    std::vector<Call> drawCalls()
    {
        recorder::clear();
        demo_.draw();
        return recorder::calls();
    }

    StdoutToFile out_;
    velmora::Demo demo_;
};

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    if (g_failNothrowNew) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

// ---- generator -------------------------------------------------------------

TEST(Generator, StartsFromStateOneWithoutSeed)
{
    // A fresh process is the only place where nothing has seeded the state yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(velmora::rand() == 41 ? 0 : velmora::rand() % 100 + 2), testing::ExitedWithCode(0), "");
}

TEST(Generator, SeedOneGivesKnownSequence)
{
    velmora::srand(1);
    std::vector<int> drawn;
    for (int i = 0; i < 6; ++i) {
        drawn.push_back(velmora::rand());
    }
    EXPECT_THAT(drawn, ElementsAre(41, 18467, 6334, 26500, 19169, 15724));
}

TEST(Generator, SameSeedSameSequenceAndFifteenBitRange)
{
    for (std::uint32_t seed : {0U, 1U, 1797000000U, 0xFFFFFFFFU}) {
        velmora::srand(seed);
        std::vector<int> first;
        for (int i = 0; i < 3000; ++i) {
            first.push_back(velmora::rand());
        }
        velmora::srand(seed);
        for (int i = 0; i < 3000; ++i) {
            const int value = velmora::rand();
            ASSERT_EQ(value, first[i]) << "seed " << seed << ", draw " << i;
            ASSERT_GE(value, 0);
            ASSERT_LE(value, 32767);
        }
    }
}

TEST(Generator, RandUnitScalesByRoundedReciprocal)
{
    // Seeds whose first draw is 0, 32767 and 41 under the generator's recurrence.
    struct Case {
        std::uint32_t seed;
        int draw;
        std::uint32_t bits;
    };
    // 0x3F800000 is 1.0: 32767 * float(1/32767) = 0.99999999907 rounds up.
    const Case cases[] = {
        {0xA170F641U, 0, 0x00000000U},
        {0xF01BF641U, 32767, 0x3F800000U},
        {1U, 41, 0x3AA40148U},
    };
    for (const Case& c : cases) {
        velmora::srand(c.seed);
        ASSERT_EQ(velmora::rand(), c.draw) << "seed " << c.seed;
        velmora::srand(c.seed);
        const float unit = velmora::randUnit();
        EXPECT_EQ(floatBits(unit), c.bits) << "draw " << c.draw << " gave " << unit;
    }
    EXPECT_EQ(floatBits(1.0F / 32767.0F), 0x38000100U);
}

// ---- cloud and trace -------------------------------------------------------

TEST_F(DemoTest, VertexZeroFromSeedOneBitForBit)
{
    const std::vector<Call> calls = drawCalls();
    ASSERT_GT(calls.size(), 6U);
    const Call& colour = calls[4];
    const Call& position = calls[5];
    ASSERT_EQ(colour.name, "glColor4f");
    ASSERT_EQ(position.name, "glVertex3f");
    const float wantPosition[] = {-0.99749750F, 0.12717068F, -0.61339152F};
    const float wantColour[] = {0.80874050F, 0.58500934F, 0.47987303F};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(floatBits(static_cast<float>(position.args[i])), floatBits(wantPosition[i]))
            << "position " << i << ": expected " << wantPosition[i] << ", saw " << position.args[i];
        EXPECT_EQ(floatBits(static_cast<float>(colour.args[i])), floatBits(wantColour[i]))
            << "colour " << i << ": expected " << wantColour[i] << ", saw " << colour.args[i];
    }
}

TEST_F(DemoTest, DrawsAllVerticesPositionDrawsFirstThenColour)
{
    // Replays the generator by hand: x, y, z, r, g, b per vertex, positions
    // mapped to [-1, 1] in double precision.
    velmora::srand(1);
    const std::vector<Call> calls = drawCalls();
    ASSERT_EQ(calls.size(), 4U + 2U * velmora::kVertexCount + 3U);
    for (int i = 0; i < velmora::kVertexCount; ++i) {
        float unit[6];
        for (float& u : unit) {
            u = static_cast<float>(velmora::rand() * static_cast<double>(1.0F / 32767.0F));
        }
        const Call& colour = calls[4 + 2 * i];
        const Call& position = calls[5 + 2 * i];
        ASSERT_EQ(colour.str(), Call({"glColor4f", {unit[3], unit[4], unit[5], 1.0}, {}}).str()) << "vertex " << i;
        for (int axis = 0; axis < 3; ++axis) {
            const auto want = static_cast<float>((static_cast<double>(unit[axis]) + unit[axis]) - 1.0);
            ASSERT_EQ(floatBits(static_cast<float>(position.args[axis])), floatBits(want))
                << "vertex " << i << " axis " << axis << ": expected " << want << ", saw " << position.args[axis];
            ASSERT_GE(position.args[axis], -1.0);
            ASSERT_LE(position.args[axis], 1.0);
        }
    }
}

TEST(Trace, AllHandedOverBeforeTheWindowAndWrittenOutAtEscape)
{
    // Where the buffered trace is cut while the window is open depends on
    // stdout never having been written before; main_test checks that in a
    // pristine process. Here the child checks what Escape writes out.
    const std::string path = makeTempPath();
    EXPECT_EXIT(
        {
            sendStdoutTo(path);
            velmora::createDemo();
            const long handed = recorder::traceAtWindow().handed;
            if (handed != 10890) {
                std::fprintf(stderr, "expected 10890 characters handed to stdout at window creation, saw %ld\n",
                             handed);
                std::_Exit(3);
            }
            velmora::g_demo->keyboard(27, 0, 0);
            std::_Exit(4);
        },
        testing::ExitedWithCode(0), "");
    const std::string trace = readFile(path);
    unlink(path.c_str());
    EXPECT_TRUE(sameText(trace, expectedTrace()));
}

TEST(Trace, FailedAllocationIsReportedAndEndsTheProcess)
{
    EXPECT_EXIT(
        {
            g_failNothrowNew = true;
            velmora::createDemo();
            std::_Exit(0);
        },
        testing::ExitedWithCode(EXIT_FAILURE), "^velmora: not enough memory to start\n$");
}

TEST(Init, SetsModeTraceWindowAndDrawingStateInOrder)
{
    StdoutToFile out;
    recorder::clear();
    velmora::Demo demo;
    demo.init();
    EXPECT_THAT(recorder::strs(recorder::calls()),
                ElementsAre("glutInitDisplayMode(18)", "glutInitWindowSize(600, 600)",
                            "glutCreateWindow(\"Velmora for Oruna (pelkadi 2001)\")", "glClearColor(1, 1, 1, 0)",
                            "glMatrixMode(" + std::to_string(GL_MODELVIEW) + ")", "glLoadIdentity()"));
    EXPECT_TRUE(sameText(out.contents(), expectedTrace()));
    recorder::clear();
}

TEST(Init, TwoRunsWithinOneSecondMakeTheSameCloud)
{
    StdoutToFile out;
    std::vector<std::vector<std::string>> clouds;
    for (int run = 0; run < 2; ++run) {
        velmora::srand(1797000000U);
        velmora::Demo demo;
        demo.init();
        recorder::clear();
        demo.draw();
        std::vector<Call> calls = recorder::calls();
        calls.erase(calls.begin() + 2);  // the rotation depends on the time of drawing
        clouds.push_back(recorder::strs(calls));
    }
    recorder::clear();
    EXPECT_EQ(clouds[0], clouds[1]);
}

// ---- drawing ---------------------------------------------------------------

TEST_F(DemoTest, DrawFramesOneStripAndSwaps)
{
    const auto before = velmora::elapsedMs();
    const std::vector<Call> calls = drawCalls();
    const auto after = velmora::elapsedMs();
    ASSERT_EQ(calls.size(), 4U + 2U * velmora::kVertexCount + 3U);
    EXPECT_EQ(calls[0].str(), "glClear(16640)");
    EXPECT_EQ(calls[1].str(), "glPushMatrix()");
    EXPECT_EQ(calls[2].name, "glRotatef");
    EXPECT_THAT(std::vector<double>(calls[2].args.begin() + 1, calls[2].args.end()), ElementsAre(1.0, 1.0, 1.0));
    EXPECT_EQ(calls[3].str(), "glBegin(" + std::to_string(GL_LINE_STRIP) + ")");
    for (int i = 0; i < velmora::kVertexCount; ++i) {
        ASSERT_EQ(calls[4 + 2 * i].name, "glColor4f") << "vertex " << i;
        ASSERT_EQ(calls[4 + 2 * i].args[3], 1.0) << "alpha of vertex " << i;
        ASSERT_EQ(calls[5 + 2 * i].name, "glVertex3f") << "vertex " << i;
    }
    EXPECT_THAT(recorder::strs({calls.end() - 3, calls.end()}),
                ElementsAre("glEnd()", "glPopMatrix()", "glutSwapBuffers()"));

    const double angle = calls[2].args[0];
    EXPECT_GE(angle, velmora::rotationAngle(before));
    EXPECT_LE(angle, velmora::rotationAngle(after));
}

TEST_F(DemoTest, TickDrawsExactlyOneFrame)
{
    const std::vector<std::string> frame = recorder::names(drawCalls());
    recorder::clear();
    demo_.tick();
    EXPECT_EQ(recorder::names(recorder::calls()), frame);
}

TEST(Clock, CountsRealTimeWhileIdle)
{
    // Processor time would stand still while the thread sleeps.
    const auto start = velmora::elapsedMs();
    EXPECT_GE(start, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto waited = velmora::elapsedMs() - start;
    EXPECT_GE(waited, 300);
    EXPECT_LT(waited, 1300) << "the count runs faster than real time";
}

TEST(Angle, AtChosenTimes)
{
    constexpr std::int64_t kDay = 24LL * 60 * 60 * 1000;
    struct Case {
        std::int64_t ms;
        double degrees;
    };
    const Case cases[] = {
        {0, 0.0},
        {1, 0.025},
        {40, 1.0},
        {1000, 25.0},
        {7200, 180.0},
        {14399, 359.975},
        {14400, 0.0},  // a whole turn: the 0 ms picture
        {15400, 25.0},
        {6LL * 60 * 60 * 1000 + 12, 0.3},  // past the point where a float angle steps by 1/16
        {20 * kDay + 1360, 34.0},
        {2147483647LL, 291.175},  // the last count a 32-bit millisecond counter holds
        {2147483648LL, 291.2},
        {30 * kDay + 1000, 25.0},
        {10LL * 365 * kDay + 123, 3.075},
        {-1000, 335.0},  // a clock stepped back still gives a proper angle
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(velmora::rotationAngle(c.ms), c.degrees, 0.001) << "at " << c.ms << " ms";
        EXPECT_GE(velmora::rotationAngle(c.ms), 0.0F) << "at " << c.ms << " ms";
        EXPECT_LT(velmora::rotationAngle(c.ms), 360.0F) << "at " << c.ms << " ms";
    }
}

TEST(Angle, FirstTurnIsTheDoubleProductNarrowed)
{
    for (std::int64_t ms = 0; ms < 14400; ++ms) {
        const auto want = static_cast<float>(static_cast<double>(ms) * 0.025);
        ASSERT_EQ(floatBits(velmora::rotationAngle(ms)), floatBits(want)) << "at " << ms << " ms";
    }
}

// ---- projection ------------------------------------------------------------

struct Shape {
    const char* name;
    int width, height;
    double left, right, bottom, top;
};

void PrintTo(const Shape& s, std::ostream* out) { *out << s.width << " x " << s.height; }

class Reshape : public DemoTest, public testing::WithParamInterface<Shape> {};

TEST_P(Reshape, SetsViewportAndUndistortedOrthoThenDraws)
{
    const Shape& s = GetParam();
    const std::vector<std::string> frame = recorder::names(drawCalls());
    recorder::clear();
    demo_.reshape(s.width, s.height);
    const std::vector<Call>& calls = recorder::calls();
    ASSERT_EQ(calls.size(), 4U + frame.size());
    const Call ortho{"glOrtho", {s.left, s.right, s.bottom, s.top, -2.0, 2.0}, {}};
    EXPECT_THAT(recorder::strs({calls.begin(), calls.begin() + 4}),
                ElementsAre("glMatrixMode(" + std::to_string(GL_PROJECTION) + ")", "glLoadIdentity()",
                            Call{"glViewport", {0, 0, double(s.width), double(s.height)}, {}}.str(), ortho.str()));
    EXPECT_EQ(calls[3].args, ortho.args);
    EXPECT_EQ(recorder::names({calls.begin() + 4, calls.end()}), frame);

    const velmora::OrthoBounds b = velmora::projectionBounds(s.width, s.height);
    EXPECT_THAT((std::vector<double>{b.left, b.right, b.bottom, b.top}), ElementsAre(s.left, s.right, s.bottom, s.top));
}

INSTANTIATE_TEST_SUITE_P(Shapes, Reshape,
                         testing::Values(Shape{"square", 600, 600, -1, 1, -1, 1},
                                         Shape{"wide", 1200, 600, -2, 2, -1, 1}, Shape{"tall", 600, 1200, -1, 1, -2, 2},
                                         Shape{"tallOdd", 600, 1000, -1, 1, -1000.0 / 600, 1000.0 / 600},
                                         Shape{"oneWider", 601, 600, -601.0 / 600, 601.0 / 600, -1, 1},
                                         Shape{"pixel", 1, 1, -1, 1, -1, 1}, Shape{"zeroWidth", 0, 600, -1, 1, -1, 1},
                                         Shape{"zeroHeight", 600, 0, -1, 1, -1, 1}, Shape{"empty", 0, 0, -1, 1, -1, 1}),
                         [](const testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

// ---- keys ------------------------------------------------------------------

TEST_F(DemoTest, EscapeExitsWithStatusZeroFromEitherState)
{
    EXPECT_EXIT(demo_.keyboard(27, 10, 20), testing::ExitedWithCode(0), "");
    demo_.special(GLUT_KEY_F11, 0, 0);
    EXPECT_EXIT(demo_.keyboard(27, 0, 0), testing::ExitedWithCode(0), "");
}

TEST_F(DemoTest, OtherKeysDoNothing)
{
    for (int key = 0; key < 256; ++key) {
        if (key != 27) {
            demo_.keyboard(static_cast<unsigned char>(key), key, -key);
        }
    }
    for (int key = -2; key < 512; ++key) {
        if (key != GLUT_KEY_F11) {
            demo_.special(key, key, key);
        }
    }
    EXPECT_THAT(recorder::strs(recorder::calls()), ElementsAre());
}

TEST_F(DemoTest, F11SavesFrameGeometryAndRestoresIt)
{
    recorder::answer(GLUT_WINDOW_X, 121);
    recorder::answer(GLUT_WINDOW_Y, 160);
    recorder::answer(GLUT_WINDOW_BORDER_WIDTH, 1);
    recorder::answer(GLUT_WINDOW_HEADER_HEIGHT, 20);
    recorder::answer(GLUT_WINDOW_WIDTH, 640);
    recorder::answer(GLUT_WINDOW_HEIGHT, 480);
    const auto get = [](GLenum query) { return Call{"glutGet", {double(query)}, {}}.str(); };

    demo_.special(GLUT_KEY_F11, 5, 5);
    EXPECT_THAT(recorder::strs(recorder::calls()),
                ElementsAre(get(GLUT_WINDOW_X), get(GLUT_WINDOW_BORDER_WIDTH), get(GLUT_WINDOW_Y),
                            get(GLUT_WINDOW_HEADER_HEIGHT), get(GLUT_WINDOW_WIDTH), get(GLUT_WINDOW_HEIGHT),
                            "glutFullScreen()"));

    // Full screen changes what the toolkit reports; the way back ignores it.
    recorder::answer(GLUT_WINDOW_X, 0);
    recorder::answer(GLUT_WINDOW_Y, 0);
    recorder::answer(GLUT_WINDOW_WIDTH, 1280);
    recorder::answer(GLUT_WINDOW_HEIGHT, 1024);
    recorder::clear();
    demo_.special(GLUT_KEY_F11, 5, 5);
    EXPECT_THAT(recorder::strs(recorder::calls()),
                ElementsAre("glutReshapeWindow(640, 480)", "glutPositionWindow(120, 140)"));
}

TEST_F(DemoTest, F11RecordsTheLatestGeometryOnEachEntry)
{
    recorder::answer(GLUT_WINDOW_BORDER_WIDTH, 0);
    recorder::answer(GLUT_WINDOW_HEADER_HEIGHT, 0);
    struct Place {
        int x, y, width, height;
    };
    for (const Place& p : {Place{10, 20, 600, 600}, Place{300, 40, 800, 500}, Place{-50, 0, 1, 1}}) {
        recorder::answer(GLUT_WINDOW_X, p.x);
        recorder::answer(GLUT_WINDOW_Y, p.y);
        recorder::answer(GLUT_WINDOW_WIDTH, p.width);
        recorder::answer(GLUT_WINDOW_HEIGHT, p.height);
        demo_.special(GLUT_KEY_F11, 0, 0);
        recorder::clear();
        demo_.special(GLUT_KEY_F11, 0, 0);
        EXPECT_THAT(recorder::strs(recorder::calls()),
                    ElementsAre(Call{"glutReshapeWindow", {double(p.width), double(p.height)}, {}}.str(),
                                Call{"glutPositionWindow", {double(p.x), double(p.y)}, {}}.str()));
    }
}

// ---- process -----------------------------------------------------------------

TEST(StopSignals, WriteTheTraceOutThenEndByTheSameSignal)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const std::string path = makeTempPath();
        EXPECT_EXIT(
            {
                sendStdoutTo(path);
                velmora::watchStopSignals();
                std::fputs("held in the buffer", stdout);
                std::raise(sig);  // only noted: the process goes on
                velmora::stopIfSignalled();
                std::_Exit(5);
            },
            testing::KilledBySignal(sig), "")
            << "signal " << sig;
        EXPECT_EQ(readFile(path), "held in the buffer") << "signal " << sig;
        unlink(path.c_str());
    }
}

TEST(StopSignals, WithoutASignalNothingHappens)
{
    EXPECT_EXIT(
        {
            velmora::watchStopSignals();
            velmora::stopIfSignalled();
            std::_Exit(7);
        },
        testing::ExitedWithCode(7), "");
}

TEST(StopSignals, OneIgnoredAtStartStaysIgnored)
{
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            velmora::watchStopSignals();
            std::raise(SIGHUP);
            velmora::stopIfSignalled();
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNull)
{
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            velmora::guardStandardDescriptors();
            char target[64] = {};
            for (int fd = 0; fd <= 1; ++fd) {
                const std::string link = "/proc/self/fd/" + std::to_string(fd);
                const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
                if (n <= 0 || std::string(target, static_cast<std::size_t>(n)) != "/dev/null") {
                    std::fprintf(stderr, "descriptor %d is not /dev/null\n", fd);
                    std::_Exit(1);
                }
            }
            // An open descriptor is left as it was: stderr still reaches the test.
            std::fputs("stderr untouched", stderr);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "stderr untouched");
}
