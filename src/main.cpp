// velmora: entry point and the toolkit's callbacks.
//
// Keys: Escape quits, F11 toggles full screen. The mouse is ignored.
//
// Every callback forwards to the one Demo; frames are drawn straight from the
// timer, display and reshape callbacks, so no redisplay is ever requested.
#include "demo.h"

#include <GL/freeglut.h>

#include <csignal>

namespace {

using velmora::g_demo;

// Re-armed only after a frame is drawn, so a slow frame delays the next one
// instead of letting timer events pile up.
constexpr float kFrameInterval = 5.0F;
constexpr auto kFrameIntervalMs = static_cast<unsigned int>(kFrameInterval);

void onDisplay() { g_demo->draw(); }

void onReshape(int width, int height) { g_demo->reshape(width, height); }

void onTimer(int value)
{
    velmora::stopIfSignalled();
    g_demo->tick();
    glutTimerFunc(kFrameIntervalMs, onTimer, value);
}

void onIgnore(int /*button*/, int /*state*/, int /*x*/, int /*y*/) {}
void onIgnore(int /*x*/, int /*y*/) {}

void onKeyboard(unsigned char key, int x, int y) { g_demo->keyboard(key, x, y); }

void onSpecial(int key, int x, int y) { g_demo->special(key, x, y); }

}  // namespace

int main(int argc, char** argv)
{
    velmora::guardStandardDescriptors();
    velmora::watchStopSignals();
    // A reader that goes away early (velmora | head) must not end the
    // animation; the failed trace writes are simply dropped.
    std::signal(SIGPIPE, SIG_IGN);

    glutInit(&argc, argv);
    velmora::createDemo();

    glutDisplayFunc(onDisplay);
    glutReshapeFunc(onReshape);
    glutMouseFunc(onIgnore);
    glutKeyboardFunc(onKeyboard);
    glutSpecialFunc(onSpecial);
    glutPassiveMotionFunc(onIgnore);
    glutMotionFunc(onIgnore);

    glutTimerFunc(kFrameIntervalMs, onTimer, 0);
    glutMainLoop();
    return 0;
}
