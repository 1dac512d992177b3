// The trace writer. The threshold test is the whole cost of a call that writes nothing, so it
// is an inline relaxed load; everything else (configuration, formatting, file handling) is
// behind it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "QBUtil.h"
#include "qm/platform/paths.h"
#include "qm/platform/registry.h"

namespace {

constexpr unsigned kUnconfigured = 0xDEADBEEFu;  // no real mask uses this pattern
constexpr off_t kRotateSize = 16 * 1024 * 1024;  // keep one previous file beside the current

std::atomic<unsigned> g_mask{kUnconfigured};
std::mutex g_fileLock;
int g_fd = -1;
std::string g_path;

unsigned ParseMask(const char* text, bool* ok) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 0);
    *ok = end != text && *end == '\0' && errno == 0;
    return static_cast<unsigned>(v);
}

unsigned ConfiguredMask() {
    if (const char* env = std::getenv("QM_TRACE"); env && *env) {
        bool ok = false;
        unsigned v = ParseMask(env, &ok);
        if (ok) return v;
    }
    qm::platform::RegValue value;
    if (qm::platform::RegGetValue(qm::platform::RegRoot::LocalMachine,
                                  "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Trace", "Level",
                                  &value) == 0) {
        if (value.type == qm::platform::kRegDword) return value.number;
        bool ok = false;
        unsigned v = ParseMask(value.text.c_str(), &ok);
        if (ok) return v;
    }
    return QB_TRACE_ERROR;
}

inline unsigned CurrentMask() {
    unsigned m = g_mask.load(std::memory_order_relaxed);
    if (m == kUnconfigured) [[unlikely]] {
        m = ConfiguredMask();
        unsigned expected = kUnconfigured;
        if (!g_mask.compare_exchange_strong(expected, m)) m = expected;
    }
    return m;
}

// Called with g_fileLock held. Opens (or reopens after rotation) the trace file.
int TraceFile() {
    if (g_fd >= 0) return g_fd;
    std::string folder = qm::platform::RootPath("log");
    qm::platform::MakeDirectories(folder);
    g_path = folder + "/qbtrace.log";
    g_fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    return g_fd;
}

// Every process of an installation appends to the same file, each through its own descriptor.
// Only the file still under the name is moved aside: a process whose descriptor shows a large
// file that another process has already moved must just reopen, since moving the name again
// would put the other's fresh file over the previous one and lose it. The check and the move
// happen under a lock on the large file, which every process sees as the same file.
void RotateIfLarge() {
    struct stat st {};
    if (g_fd < 0 || fstat(g_fd, &st) != 0 || st.st_size < kRotateSize) return;
    if (::flock(g_fd, LOCK_EX) == 0) {
        struct stat named {};
        if (::stat(g_path.c_str(), &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino) {
            std::string old = g_path + ".1";
            ::rename(g_path.c_str(), old.c_str());
        }
        ::flock(g_fd, LOCK_UN);
    }
    ::close(g_fd);
    g_fd = -1;
}

std::string Header(unsigned level, const char* module, int line) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d.%03ld %d.%ld %04X %s(%d) ",
                          t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                          t.tm_sec, ts.tv_nsec / 1000000, static_cast<int>(getpid()),
                          static_cast<long>(syscall(SYS_gettid)), level,
                          module ? module : "?", line);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

void WriteRecord(std::string record) {
    if (record.empty() || record.back() != '\n') record.push_back('\n');
    std::lock_guard<std::mutex> lock(g_fileLock);
    int fd = TraceFile();
    if (fd < 0) return;
    // One write per record: O_APPEND keeps records from several processes whole.
    ssize_t w = ::write(fd, record.data(), record.size());
    (void)w;
    RotateIfLarge();
}

}  // namespace

extern "C" {

void QbTrace(unsigned int level, const char* module, int line, const char* format, ...) {
    if ((level & CurrentMask()) == 0) return;
    std::string record = Header(level, module, line);
    if (format) {
        va_list ap;
        va_start(ap, format);
        va_list copy;
        va_copy(copy, ap);
        int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n > 0) {
            size_t at = record.size();
            record.resize(at + static_cast<size_t>(n) + 1);
            std::vsnprintf(record.data() + at, static_cast<size_t>(n) + 1, format, ap);
            record.resize(at + static_cast<size_t>(n));
        }
        va_end(ap);
    }
    WriteRecord(std::move(record));
}

void QbDump(unsigned int level, const char* module, int line, const void* bytes, int count) {
    if ((level & CurrentMask()) == 0) return;
    std::string record = Header(level, module, line);
    if (!bytes || count <= 0) {
        record += "(0 bytes)";
        WriteRecord(std::move(record));
        return;
    }
    static const char kHex[] = "0123456789ABCDEF";
    const auto* p = static_cast<const unsigned char*>(bytes);
    char head[32];
    std::snprintf(head, sizeof head, "(%d bytes)", count);
    record += head;
    for (int off = 0; off < count; off += 16) {
        char addr[16];
        std::snprintf(addr, sizeof addr, "\n  %04X ", off);
        record += addr;
        std::string ascii;
        for (int i = off; i < off + 16; ++i) {
            if (i < count) {
                record += kHex[p[i] >> 4];
                record += kHex[p[i] & 15];
                record += ' ';
                ascii += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
            } else {
                record += "   ";
            }
        }
        record += ascii;
    }
    WriteRecord(std::move(record));
}

void QbSetTraceLevel(unsigned int mask) { g_mask.store(mask, std::memory_order_relaxed); }

unsigned int QbGetTraceLevel(void) { return CurrentMask(); }

}  // extern "C"
