// velmora: a cloud of coloured points drawn as one line strip, spinning
// about the cube's diagonal.
//
// Keys: Escape quits, F11 toggles full screen.
//
// Everything the program knows lives in the one Demo object; the toolkit's
// callbacks in main.cpp only forward to it through g_demo.
#pragma once

#include <array>
#include <cstdint>

namespace velmora {

constexpr int kVertexCount = 500;

struct Vertex {
    float x, y, z;  // position, each in [-1, 1]
    float r, g, b;  // colour, each in [0, 1]
};

class Demo {
public:
    void init();
    void draw();
    void tick();
    void reshape(int width, int height);
    void keyboard(unsigned char key, int x, int y);
    void special(int key, int x, int y);

private:
    void toggleFullScreen();

    bool fullScreen = false;
    // Window geometry taken on entering full screen; read only on leaving it.
    std::int32_t savedX = 0;
    std::int32_t savedY = 0;
    std::int32_t savedWidth = 0;
    std::int32_t savedHeight = 0;
    std::array<Vertex, kVertexCount> vertices;
};

extern Demo* g_demo;

// Seeds the generator from the calendar time, creates the one Demo and
// initialises it, which opens the window. Reports and ends the process if
// the Demo cannot be allocated.
void createDemo();

// The 15-bit linear congruential generator, carried here so that a seed gives
// the same cloud on every platform; the C library's rand differs.
void srand(std::uint32_t seed);
int rand();  // 0 ... 32767

// One draw of the generator scaled to [0, 1].
float randUnit();

// The next point of the cloud: six draws, position first, the position mapped
// from [0, 1] to [-1, 1].
Vertex randomVertex();

// Milliseconds since the process started, on a monotonic real-time clock.
std::int64_t elapsedMs();

// The rotation in degrees for a frame drawn at elapsedMs, kept in [0, 360).
float rotationAngle(std::int64_t elapsedMs);

// The orthographic volume that keeps [-1, 1] x [-1, 1] whole and undistorted
// in a drawing area of width x height pixels.
struct OrthoBounds {
    double left, right, bottom, top;
};
OrthoBounds projectionBounds(int width, int height);

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// the next file opened (the display connection) cannot take its place.
void guardStandardDescriptors();

// Ctrl+C, kill and a closed terminal end the program without losing the end
// of the trace: the handlers only note the signal, and stopIfSignalled, run
// from the frame timer, writes the trace out and ends the process with that
// signal. A signal already ignored at start stays ignored.
void watchStopSignals();
void stopIfSignalled();

}  // namespace velmora
