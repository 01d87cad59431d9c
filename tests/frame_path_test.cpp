// Frames must neither allocate nor write output: drawing runs every few
// milliseconds for as long as the program is open. Every allocation in this
// binary is counted, through operator new and, by the linker's --wrap, the C
// allocator calls made from the program's own code.
#include "demo.h"
#include "recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

long g_allocations = 0;

}  // namespace

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* pointer, std::size_t size);

void* __wrap_malloc(std::size_t size)
{
    ++g_allocations;
    return __real_malloc(size);
}
void* __wrap_calloc(std::size_t count, std::size_t size)
{
    ++g_allocations;
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* pointer, std::size_t size)
{
    ++g_allocations;
    return __real_realloc(pointer, size);
}
}

void* operator new(std::size_t size)
{
    ++g_allocations;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t /*size*/) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t /*size*/) noexcept { std::free(p); }

TEST(FramePath, ManyFramesAllocateNothingAndWriteNothing)
{
    char name[] = "/tmp/velmora-frames-XXXXXX";
    const int file = mkstemp(name);
    std::fflush(stdout);
    const int console = dup(1);
    dup2(file, 1);
    close(file);

    velmora::Demo demo;
    demo.init();
    std::fflush(stdout);
    recorder::setRecording(false);
    const long handed = std::ftell(stdout);
    struct stat before {};
    fstat(1, &before);

    const long allocationsBefore = g_allocations;
    for (int frame = 0; frame < 2000; ++frame) {
        demo.draw();
        demo.tick();
        if (frame % 100 == 0) {
            demo.reshape(1 + frame, 2000 - frame);
            demo.special(GLUT_KEY_F11, 0, 0);
            demo.keyboard('a', 0, 0);
        }
    }
    const long allocations = g_allocations - allocationsBefore;
    const long handedAfter = std::ftell(stdout);
    struct stat after {};
    fstat(1, &after);

    recorder::setRecording(true);
    std::fflush(stdout);
    dup2(console, 1);
    close(console);
    unlink(name);

    EXPECT_EQ(allocations, 0) << "heap allocations during 2000 frames";
    EXPECT_EQ(handedAfter, handed) << "characters handed to stdout during the frames";
    EXPECT_EQ(after.st_size, before.st_size) << "characters written to stdout during the frames";
}
