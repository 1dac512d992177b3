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

// A file descriptor; -1 is "none".
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    explicit operator bool() const { return ok(); }
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1);
    // Closes now: 0, or -1 with errno set when close failed (the descriptor is gone either way).
    int close();

private:
    int fd_ = -1;
};

// A library loaded with LoadLibraryByName (dlopen); closed with FreeLibraryHandle.
class UniqueLibrary {
public:
    UniqueLibrary() = default;
    explicit UniqueLibrary(void* handle) : h_(handle) {}
    ~UniqueLibrary() { reset(); }
    UniqueLibrary(UniqueLibrary&& o) noexcept : h_(o.release()) {}
    UniqueLibrary& operator=(UniqueLibrary&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueLibrary(const UniqueLibrary&) = delete;
    UniqueLibrary& operator=(const UniqueLibrary&) = delete;

    void* get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void* release() { return std::exchange(h_, nullptr); }
    void reset(void* handle = nullptr);
    // The exported symbol by its exact name, or nullptr.
    void* Symbol(const char* name) const;

private:
    void* h_ = nullptr;
};

// An SQLite connection; closed with sqlite3_close_v2, so statements not yet finalised do not
// keep it from closing (the connection ends with the last of them).
class UniqueSqlite {
public:
    UniqueSqlite() = default;
    explicit UniqueSqlite(sqlite3* db) : db_(db) {}
    ~UniqueSqlite() { reset(); }
    UniqueSqlite(UniqueSqlite&& o) noexcept : db_(o.release()) {}
    UniqueSqlite& operator=(UniqueSqlite&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueSqlite(const UniqueSqlite&) = delete;
    UniqueSqlite& operator=(const UniqueSqlite&) = delete;

    sqlite3* get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }
    sqlite3* release() { return std::exchange(db_, nullptr); }
    void reset(sqlite3* db = nullptr);

private:
    sqlite3* db_ = nullptr;
};

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
