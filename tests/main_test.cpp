// The real main() linked against the recording stand-in. Its glutInit sends
// the trace to a file, and its glutMainLoop, which main() enters last, runs
// these tests against what start-up registered.
#include "recorder.h"
#include "trace_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using recorder::Call;
using testing::ElementsAre;

namespace {

int* g_argc = nullptr;
char** g_argv = nullptr;
int g_console = -1;
std::string g_tracePath;
long g_arrivedAtMainLoop = -1;
std::vector<Call> g_startUp;

std::vector<std::string> frameNames()
{
    std::vector<std::string> names = {"glClear", "glPushMatrix", "glRotatef", "glBegin"};
    for (int i = 0; i < 500; ++i) {
        names.emplace_back("glColor4f");
        names.emplace_back("glVertex3f");
    }
    names.insert(names.end(), {"glEnd", "glPopMatrix", "glutSwapBuffers"});
    return names;
}

std::vector<std::string> append(std::vector<std::string> front, const std::vector<std::string>& back)
{
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

class Handlers : public testing::Test {
protected:
    void SetUp() override { recorder::clear(); }
    const recorder::Callbacks& registered = recorder::callbacks();
};

}  // namespace

extern "C" void glutInit(int* pargc, char** argv)
{
    recorder::calls().push_back(Call{"glutInit", {double(*pargc)}, {}});
    g_argc = pargc;
    g_argv = argv;
    char name[] = "/tmp/velmora-trace-XXXXXX";
    const int fd = mkstemp(name);
    g_tracePath = name;
    g_console = dup(1);
    dup2(fd, 1);
    close(fd);
}

extern "C" void glutMainLoop()
{
    recorder::calls().push_back(Call{"glutMainLoop", {}, {}});
    g_startUp = recorder::calls();
    struct stat st {};
    fstat(1, &st);
    g_arrivedAtMainLoop = static_cast<long>(st.st_size);
    std::fflush(stdout);
    dup2(g_console, 1);
    close(g_console);

    testing::InitGoogleMock(g_argc, g_argv);
    const int failed = RUN_ALL_TESTS();
    unlink(g_tracePath.c_str());
    std::exit(failed);
}

TEST(StartUp, InitialisesCreatesRegistersArmsThenLoops)
{
    EXPECT_THAT(recorder::names(g_startUp),
                ElementsAre("glutInit", "glutInitDisplayMode", "glutInitWindowSize", "glutCreateWindow", "glClearColor",
                            "glMatrixMode", "glLoadIdentity", "glutDisplayFunc", "glutReshapeFunc", "glutMouseFunc",
                            "glutKeyboardFunc", "glutSpecialFunc", "glutPassiveMotionFunc", "glutMotionFunc",
                            "glutTimerFunc", "glutMainLoop"));
    ASSERT_EQ(g_startUp.size(), 16U);
    EXPECT_EQ(g_startUp[14].str(), "glutTimerFunc(5, 0)");
    EXPECT_GE(g_startUp[0].args[0], 1.0) << "glutInit must see the real argument count";
}

TEST(StartUp, TraceIsHandedOverBeforeTheWindowAndHeldBackInPart)
{
    const recorder::TraceAtWindow seen = recorder::traceAtWindow();
    EXPECT_EQ(seen.handed, 10890) << "characters handed to stdout when the window was created";
    EXPECT_EQ(seen.arrived, 10752) << "characters that had reached the reader when the window was created";
    EXPECT_EQ(g_arrivedAtMainLoop, 10752) << "characters that had reached the reader when the loop began";

    std::ifstream in(g_tracePath, std::ios::binary);
    const std::string trace{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(trace_text::sameText(trace, trace_text::expectedTrace()));
}

TEST_F(Handlers, DisplayDrawsOneFrame)
{
    ASSERT_NE(registered.display, nullptr);
    registered.display();
    EXPECT_EQ(recorder::names(recorder::calls()), frameNames());
}

TEST_F(Handlers, ReshapeSetsProjectionForTheNewSizeAndDraws)
{
    ASSERT_NE(registered.reshape, nullptr);
    registered.reshape(1200, 600);
    const std::vector<Call>& calls = recorder::calls();
    EXPECT_EQ(recorder::names(calls),
              append({"glMatrixMode", "glLoadIdentity", "glViewport", "glOrtho"}, frameNames()));
    ASSERT_GE(calls.size(), 4U);
    EXPECT_EQ(calls[2].str(), "glViewport(0, 0, 1200, 600)");
    EXPECT_EQ(calls[3].str(), "glOrtho(-2, 2, -1, 1, -2, 2)");
}

TEST_F(Handlers, TimerDrawsFirstThenRearmsItselfWithItsValue)
{
    for (int value : {0, 7, -3}) {
        recorder::clear();
        void (*const timer)(int) = registered.timer;
        ASSERT_NE(timer, nullptr);
        timer(value);
        const std::vector<Call>& calls = recorder::calls();
        EXPECT_EQ(recorder::names(calls), append(frameNames(), {"glutTimerFunc"})) << "value " << value;
        EXPECT_EQ(calls.back().str(), Call({"glutTimerFunc", {5, double(value)}, {}}).str());
        EXPECT_EQ(registered.timer, timer) << "the timer must re-arm the same handler";
    }
}

TEST_F(Handlers, MouseButtonsAndMotionDoNothing)
{
    ASSERT_NE(registered.mouse, nullptr);
    ASSERT_NE(registered.passiveMotion, nullptr);
    ASSERT_NE(registered.motion, nullptr);
    for (int button : {GLUT_LEFT_BUTTON, GLUT_MIDDLE_BUTTON, GLUT_RIGHT_BUTTON, 3, 4}) {
        registered.mouse(button, GLUT_DOWN, 10, 20);
        registered.motion(30, 40);
        registered.mouse(button, GLUT_UP, 50, 60);
    }
    registered.passiveMotion(-5, 5000);
    EXPECT_THAT(recorder::strs(recorder::calls()), ElementsAre());
}

TEST_F(Handlers, KeysReachTheDemo)
{
    ASSERT_NE(registered.keyboard, nullptr);
    ASSERT_NE(registered.special, nullptr);
    registered.keyboard('a', 0, 0);
    registered.special(GLUT_KEY_F1, 0, 0);
    EXPECT_THAT(recorder::strs(recorder::calls()), ElementsAre());

    registered.special(GLUT_KEY_F11, 0, 0);
    EXPECT_EQ(recorder::calls().back().str(), "glutFullScreen()");
    recorder::clear();
    registered.special(GLUT_KEY_F11, 0, 0);
    EXPECT_THAT(recorder::names(recorder::calls()), ElementsAre("glutReshapeWindow", "glutPositionWindow"));

    EXPECT_EXIT(registered.keyboard(27, 0, 0), testing::ExitedWithCode(0), "");
}
