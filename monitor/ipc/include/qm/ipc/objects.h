// The services' handle wrappers over the platform's named objects: one handle each, every
// operation 0 on success or the Windows error number. Used by one thread at a time; ordering
// between threads and processes comes from the named mutexes of names.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qm/platform/errors.h"
#include "qm/platform/named_objects.h"

namespace qm::ipc {

// An auto-reset event (never manual reset).
class NamedEvent {
public:
    // 0 when the handle is good, whether the event was made or an existing one opened.
    int Create(std::string_view name, bool initiallySignalled);
    int Open(std::string_view name);  // 2 when no such event exists
    int Set() { return ev_.Set(); }
    int Reset() { return ev_.Reset(); }
    // No time-out unless asked: 0 when signalled, 258 when a finite wait ran out.
    int Wait(uint32_t timeoutMs = qm::platform::kInfinite) { return ev_.Wait(timeoutMs); }
    int Close() { return ev_.Close(); }

private:
    qm::platform::NamedEvent ev_;
};

// A mutex owned by a thread, released when its process dies.
class NamedMutex {
public:
    // 0 created, 183 an existing one opened: callers that only need the object accept both.
    int Create(std::string_view name) { return m_.Create(name); }
    // Existence test for another process's marker: 0 exists, 2 not found.
    int Open(std::string_view name) { return m_.Open(name); }
    int Wait(uint32_t timeoutMs = qm::platform::kInfinite) { return m_.Wait(timeoutMs); }
    int Release() { return m_.Release(); }
    int Close() { return m_.Close(); }

private:
    qm::platform::NamedMutex m_;
};

// Holds a NamedMutex for one scope.
class MutexLock {
public:
    explicit MutexLock(NamedMutex& m) : m_(m), owned_(m.Wait() == 0) {}
    ~MutexLock() {
        if (owned_) m_.Release();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    bool owned() const { return owned_; }

private:
    NamedMutex& m_;
    bool owned_;
};

inline constexpr size_t kMailslotBuffer = 1024;

// The reading end of a mailslot, with its zero-filled 1024-byte receive buffer.
class MailslotReader {
public:
    // `name` as the services write it, "\\\\.\\MAILSLOT\\Qmonmgr". 183 when another reader
    // serves the slot.
    int Create(std::string_view name) { return slot_.Create(name); }
    // Waits for one message (no time-out unless asked) and leaves it zero-terminated in the
    // buffer. The wait sleeps in the kernel, so an idle service costs no CPU. A message longer
    // than the buffer is dropped and gives 122.
    int Receive(uint32_t timeoutMs = qm::platform::kInfinite);
    // The last message as text (up to its first zero byte).
    std::string_view Text() const;
    int Close() { return slot_.Close(); }

private:
    qm::platform::MailslotReader slot_;
    std::array<char, kMailslotBuffer + 1> buffer_{};  // one spare zero ends a full message
};

// A writing end; opened, written once and closed for every message.
class MailslotWriter {
public:
    int Open(std::string_view name) { return slot_.Open(name); }  // 2: no reader
    int Write(std::string_view text) { return slot_.Write(text); }
    int Close() { return slot_.Close(); }

private:
    qm::platform::MailslotWriter slot_;
};

// "\\\\<computer>\\MAILSLOT\\<slot>", the way writers address a slot; "" when the computer
// name cannot be had (such a writer does not write).
std::string LocalSlotName(std::string_view slot);

// Sends one message to the slot of this computer: open, write, close. A slot nobody reads
// drops the message (the error is returned, nothing is retried).
int PostMessage(std::string_view slot, std::string_view text);

// The 10-byte shared control block with a string cursor.
class ControlMap {
public:
    int Create(std::string_view name);  // 0 whether made or opened
    int Open(std::string_view name);    // 2 when it does not exist
    // Copies the text and its terminating zero to the cursor and moves past them. A text that
    // would run past the block is refused with 87 and nothing is written.
    int Put(std::string_view text);
    void Rewind() { cursor_ = 0; }
    // The text at the cursor (never read past the block), moving past it when not empty.
    std::string Next();
    int Close();

private:
    qm::platform::SharedBlock block_;
    size_t cursor_ = 0;
};

}  // namespace qm::ipc
