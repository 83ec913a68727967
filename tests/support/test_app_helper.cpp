// A stand-in application for tests that need real processes: it prints "ready" and runs until a
// signal ends it.
#include <unistd.h>

#include <cstdio>

int main() {
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
