// A channel library whose answers a test chooses: it records what it was given and answers a
// fixed sequence of pieces, among them ones the real channel rarely makes (a binary piece with
// NUL bytes, a piece that fills the whole buffer).
#include <cstring>
#include <string>

namespace {

std::string g_log;
int g_piece = 0;

}  // namespace

extern "C" int ShMemOpen(const char* request) {
    g_log += std::string("open ") + request + "\n";
    g_piece = 0;
    return 1;
}

extern "C" int ShMemWrite(int mode, int count, const char* data) {
    g_log += "write " + std::to_string(mode) + " " + std::to_string(count) + " " +
             std::string(data, static_cast<std::size_t>(count)) + "\n";
    return count;
}

extern "C" int ShMemRead(int* mode, int capacity, char* buffer) {
    g_log += "read " + std::to_string(capacity) + "\n";
    switch (g_piece++) {
        case 0:
            *mode = 1;
            std::memcpy(buffer, "<p>text</p>\n", 12);
            return 12;
        case 1:
            *mode = 2;
            std::memcpy(buffer, "GIF\0\x01\x02", 6);
            return 6;
        case 2:
            // Every byte of the buffer is used: no terminator follows.
            *mode = 1;
            std::memset(buffer, 'x', static_cast<std::size_t>(capacity));
            return capacity;
        default:
            *mode = 1;
            return 0;
    }
}

extern "C" int ShMemClose(void) {
    g_log += "close\n";
    return 1;
}

// For the test: what the component passed on so far.
extern "C" const char* FakeChannelLog(void) { return g_log.c_str(); }
