// A tag library for tests only: its functions return the BER blocks and codes a test asks for.
//
//   TAGResult(code, hex)       returns the integer `code`; the result is the bytes given
//                              as hexadecimal text, or no result when `hex` is NULL or "NULL"
//   TAGHandle()                returns 0 with an INTEGER holding the handle it was passed
//   TAGDescribe(types, ...)    writes "argc=N" and each argument through the output callback,
//                              reading argument i as types[i]: 'i' int32_t*, 't' text, '-' null
//   TAGSlow(ms)                sleeps; counts calls that overlapped another call into the library
//   TAGOverlaps()              returns an INTEGER with that count
//   TAGData                    an int32_t, not a function
//   TAGEnds(x)                 returns an INTEGER: how often TAGEndRequest was called
// TAGInitialize fails (-1) while $QM_TESTTAG_INIT_FAIL is set; TAGInitialize and TAGRelease
// append a line to the file $QM_TESTTAG_LOG when it is set.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "qmintpr/tag_library.h"

namespace {

void* g_context = nullptr;
QmOutputCallback g_output = nullptr;
int g_initCount = 0;
std::string g_result;
std::atomic<int> g_inFlight{0};
std::atomic<int> g_overlaps{0};
std::atomic<int> g_ends{0};

void Log(const std::string& line) {
    const char* path = std::getenv("QM_TESTTAG_LOG");
    if (!path || !*path) return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

void Write(const std::string& s) {
    if (g_output) g_output(g_context, QM_OUTPUT_HTML, static_cast<int32_t>(s.size()), s.data());
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void SetResult(void** argv, const std::string& bytes) {
    g_result = bytes;
    *static_cast<const unsigned char**>(argv[1]) = reinterpret_cast<const unsigned char*>(g_result.data());
}

std::string BerInteger(int32_t v) {
    std::string s = {0x02, 0x04};
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>((static_cast<uint32_t>(v) >> shift) & 0xFF));
    return s;
}

}  // namespace

extern "C" {

int32_t TAGInitialize(void* context, void* /*value*/, QmOutputCallback output, int32_t reserved) {
    const char* fail = std::getenv("QM_TESTTAG_INIT_FAIL");
    if (fail && *fail) {
        Log("init failed");
        return -1;
    }
    g_context = context;
    g_output = output;
    const int32_t handle = 40 + g_initCount++;
    Log("init " + std::to_string(handle) + " reserved " + std::to_string(reserved));
    return handle;
}

int32_t TAGRelease(int32_t handle) {
    Log("release " + std::to_string(handle));
    return 0;
}

int32_t TAGEndRequest(int32_t /*handle*/) {
    ++g_ends;
    return 0;
}

int32_t TAGEnds(int32_t argc, void** argv) {
    if (argc < 2) return -2;
    SetResult(argv, BerInteger(g_ends.load()));
    return 0;
}

int32_t TAGResult(int32_t argc, void** argv) {
    if (argc < 4) return -2;
    const int32_t code = argv[2] ? *static_cast<int32_t*>(argv[2]) : 0;
    const char* hex = static_cast<const char*>(argv[3]);
    if (!hex || std::strcmp(hex, "NULL") == 0) return code;
    std::string bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        const int hi = Hex(hex[i]), lo = Hex(hex[i + 1]);
        if (hi < 0 || lo < 0) return -2;
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    SetResult(argv, bytes);
    return code;
}

int32_t TAGHandle(int32_t argc, void** argv) {
    if (argc < 2) return -2;
    SetResult(argv, BerInteger(*static_cast<int32_t*>(argv[0])));
    return 0;
}

int32_t TAGDescribe(int32_t argc, void** argv) {
    std::string s = "argc=" + std::to_string(argc);
    const char* types = argc > 2 && argv[2] ? static_cast<const char*>(argv[2]) : "";
    for (int i = 3; i < argc; ++i) {
        const char t = static_cast<size_t>(i - 3) < std::strlen(types) ? types[i - 3] : '?';
        s += " ";
        if (!argv[i]) s += "null";
        else if (t == 'i') s += "i:" + std::to_string(*static_cast<int32_t*>(argv[i]));
        else s += std::string("t:") + static_cast<const char*>(argv[i]);
    }
    for (int i = argc; i < QM_TAG_MAX_ARGV; ++i) {
        if (argv[i]) s += " unused-not-null";
    }
    Write(s);
    return 0;
}

int32_t TAGSlow(int32_t argc, void** argv) {
    if (g_inFlight.fetch_add(1) != 0) g_overlaps.fetch_add(1);
    const int ms = argc > 2 && argv[2] ? *static_cast<int32_t*>(argv[2]) : 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    g_inFlight.fetch_sub(1);
    return 0;
}

// A data symbol with a tag function's name: never to be called.
int32_t TAGData = 0;

int32_t TAGOverlaps(int32_t /*argc*/, void** argv) {
    SetResult(argv, BerInteger(g_overlaps.load()));
    return 0;
}

}  // extern "C"
