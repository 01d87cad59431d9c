// velmora: the Demo object, its cloud, its frames and its keys.
//
// Keys: Escape quits, F11 toggles full screen.
//
// Results of GL and GLUT calls are deliberately not checked: there is
// nothing useful the program could do about a failed draw call, and the
// toolkit reports its own fatal errors.
#include "demo.h"

#include <GL/freeglut.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <new>

namespace velmora {

Demo* g_demo = nullptr;

namespace {

// Taken during static initialisation, so before main runs: the rotation
// counts from the start of the process, not from the first frame.
const std::chrono::steady_clock::time_point g_startTime = std::chrono::steady_clock::now();

std::uint32_t g_randState = 1;

// Full buffering with a buffer of this size fixes where the trace is cut
// while the window is open; the rest is written out at the normal exit.
constexpr std::size_t kTraceBufferSize = 512;
std::array<char, kTraceBufferSize> g_traceBuffer;

}  // namespace

// ---- generation -----------------------------------------------------------

void srand(std::uint32_t seed) { g_randState = seed; }

int rand()
{
    constexpr std::uint32_t kMultiplier = 214013U;
    constexpr std::uint32_t kIncrement = 2531011U;
    g_randState = g_randState * kMultiplier + kIncrement;
    return static_cast<int>((g_randState >> 16U) & 0x7FFFU);
}

float randUnit()
{
    // 1/32767 rounded to single precision: the largest draw maps to 1.0.
    constexpr float kScale = 1.0F / 32767.0F;
    return static_cast<float>(static_cast<double>(rand()) * static_cast<double>(kScale));
}

Vertex randomVertex()
{
    Vertex v{};
    v.x = randUnit();
    v.y = randUnit();
    v.z = randUnit();
    v.r = randUnit();
    v.g = randUnit();
    v.b = randUnit();
    // Doubled in double precision, then stored as float.
    v.x = static_cast<float>((static_cast<double>(v.x) + v.x) - 1.0);
    v.y = static_cast<float>((static_cast<double>(v.y) + v.y) - 1.0);
    v.z = static_cast<float>((static_cast<double>(v.z) + v.z) - 1.0);
    return v;
}

void createDemo()
{
    srand(static_cast<std::uint32_t>(std::time(nullptr)));
    g_demo = new (std::nothrow) Demo;
    if (g_demo == nullptr) {
        std::fputs("velmora: not enough memory to start\n", stderr);
        std::exit(EXIT_FAILURE);
    }
    g_demo->init();
}

void Demo::init()
{
    constexpr int kWindowSize = 600;

    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);

    std::setvbuf(stdout, g_traceBuffer.data(), _IOFBF, g_traceBuffer.size());
    int index = 0;
    for (Vertex& v : vertices) {
        // A failed write is dropped: the trace is for watching, not for keeping.
        std::printf("generating vertex %d\n", index++);
        v = randomVertex();
    }

    glutInitWindowSize(kWindowSize, kWindowSize);
    glutCreateWindow("Velmora for Oruna (pelkadi 2001)");
    glClearColor(1.0F, 1.0F, 1.0F, 0.0F);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

// ---- drawing --------------------------------------------------------------

std::int64_t elapsedMs()
{
    const auto since = std::chrono::steady_clock::now() - g_startTime;
    return std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
}

float rotationAngle(std::int64_t elapsedMs)
{
    // One turn takes exactly 14 400 ms. Reducing the count first keeps the
    // angle exact however long the program runs; narrowing a large angle to
    // float would make the spin stutter after hours.
    constexpr std::int64_t kTurnMs = 14400;
    constexpr double kDegreesPerMs = 0.025;
    std::int64_t inTurn = elapsedMs % kTurnMs;
    if (inTurn < 0) {
        inTurn += kTurnMs;
    }
    return static_cast<float>(static_cast<double>(inTurn) * kDegreesPerMs);
}

void Demo::draw()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    glRotatef(rotationAngle(elapsedMs()), 1.0F, 1.0F, 1.0F);
    glBegin(GL_LINE_STRIP);
    for (const Vertex& v : vertices) {
        glColor4f(v.r, v.g, v.b, 1.0F);
        glVertex3f(v.x, v.y, v.z);
    }
    glEnd();
    glPopMatrix();
    glutSwapBuffers();
}

void Demo::tick() { draw(); }

// ---- projection -----------------------------------------------------------

OrthoBounds projectionBounds(int width, int height)
{
    // An empty drawing area shows nothing; any finite volume will do.
    if (width <= 0 || height <= 0) {
        return {-1.0, 1.0, -1.0, 1.0};
    }
    if (width < height) {
        const double ratio = static_cast<double>(height) / width;
        return {-1.0, 1.0, -ratio, ratio};
    }
    const double ratio = static_cast<double>(width) / height;
    return {-ratio, ratio, -1.0, 1.0};
}

void Demo::reshape(int width, int height)
{
    // Every rotated vertex lies within sqrt(3) of the origin, inside this depth.
    constexpr double kDepth = 2.0;

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glViewport(0, 0, width, height);
    const OrthoBounds bounds = projectionBounds(width, height);
    glOrtho(bounds.left, bounds.right, bounds.bottom, bounds.top, -kDepth, kDepth);
    draw();
}

// ---- keys -----------------------------------------------------------------

void Demo::keyboard(unsigned char key, int /*x*/, int /*y*/)
{
    constexpr unsigned char kEscape = 27;
    if (key == kEscape) {
        std::exit(EXIT_SUCCESS);
    }
}

void Demo::special(int key, int /*x*/, int /*y*/)
{
    if (key == GLUT_KEY_F11) {
        toggleFullScreen();
    }
}

void Demo::toggleFullScreen()
{
    fullScreen = !fullScreen;
    if (fullScreen) {
        // GLUT_WINDOW_X and _Y give the drawing area, but glutPositionWindow
        // places the frame around it; saving the frame's corner is what makes
        // the way back exact under a window manager that decorates windows.
        const int areaX = glutGet(GLUT_WINDOW_X);
        const int border = glutGet(GLUT_WINDOW_BORDER_WIDTH);
        const int areaY = glutGet(GLUT_WINDOW_Y);
        const int header = glutGet(GLUT_WINDOW_HEADER_HEIGHT);
        savedX = areaX - border;
        savedY = areaY - header;
        savedWidth = glutGet(GLUT_WINDOW_WIDTH);
        savedHeight = glutGet(GLUT_WINDOW_HEIGHT);
        glutFullScreen();
    } else {
        glutReshapeWindow(savedWidth, savedHeight);
        glutPositionWindow(savedX, savedY);
    }
}

// ---- process ----------------------------------------------------------------

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void noteStopSignal(int sig) { g_stopSignal = sig; }

}  // namespace

void guardStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open takes the lowest free descriptor, which is this one.
            open("/dev/null", O_RDWR);
        }
    }
}

void watchStopSignals()
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = noteStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(sig, &action, nullptr);
    }
}

void stopIfSignalled()
{
    const int sig = g_stopSignal;
    if (sig == 0) {
        return;
    }
    std::fflush(stdout);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace velmora
