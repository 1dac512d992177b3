// Named kernel objects shared between processes of one installation root: mutex, auto-reset
// event, mailslot and the small shared memory block. Results are Windows error numbers
// (0 success, 2 not found, 183 already exists, 258 time-out, ...).
//
// Objects live under <root>/run/ (mailslots in the abstract socket namespace keyed by the root),
// so two roots never see each other's objects. An object exists while at least one process has
// a handle to it; the kernel drops a dead process's hold, so a crash never leaves an object
// that blocks the next start.
//
// A handle object is used by one thread at a time; different handles (also in one process) may
// be used from different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "qm/platform/errors.h"

namespace qm::platform {

struct SharedObject;  // per-process record of one named object

// A recursive mutex owned by a thread, as Win32 mutexes are. When the owning process dies the
// mutex is released and the next waiter gets it.
class NamedMutex {
public:
    NamedMutex();
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Create-or-open, not initially owned: 0 when created, 183 when an existing one was opened.
    int Create(std::string_view name);
    // Opens an existing mutex: 0, or 2 when nobody holds one of that name (existence test).
    int Open(std::string_view name);
    // 0 when owned, 258 on time-out.
    int Wait(uint32_t timeoutMs = kInfinite);
    // 0, or 288 when the calling thread does not own it.
    int Release();
    int Close();
    bool IsOpen() const { return obj_ != nullptr; }

private:
    std::shared_ptr<SharedObject> obj_;
};

// An auto-reset event. Set wakes exactly one waiter; with nobody waiting it stays signalled
// until one wait consumes it. A signal is never consumed by the handle that set it: both ends
// of a control channel wait on the same event, and the sender must not swallow the hand-off it
// just gave to the other side.
class NamedEvent {
public:
    NamedEvent();
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Create-or-open: 0 when created (with the given initial state), 183 when it existed (the
    // existing state is kept).
    int Create(std::string_view name, bool initiallySignalled);
    // 0, or 2 when no event of that name exists.
    int Open(std::string_view name);
    int Set();
    int Reset();
    // 0 when signalled, 258 on time-out.
    int Wait(uint32_t timeoutMs = kInfinite);
    int Close();
    bool IsOpen() const { return obj_ != nullptr; }

private:
    void TakeToken();

    std::shared_ptr<SharedObject> obj_;
    uint32_t token_ = 0;  // identifies this handle as a setter
};

// The size of the named shared block the services exchange control commands through.
inline constexpr size_t kSharedBlockSize = 10;
// The largest block: the trap-registration helper's block carries a command and a printer
// address, which do not fit into the 10 bytes of a control block.
inline constexpr size_t kSharedBlockMaxSize = 64;

// A named block of shared memory (kSharedBlockSize bytes unless its creator asked for more, up
// to kSharedBlockMaxSize), zero-filled when first created. Openers see the creator's size.
class SharedBlock {
public:
    SharedBlock();
    ~SharedBlock();
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;

    // 0 created, 183 opened existing (its size stays what its creator chose); 87 for a size
    // of 0 or above kSharedBlockMaxSize.
    int Create(std::string_view name, size_t size = kSharedBlockSize);
    int Open(std::string_view name);    // 0, or 2 when it does not exist
    int Close();
    // Bounds-checked copies; 87 when the range falls outside the block.
    int Read(size_t offset, std::span<char> out) const;
    int Write(size_t offset, std::span<const char> in);
    // The mapped bytes (nullptr when closed); Size() bytes long.
    char* Data() const;
    // The block's size as its creator made it; 0 when closed.
    size_t Size() const;

private:
    std::shared_ptr<SharedObject> obj_;
};

// Mailslot names: "\\\\.\\MAILSLOT\\X" and "\\\\<this computer>\\MAILSLOT\\X" name the same
// slot, compared without regard to case. Returns the normalised slot name ("x"), or "" when the
// text is not a mailslot name of this computer.
std::string NormaliseMailslotName(std::string_view name);

inline constexpr uint32_t kMailslotNoMessage = 0xFFFFFFFFu;

// The reading end. Only one reader per slot; messages keep their boundaries.
class MailslotReader {
public:
    MailslotReader() = default;
    ~MailslotReader();
    MailslotReader(const MailslotReader&) = delete;
    MailslotReader& operator=(const MailslotReader&) = delete;

    // 0; 183 when another reader already serves the slot; 123 for a bad name.
    int Create(std::string_view name);
    // Size of the next message, or kMailslotNoMessage when none is waiting.
    uint32_t NextMessageSize() const;
    // Waits up to timeoutMs for one message and copies it into `buffer`; `received` gets its
    // length. 258 on time-out. A message longer than the buffer is discarded and gives 122.
    int Receive(std::span<char> buffer, size_t* received, uint32_t timeoutMs = kInfinite);
    int Close();
    bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A writing end. Opening fails with 2 when no reader serves the slot.
class MailslotWriter {
public:
    MailslotWriter() = default;
    ~MailslotWriter();
    MailslotWriter(const MailslotWriter&) = delete;
    MailslotWriter& operator=(const MailslotWriter&) = delete;

    int Open(std::string_view name);
    // Sends one message; fails (232) when the reader has gone.
    int Write(std::string_view message);
    int Close();

private:
    int fd_ = -1;
};

}  // namespace qm::platform
