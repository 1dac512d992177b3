// Owners of descriptors, libraries and mappings. The SQLite owner lives in owners_sqlite.cc so
// that only modules that use SQLite link it.
#include "qm/platform/owners.h"

#include <sys/mman.h>
#include <unistd.h>

#include "qm/platform/library.h"

namespace qm::platform {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        // On Linux the descriptor is released even when close reports EINTR; never retry.
        ::close(fd_);
    }
    fd_ = fd;
}

int UniqueFd::close() {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : -1;
}

void UniqueLibrary::reset(void* handle) {
    if (h_ && h_ != handle) FreeLibraryHandle(h_);
    h_ = handle;
}

void* UniqueLibrary::Symbol(const char* name) const { return LibrarySymbol(h_, name); }

UniqueMapping UniqueMapping::Map(int fd, size_t size, bool writable) {
    if (fd < 0 || size == 0) return {};
    void* p = ::mmap(nullptr, size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return {};
    return UniqueMapping(p, size);
}

void UniqueMapping::reset() {
    if (addr_) ::munmap(addr_, size_);
    addr_ = nullptr;
    size_ = 0;
}

}  // namespace qm::platform
