// A stand-in channel library for the Qmcgi cases the real channel never produces: a write
// that takes fewer bytes than offered, and a close that fails. It logs every call to
// qmrr-calls.txt in the current folder.
#include <cstdio>

namespace {

void Log(const char* format, int a, int b) {
    if (std::FILE* f = std::fopen("qmrr-calls.txt", "a")) {
        std::fprintf(f, format, a, b);
        std::fclose(f);
    }
}

int g_writes = 0;

}  // namespace

extern "C" int ShMemOpen(const char*) {
    Log("open\n", 0, 0);
    return 1;
}

extern "C" int ShMemWrite(int mode, int count, const char*) {
    Log("write %d %d\n", mode, count);
    // The second chunk is taken only in part: the sender must stop there.
    return ++g_writes == 2 && count > 0 ? count - 1 : count;
}

extern "C" int ShMemRead(int* mode, int, char*) {
    *mode = 1;
    Log("read\n", 0, 0);
    return 0;
}

extern "C" int ShMemClose(void) {
    Log("close\n", 0, 0);
    return 0;
}
