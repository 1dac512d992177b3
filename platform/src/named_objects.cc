// Named mutexes, events and shared blocks as files under <root>/run/, and mailslots as
// datagram sockets in the abstract namespace.
//
// Lifetime. Every process that holds a handle keeps a shared OFD lock on byte 0 of the object's
// file (one open file description per object per process, shared by all its handles). The
// object "exists" exactly while somebody holds that lock; the kernel drops it when a process
// dies, so a crash never leaves an object behind that blocks the next start. Create and open
// decide under an exclusive flock on run/.objects so two creators cannot both think they made
// the object fresh.
//
// Mutex ownership is an exclusive OFD lock on byte 1 (released by the kernel when the owner
// dies); inside a process a condition variable hands the mutex between threads, and the
// owning thread may take it again recursively.
//
// Events are one 32-bit futex word in the shared mapping: bit 31 = signalled, the low 31 bits
// = the token of the handle that set it. A waiter consumes a signal with one compare-and-swap,
// so exactly one waiter gets each set, and never a signal carrying its own token.
#include "qm/platform/named_objects.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "qm/platform/clock.h"
#include "qm/platform/paths.h"

namespace qm::platform {

namespace {

enum class Kind { Mutex, Event, Block };

const char* KindPrefix(Kind k) {
    switch (k) {
        case Kind::Mutex: return "mutex.";
        case Kind::Event: return "event.";
        case Kind::Block: return "block.";
    }
    return "obj.";
}

// Object names may hold any character; file names may not. Keep the readable ones, escape the
// rest, so an admin can still tell which file is which object.
std::string EscapeName(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

uint64_t Fnv1a(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Layout of the shared mapping behind an object file.
struct SharedState {
    std::atomic<uint32_t> eventWord;   // events: bit 31 signalled, low bits setter token
    std::atomic<uint32_t> nextToken;   // events: handle tokens handed out so far
    uint32_t blockSize;                // shared blocks: bytes in use (0 reads as the default)
    char block[kSharedBlockMaxSize];
};
static_assert(sizeof(SharedState) <= 4096);
constexpr size_t kMapSize = sizeof(SharedState);
constexpr uint32_t kSignalled = 0x80000000u;
constexpr uint32_t kTokenMask = 0x7FFFFFFFu;

bool OfdLock(int fd, short type, off_t start, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
        if (errno == EINTR) continue;
        return false;
    }
}

// Serialises create/open decisions between processes (flock) and threads (std::mutex).
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& runDir) {
        threads_.lock();
        fd_ = ::open((runDir + "/.objects").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~DirectoryLock() {
        if (fd_ >= 0) ::close(fd_);  // closing drops the flock
        threads_.unlock();
    }

private:
    static inline std::mutex threads_;
    int fd_ = -1;
};

}  // namespace

// One per named object per process; shared by every handle the process has to it.
struct SharedObject {
    std::string path;
    Kind kind{};
    int fd = -1;
    SharedState* state = nullptr;

    // Mutex ownership within this process.
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    unsigned recursion = 0;

    ~SharedObject() {
        if (state) munmap(state, kMapSize);
        if (fd >= 0) ::close(fd);  // drops the presence lock and any ownership
    }
};

namespace {

// Process-wide table: path → object, weakly held so the last handle's close ends it.
std::mutex g_tableLock;
std::map<std::string, std::weak_ptr<SharedObject>>& Table() {
    static auto* t = new std::map<std::string, std::weak_ptr<SharedObject>>();
    return *t;
}

std::string ObjectPath(Kind kind, std::string_view name) {
    return RootPath("run") + "/" + KindPrefix(kind) + EscapeName(name);
}

// Opens or creates the object. `create` = create-or-open; else open fails with 2 when the
// object does not exist. `fresh` tells the caller to initialise the contents.
int Acquire(Kind kind, std::string_view name, bool create,
            std::shared_ptr<SharedObject>* out, bool* fresh, uint32_t initialEventWord = 0,
            uint32_t initialBlockSize = 0) {
    *fresh = false;
    if (name.empty()) return kErrInvalidName;
    std::string runDir = RootPath("run");
    if (!MakeDirectories(runDir)) return kErrPathNotFound;
    std::string path = ObjectPath(kind, name);

    DirectoryLock dirLock(runDir);
    {
        std::lock_guard<std::mutex> lock(g_tableLock);
        if (auto it = Table().find(path); it != Table().end()) {
            if (auto obj = it->second.lock()) {
                *out = std::move(obj);
                return create ? kErrAlreadyExists : kOk;
            }
        }
    }
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) return errno == ENOENT ? kErrFileNotFound : WinErrorFromErrno(errno);

    // Nobody else holds byte 0 → the object does not exist (any file is a dead leftover).
    bool alone = OfdLock(fd, F_WRLCK, 0, false);
    if (alone && !create) {
        ::close(fd);
        return kErrFileNotFound;
    }
    auto obj = std::make_shared<SharedObject>();
    obj->path = path;
    obj->kind = kind;
    obj->fd = fd;
    if (alone) {
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, kMapSize) != 0) return WinErrorFromErrno(errno);
        *fresh = true;
    }
    void* p = mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return WinErrorFromErrno(errno);
    obj->state = static_cast<SharedState*>(p);
    // Initialise before anyone else can open it: openers wait on the directory lock.
    if (alone) {
        obj->state->eventWord.store(initialEventWord);
        obj->state->blockSize = initialBlockSize;
    }
    // Downgrade (or take) the presence lock to shared, so later openers see us.
    if (!OfdLock(fd, F_RDLCK, 0, false)) return WinErrorFromErrno(errno);
    {
        std::lock_guard<std::mutex> lock(g_tableLock);
        Table()[path] = obj;
    }
    *out = std::move(obj);
    return *fresh ? kOk : (create ? kErrAlreadyExists : kOk);
}

// Acquire into an object's holder, which stays empty when the call fails (for a create, any
// result but "done" and "already exists").
int AcquireInto(Kind kind, std::string_view name, bool create, std::shared_ptr<SharedObject>& obj,
                uint32_t initialEventWord = 0, uint32_t initialBlockSize = 0) {
    bool fresh = false;
    int rc = Acquire(kind, name, create, &obj, &fresh, initialEventWord, initialBlockSize);
    if (rc != kOk && !(create && rc == kErrAlreadyExists)) obj.reset();
    return rc;
}

void Drop(std::shared_ptr<SharedObject>& obj) {
    if (!obj) return;
    std::string path = obj->path;
    std::lock_guard<std::mutex> lock(g_tableLock);
    obj.reset();
    auto it = Table().find(path);
    if (it != Table().end() && it->second.expired()) Table().erase(it);
}

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(uint32_t timeoutMs) {
    return timeoutMs == kInfinite ? Clock::time_point::max()
                                  : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

long FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* rel) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, rel,
                   nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr,
            0);
}

}  // namespace

// ---- NamedMutex ------------------------------------------------------------------------

NamedMutex::NamedMutex() = default;
NamedMutex::~NamedMutex() { Close(); }

int NamedMutex::Create(std::string_view name) {
    Close();
    return AcquireInto(Kind::Mutex, name, true, obj_);
}

int NamedMutex::Open(std::string_view name) {
    Close();
    return AcquireInto(Kind::Mutex, name, false, obj_);
}

int NamedMutex::Wait(uint32_t timeoutMs) {
    if (!obj_) return kErrInvalidHandle;
    SharedObject& o = *obj_;
    const auto me = std::this_thread::get_id();
    const auto deadline = Deadline(timeoutMs);
    std::unique_lock<std::mutex> lk(o.m);
    if (o.owner == me) {
        ++o.recursion;
        return kOk;
    }
    // First win the mutex among this process's threads, then against other processes.
    while (o.owner != std::thread::id()) {
        if (timeoutMs == kInfinite) {
            o.cv.wait(lk);
        } else if (o.cv.wait_until(lk, deadline) == std::cv_status::timeout &&
                   o.owner != std::thread::id()) {
            return kWaitTimeout;
        }
    }
    o.owner = me;
    lk.unlock();

    bool got = false;
    if (timeoutMs == kInfinite) {
        got = OfdLock(o.fd, F_WRLCK, 1, true);
    } else {
        // OFD locks have no timed wait: poll with a short, growing pause.
        auto pause = std::chrono::microseconds(200);
        for (;;) {
            if (OfdLock(o.fd, F_WRLCK, 1, false)) {
                got = true;
                break;
            }
            if (Clock::now() >= deadline) break;
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(5000));
        }
    }
    lk.lock();
    if (!got) {
        o.owner = std::thread::id();
        o.cv.notify_one();
        return timeoutMs == kInfinite ? WinErrorFromErrno(errno) : kWaitTimeout;
    }
    o.recursion = 1;
    return kOk;
}

int NamedMutex::Release() {
    if (!obj_) return kErrInvalidHandle;
    SharedObject& o = *obj_;
    std::lock_guard<std::mutex> lk(o.m);
    if (o.owner != std::this_thread::get_id()) return kErrNotOwner;
    if (--o.recursion > 0) return kOk;
    OfdLock(o.fd, F_UNLCK, 1, false);
    o.owner = std::thread::id();
    o.cv.notify_one();
    return kOk;
}

int NamedMutex::Close() {
    if (!obj_) return kErrInvalidHandle;
    {
        // A thread that closes the handle it owns through gives the mutex up with it.
        std::lock_guard<std::mutex> lk(obj_->m);
        if (obj_->owner == std::this_thread::get_id() && obj_.use_count() == 1) {
            OfdLock(obj_->fd, F_UNLCK, 1, false);
            obj_->owner = std::thread::id();
            obj_->recursion = 0;
        }
    }
    Drop(obj_);
    return kOk;
}

// ---- NamedEvent ------------------------------------------------------------------------

NamedEvent::NamedEvent() = default;
NamedEvent::~NamedEvent() { Close(); }

int NamedEvent::Create(std::string_view name, bool initiallySignalled) {
    Close();
    int rc = AcquireInto(Kind::Event, name, true, obj_, initiallySignalled ? kSignalled : 0);
    if (obj_) TakeToken();
    return rc;
}

int NamedEvent::Open(std::string_view name) {
    Close();
    int rc = AcquireInto(Kind::Event, name, false, obj_);
    if (obj_) TakeToken();
    return rc;
}

// Every holder of an event gets a token of its own (never 0).
void NamedEvent::TakeToken() {
    token_ = (obj_->state->nextToken.fetch_add(1) + 1) & kTokenMask;
    if (token_ == 0) token_ = 1;
}

int NamedEvent::Set() {
    if (!obj_) return kErrInvalidHandle;
    obj_->state->eventWord.store(kSignalled | token_);
    FutexWakeAll(&obj_->state->eventWord);
    return kOk;
}

int NamedEvent::Reset() {
    if (!obj_) return kErrInvalidHandle;
    obj_->state->eventWord.store(0);
    return kOk;
}

int NamedEvent::Wait(uint32_t timeoutMs) {
    if (!obj_) return kErrInvalidHandle;
    auto* word = &obj_->state->eventWord;
    const auto deadline = Deadline(timeoutMs);
    for (;;) {
        uint32_t s = word->load();
        if ((s & kSignalled) && (s & kTokenMask) != token_) {
            if (word->compare_exchange_strong(s, 0)) return kOk;
            continue;
        }
        timespec rel{};
        const timespec* relp = nullptr;
        if (timeoutMs != kInfinite) {
            auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return kWaitTimeout;
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            rel.tv_sec = ns / 1000000000;
            rel.tv_nsec = ns % 1000000000;
            relp = &rel;
        }
        FutexWait(word, s, relp);  // wakes on any change, a wake-all, a signal or the time-out
    }
}

int NamedEvent::Close() {
    if (!obj_) return kErrInvalidHandle;
    Drop(obj_);
    token_ = 0;
    return kOk;
}

// ---- SharedBlock -----------------------------------------------------------------------

SharedBlock::SharedBlock() = default;
SharedBlock::~SharedBlock() { Close(); }

int SharedBlock::Create(std::string_view name, size_t size) {
    Close();
    if (size == 0 || size > kSharedBlockMaxSize) return kErrInvalidParameter;
    // A fresh file is zero-filled by ftruncate.
    return AcquireInto(Kind::Block, name, true, obj_, 0, static_cast<uint32_t>(size));
}

int SharedBlock::Open(std::string_view name) {
    Close();
    return AcquireInto(Kind::Block, name, false, obj_);
}

int SharedBlock::Close() {
    if (!obj_) return kErrInvalidHandle;
    Drop(obj_);
    return kOk;
}

char* SharedBlock::Data() const { return obj_ ? obj_->state->block : nullptr; }

size_t SharedBlock::Size() const {
    if (!obj_) return 0;
    size_t n = obj_->state->blockSize;
    return n == 0 || n > kSharedBlockMaxSize ? kSharedBlockSize : n;
}

int SharedBlock::Read(size_t offset, std::span<char> out) const {
    if (!obj_) return kErrInvalidHandle;
    const size_t size = Size();
    if (offset > size || out.size() > size - offset) {
        return kErrInvalidParameter;
    }
    std::memcpy(out.data(), obj_->state->block + offset, out.size());
    return kOk;
}

int SharedBlock::Write(size_t offset, std::span<const char> in) {
    if (!obj_) return kErrInvalidHandle;
    const size_t size = Size();
    if (offset > size || in.size() > size - offset) {
        return kErrInvalidParameter;
    }
    std::memcpy(obj_->state->block + offset, in.data(), in.size());
    return kOk;
}

// ---- Mailslots -------------------------------------------------------------------------

std::string NormaliseMailslotName(std::string_view name) {
    auto lower = [](std::string_view s) {
        std::string o(s);
        for (char& c : o) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return o;
    };
    std::string n = lower(name);
    for (char& c : n) {
        if (c == '/') c = '\\';
    }
    if (n.rfind("\\\\", 0) != 0) return {};
    auto hostEnd = n.find('\\', 2);
    if (hostEnd == std::string::npos) return {};
    std::string host = n.substr(2, hostEnd - 2);
    if (host != "." && host != lower(ComputerName())) return {};
    std::string_view rest = std::string_view(n).substr(hostEnd + 1);
    constexpr std::string_view kSlot = "mailslot\\";
    if (rest.substr(0, kSlot.size()) != kSlot) return {};
    rest.remove_prefix(kSlot.size());
    if (rest.empty()) return {};
    return std::string(rest);
}

namespace {

// The abstract socket address of a slot: scoped by the installation root, never a file, so a
// dead reader leaves nothing behind.
bool MailslotAddress(std::string_view name, sockaddr_un* addr, socklen_t* len) {
    std::string slot = NormaliseMailslotName(name);
    if (slot.empty()) return false;
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "quinsward/%016llx/mailslot/",
                  static_cast<unsigned long long>(Fnv1a(InstallRoot())));
    std::string full = prefix;
    if (full.size() + slot.size() + 1 > sizeof(addr->sun_path)) {
        char h[24];
        std::snprintf(h, sizeof h, "%016llx", static_cast<unsigned long long>(Fnv1a(slot)));
        full += h;
    } else {
        full += slot;
    }
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path + 1, full.data(), full.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());
    return true;
}

}  // namespace

MailslotReader::~MailslotReader() { Close(); }

int MailslotReader::Create(std::string_view name) {
    Close();
    sockaddr_un addr;
    socklen_t len;
    if (!MailslotAddress(name, &addr, &len)) return kErrInvalidName;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return WinErrorFromErrno(errno);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        int e = errno;
        ::close(fd);
        return e == EADDRINUSE ? kErrAlreadyExists : WinErrorFromErrno(e);
    }
    fd_ = fd;
    return kOk;
}

uint32_t MailslotReader::NextMessageSize() const {
    if (fd_ < 0) return kMailslotNoMessage;
    char c;
    ssize_t n = recv(fd_, &c, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    return n < 0 ? kMailslotNoMessage : static_cast<uint32_t>(n);
}

int MailslotReader::Receive(std::span<char> buffer, size_t* received, uint32_t timeoutMs) {
    if (received) *received = 0;
    if (fd_ < 0) return kErrInvalidHandle;
    const auto deadline = Deadline(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              Clock::now());
            if (left.count() < 0) return kWaitTimeout;
            wait = static_cast<int>(std::min<int64_t>(left.count(), INT_MAX));
        }
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return WinErrorFromErrno(errno);
        if (r == 0) return kWaitTimeout;
        // MSG_TRUNC makes recv report the real length, so an oversized message is detected
        // (and dropped: it cannot be a message of ours).
        ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) return WinErrorFromErrno(errno);
        if (static_cast<size_t>(n) > buffer.size()) return kErrInsufficientBuffer;
        if (received) *received = static_cast<size_t>(n);
        return kOk;
    }
}

int MailslotReader::Close() {
    if (fd_ < 0) return kErrInvalidHandle;
    ::close(fd_);
    fd_ = -1;
    return kOk;
}

MailslotWriter::~MailslotWriter() { Close(); }

int MailslotWriter::Open(std::string_view name) {
    Close();
    sockaddr_un addr;
    socklen_t len;
    if (NormaliseMailslotName(name).empty()) {
        // A slot on another computer: there is no network mailslot transport here.
        return kErrBadNetPath;
    }
    MailslotAddress(name, &addr, &len);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return WinErrorFromErrno(errno);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return kErrFileNotFound;
    }
    fd_ = fd;
    return kOk;
}

int MailslotWriter::Write(std::string_view message) {
    if (fd_ < 0) return kErrInvalidHandle;
    for (int attempt = 0;; ++attempt) {
        ssize_t n = send(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return kOk;
        if (errno == EINTR) continue;
        // A full queue: give the reader up to a second to drain it before giving up.
        if (errno == EAGAIN && attempt < 1000) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 1);
            continue;
        }
        return errno == EAGAIN ? kWaitTimeout : kErrNoData;
    }
}

int MailslotWriter::Close() {
    if (fd_ < 0) return kErrInvalidHandle;
    ::close(fd_);
    fd_ = -1;
    return kOk;
}

}  // namespace qm::platform
