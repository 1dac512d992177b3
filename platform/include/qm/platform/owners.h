// Owners of the system resources a module holds: descriptors, loaded libraries, SQLite
// connections and memory mappings.
//
// Contract: each owner holds at most one resource and releases it exactly once, in its
// destructor or in reset()/close(); release() hands the raw resource back without releasing
// it. Owners move, never copy. An owner is used by one thread at a time (like the raw handle
// it wraps). Release failures are not reported from destructors; close() returns the result
// where a caller has to know (a descriptor written to must report a failed close).
#pragma once

#include <cstddef>
#include <utility>

struct sqlite3;

namespace qm::platform {

// The frame every single-value owner shares. `Traits` names the raw type (`Value`), the value
// that stands for none (`kNone`) and how a held value goes back to the system (`Release`).
// Resetting to the value already held keeps it.
template <typename Traits>
class UniqueOwner {
public:
    using Value = typename Traits::Value;

    UniqueOwner() = default;
    explicit UniqueOwner(Value v) : v_(v) {}
    ~UniqueOwner() { reset(); }
    UniqueOwner(UniqueOwner&& o) noexcept : v_(o.release()) {}
    UniqueOwner& operator=(UniqueOwner&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;

    Value get() const { return v_; }
    explicit operator bool() const { return v_ != Traits::kNone; }
    Value release() { return std::exchange(v_, Traits::kNone); }
    // Releases the held value (if any) and takes `v`.
    void reset(Value v = Traits::kNone) {
        if (v_ != Traits::kNone && v_ != v) Traits::Release(v_);
        v_ = v;
    }

protected:
    Value v_ = Traits::kNone;
};

struct FdTraits {
    using Value = int;
    static constexpr int kNone = -1;
    // On Linux the descriptor is released even when close reports EINTR; never retried.
    static void Release(int fd);
};
struct LibraryTraits {
    using Value = void*;
    static constexpr void* kNone = nullptr;
    static void Release(void* handle);  // FreeLibraryHandle
};
struct SqliteTraits {
    using Value = sqlite3*;
    static constexpr sqlite3* kNone = nullptr;
    // sqlite3_close_v2: statements not yet finalised do not keep the connection from closing
    // (it ends with the last of them).
    static void Release(sqlite3* db);
};

// A file descriptor; -1 is "none".
class UniqueFd : public UniqueOwner<FdTraits> {
public:
    using UniqueOwner::UniqueOwner;
    bool ok() const { return v_ >= 0; }
    explicit operator bool() const { return ok(); }
    // Closes now: 0, or -1 with errno set when close failed (the descriptor is gone either way).
    int close();
};

// A library loaded with LoadLibraryByName (dlopen); closed with FreeLibraryHandle.
class UniqueLibrary : public UniqueOwner<LibraryTraits> {
public:
    using UniqueOwner::UniqueOwner;
    // The exported symbol by its exact name, or nullptr.
    void* Symbol(const char* name) const;
};

// An SQLite connection.
using UniqueSqlite = UniqueOwner<SqliteTraits>;

// A memory mapping (mmap); unmapped with munmap.
class UniqueMapping {
public:
    UniqueMapping() = default;
    UniqueMapping(void* address, size_t size) : addr_(address), size_(size) {}
    ~UniqueMapping() { reset(); }
    UniqueMapping(UniqueMapping&& o) noexcept
        : addr_(std::exchange(o.addr_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    UniqueMapping& operator=(UniqueMapping&& o) noexcept {
        if (this != &o) {
            reset();
            addr_ = std::exchange(o.addr_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    UniqueMapping(const UniqueMapping&) = delete;
    UniqueMapping& operator=(const UniqueMapping&) = delete;

    // Maps `size` bytes of `fd` from offset 0, shared; an empty owner when mmap fails.
    static UniqueMapping Map(int fd, size_t size, bool writable);

    void* get() const { return addr_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return addr_ != nullptr; }
    void reset();

private:
    void* addr_ = nullptr;
    size_t size_ = 0;
};

}  // namespace qm::platform
