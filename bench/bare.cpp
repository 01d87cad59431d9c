// The baseline for the benchmark: a GLUT program that opens the same window
// and only clears and swaps on the same re-armed 5 ms timer, so velmora's own
// cost shows as the difference.
#include <GL/freeglut.h>

namespace {

constexpr unsigned int kFrameIntervalMs = 5;

void frame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glutSwapBuffers();
}

void onReshape(int width, int height)
{
    glViewport(0, 0, width, height);
    frame();
}

void onTimer(int value)
{
    frame();
    glutTimerFunc(kFrameIntervalMs, onTimer, value);
}

}  // namespace

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(600, 600);
    glutCreateWindow("bare");
    glClearColor(1.0F, 1.0F, 1.0F, 0.0F);
    glutDisplayFunc(frame);
    glutReshapeFunc(onReshape);
    glutTimerFunc(kFrameIntervalMs, onTimer, 0);
    glutMainLoop();
    return 0;
}
