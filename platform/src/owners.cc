// Owners of descriptors, libraries and mappings. The SQLite owner lives in owners_sqlite.cc so
// that only modules that use SQLite link it.
#include "qm/platform/owners.h"

#include <sys/mman.h>
#include <unistd.h>

#include "qm/platform/library.h"

namespace qm::platform {

void FdTraits::Release(int fd) {
    if (fd >= 0) ::close(fd);
}

int UniqueFd::close() {
    if (v_ < 0) return 0;
    return ::close(std::exchange(v_, -1)) == 0 ? 0 : -1;
}

void LibraryTraits::Release(void* handle) { FreeLibraryHandle(handle); }

void* UniqueLibrary::Symbol(const char* name) const { return LibrarySymbol(v_, name); }

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
