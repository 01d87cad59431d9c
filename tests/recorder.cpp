#include "recorder.h"

#include <sys/stat.h>

#include <cstdio>
#include <initializer_list>

namespace recorder {
namespace {

bool g_recording = true;
std::map<GLenum, int> g_answers;

void record(const char* name, std::initializer_list<double> args)
{
    if (g_recording) {
        calls().push_back(Call{name, std::vector<double>(args), {}});
    }
}

}  // namespace

std::vector<Call>& calls()
{
    static std::vector<Call> all;
    return all;
}

Callbacks& callbacks()
{
    static Callbacks registered;
    return registered;
}

TraceAtWindow& traceAtWindow()
{
    static TraceAtWindow seen;
    return seen;
}

void clear() { calls().clear(); }
void setRecording(bool on) { g_recording = on; }
void answer(GLenum query, int value) { g_answers[query] = value; }

std::string Call::str() const
{
    std::string out = name + "(";
    if (!text.empty()) {
        out += "\"" + text + "\"";
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%.9g", args[i]);
        out += (i == 0 ? "" : ", ") + std::string(number);
    }
    return out + ")";
}

std::vector<std::string> names(const std::vector<Call>& list)
{
    std::vector<std::string> out;
    for (const Call& call : list) {
        out.push_back(call.name);
    }
    return out;
}

std::vector<std::string> strs(const std::vector<Call>& list)
{
    std::vector<std::string> out;
    for (const Call& call : list) {
        out.push_back(call.str());
    }
    return out;
}

}  // namespace recorder

using recorder::record;

extern "C" {

// ---- GL ------------------------------------------------------------------

void glClear(GLbitfield mask) { record("glClear", {static_cast<double>(mask)}); }
void glClearColor(GLclampf r, GLclampf g, GLclampf b, GLclampf a) { record("glClearColor", {r, g, b, a}); }
void glMatrixMode(GLenum mode) { record("glMatrixMode", {static_cast<double>(mode)}); }
void glLoadIdentity() { record("glLoadIdentity", {}); }
void glViewport(GLint x, GLint y, GLsizei w, GLsizei h)
{
    record("glViewport", {double(x), double(y), double(w), double(h)});
}
void glOrtho(GLdouble l, GLdouble r, GLdouble b, GLdouble t, GLdouble n, GLdouble f)
{
    record("glOrtho", {l, r, b, t, n, f});
}
void glPushMatrix() { record("glPushMatrix", {}); }
void glPopMatrix() { record("glPopMatrix", {}); }
void glRotatef(GLfloat angle, GLfloat x, GLfloat y, GLfloat z) { record("glRotatef", {angle, x, y, z}); }
void glBegin(GLenum mode) { record("glBegin", {static_cast<double>(mode)}); }
void glEnd() { record("glEnd", {}); }
void glColor4f(GLfloat r, GLfloat g, GLfloat b, GLfloat a) { record("glColor4f", {r, g, b, a}); }
void glVertex3f(GLfloat x, GLfloat y, GLfloat z) { record("glVertex3f", {x, y, z}); }

// ---- GLUT ------------------------------------------------------------------

void glutInitDisplayMode(unsigned int mode) { record("glutInitDisplayMode", {double(mode)}); }
void glutInitWindowSize(int w, int h) { record("glutInitWindowSize", {double(w), double(h)}); }

int glutCreateWindow(const char* title)
{
    recorder::TraceAtWindow& seen = recorder::traceAtWindow();
    seen.handed = std::ftell(stdout);
    struct stat st {};
    seen.arrived = fstat(1, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long>(st.st_size) : -1;
    if (recorder::g_recording) {
        recorder::calls().push_back(recorder::Call{"glutCreateWindow", {}, title});
    }
    return 1;
}

void glutSwapBuffers() { record("glutSwapBuffers", {}); }

int glutGet(GLenum query)
{
    record("glutGet", {static_cast<double>(query)});
    const auto found = recorder::g_answers.find(query);
    return found == recorder::g_answers.end() ? 0 : found->second;
}

void glutFullScreen() { record("glutFullScreen", {}); }
void glutReshapeWindow(int w, int h) { record("glutReshapeWindow", {double(w), double(h)}); }
void glutPositionWindow(int x, int y) { record("glutPositionWindow", {double(x), double(y)}); }

void glutDisplayFunc(void (*f)())
{
    recorder::callbacks().display = f;
    record("glutDisplayFunc", {});
}
void glutReshapeFunc(void (*f)(int, int))
{
    recorder::callbacks().reshape = f;
    record("glutReshapeFunc", {});
}
void glutMouseFunc(void (*f)(int, int, int, int))
{
    recorder::callbacks().mouse = f;
    record("glutMouseFunc", {});
}
void glutKeyboardFunc(void (*f)(unsigned char, int, int))
{
    recorder::callbacks().keyboard = f;
    record("glutKeyboardFunc", {});
}
void glutSpecialFunc(void (*f)(int, int, int))
{
    recorder::callbacks().special = f;
    record("glutSpecialFunc", {});
}
void glutPassiveMotionFunc(void (*f)(int, int))
{
    recorder::callbacks().passiveMotion = f;
    record("glutPassiveMotionFunc", {});
}
void glutMotionFunc(void (*f)(int, int))
{
    recorder::callbacks().motion = f;
    record("glutMotionFunc", {});
}
void glutTimerFunc(unsigned int ms, void (*f)(int), int value)
{
    recorder::callbacks().timer = f;
    record("glutTimerFunc", {double(ms), double(value)});
}

}  // extern "C"
