// One frame of velmora in a real GL context (Mesa on the X server named by
// DISPLAY), and the generation of its cloud.
#include "demo.h"

#include <GL/freeglut.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

void BM_Draw(benchmark::State& state)
{
    for (auto _ : state) {
        velmora::g_demo->draw();
    }
}
BENCHMARK(BM_Draw)->Unit(benchmark::kMicrosecond);

void BM_GenerateCloud(benchmark::State& state)
{
    for (auto _ : state) {
        for (int i = 0; i < velmora::kVertexCount; ++i) {
            benchmark::DoNotOptimize(velmora::randomVertex());
        }
    }
}
BENCHMARK(BM_GenerateCloud)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    // The trace of the cloud's generation is not part of the measurement.
    std::fflush(stdout);
    const int console = dup(1);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    velmora::createDemo();
    std::fflush(stdout);
    dup2(console, 1);
    close(quiet);
    close(console);

    // Let the window be mapped and sized before the first measured frame.
    glutDisplayFunc([] { velmora::g_demo->draw(); });
    for (int i = 0; i < 50; ++i) {
        glutMainLoopEvent();
    }
    velmora::g_demo->reshape(600, 600);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
