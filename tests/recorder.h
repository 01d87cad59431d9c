// A recording stand-in for the GL and GLUT entry points the program calls.
// Test binaries link it instead of the real libraries; every call is kept in
// order with its arguments, so tests assert on what the code asked for.
//
// Only the functions the program is meant to use are defined: a call to
// anything else (glutIdleFunc, glutPostRedisplay, ...) fails to link.
#pragma once

#include <GL/freeglut.h>

#include <map>
#include <string>
#include <vector>

namespace recorder {

struct Call {
    std::string name;
    std::vector<double> args;  // floats, ints and enums all fit exactly
    std::string text;          // the title of glutCreateWindow

    std::string str() const;  // "glOrtho(-2, 2, -1, 1, -2, 2)"
};

struct Callbacks {
    void (*display)() = nullptr;
    void (*reshape)(int, int) = nullptr;
    void (*mouse)(int, int, int, int) = nullptr;
    void (*keyboard)(unsigned char, int, int) = nullptr;
    void (*special)(int, int, int) = nullptr;
    void (*passiveMotion)(int, int) = nullptr;
    void (*motion)(int, int) = nullptr;
    void (*timer)(int) = nullptr;
};

// What the trace had reached when the window was created: characters handed
// to stdout, and characters that had arrived at descriptor 1 (-1 if unknown).
struct TraceAtWindow {
    long handed = -1;
    long arrived = -1;
};

std::vector<Call>& calls();
Callbacks& callbacks();
TraceAtWindow& traceAtWindow();

void clear();                          // forget the calls, keep the callbacks
void setRecording(bool on);            // off: calls are answered but not kept
void answer(GLenum query, int value);  // what glutGet returns for query

std::vector<std::string> names(const std::vector<Call>& calls);
std::vector<std::string> strs(const std::vector<Call>& calls);

}  // namespace recorder
