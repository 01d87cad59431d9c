// Runs a GL program for a while with the frame counter preloaded and prints
// what it cost: frames a second, draw time, processor time a frame, peak
// resident memory and the time from start to the first presented frame.
//
// usage: frames SECONDS COUNTER_LIBRARY PROGRAM [ARGS...]
#include "frame_counter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// User plus system time of all the process's threads, in seconds.
double processorSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
        fields >> skip;
    }
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakResidentKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: frames SECONDS COUNTER_LIBRARY PROGRAM [ARGS...]\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    char path[] = "/tmp/velmora-frames-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || ftruncate(fd, sizeof(FrameCounters)) != 0) {
        std::perror("frames: counter file");
        return 1;
    }
    auto* counters =
        static_cast<FrameCounters*>(mmap(nullptr, sizeof(FrameCounters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);

    const std::int64_t started = nowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("LD_PRELOAD", argv[2], 1);
        setenv("FRAME_COUNTER_FILE", path, 1);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        execv(argv[3], argv + 3);
        std::perror("frames: exec");
        _exit(127);
    }
    const auto frames = [counters] { return __atomic_load_n(&counters->frames, __ATOMIC_ACQUIRE); };
    while (frames() == 0 && nowNs() - started < 30000000000LL) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (frames() == 0) {
        std::fprintf(stderr, "frames: %s presented no frame in 30 s\n", argv[3]);
        kill(pid, SIGKILL);
        return 1;
    }
    const double firstFrameMs = static_cast<double>(counters->firstSwapNs - started) / 1e6;

    // One second to settle, then the measured stretch.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::int64_t t0 = nowNs();
    const std::uint64_t f0 = frames();
    const std::int64_t draw0 = counters->drawNsTotal;
    const std::uint64_t timed0 = counters->drawsTimed;
    const double cpu0 = processorSeconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::int64_t t1 = nowNs();
    const std::uint64_t f1 = frames();
    const std::int64_t draw1 = counters->drawNsTotal;
    const std::uint64_t timed1 = counters->drawsTimed;
    const double cpu1 = processorSeconds(pid);
    const long peak = peakResidentKiB(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    unlink(path);

    const double counted = static_cast<double>(f1 - f0);
    const double fps = counted / (static_cast<double>(t1 - t0) / 1e9);
    const double drawMs = static_cast<double>(draw1 - draw0) / static_cast<double>(timed1 - timed0) / 1e6;
    std::printf("fps=%.2f draw_ms=%.4f cpu_ms_per_frame=%.4f peak_rss_kib=%ld first_frame_ms=%.1f\n", fps, drawMs,
                (cpu1 - cpu0) * 1000.0 / counted, peak, firstFrameMs);
    return 0;
}
