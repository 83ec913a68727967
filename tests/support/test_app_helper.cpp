// A stand-in application for tests that need real processes. It runs until a signal ends it.
// With --ignore-term it ignores SIGTERM, like an application that will not quit when asked.
// It prints "ready" once its signal settings are in place.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--ignore-term") == 0) {
        ::signal(SIGTERM, SIG_IGN);
    }
    std::puts("ready");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
