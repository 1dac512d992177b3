// Compiled pages already read from the cache, kept in memory by the identity of their file, so
// that a request for a page that has not changed makes no read at all.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace qm::intpr {

// What tells one version of a cache file from another: a rebuilt page is a new file (new inode),
// and a page rewritten in place has a new modification time or size.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};

    static FileIdentity Of(const struct stat& st) {
        return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

using PageImage = std::shared_ptr<const std::string>;

class PageStore {
public:
    static PageStore& Instance();

    // The page read earlier from `path` when the file is still the same one, else null.
    PageImage Find(const std::string& path, const FileIdentity& identity);
    void Put(const std::string& path, const FileIdentity& identity, PageImage page);
    void Forget(const std::string& path);

private:
    static constexpr size_t kMaxBytes = 64u << 20;  // beyond this the store starts over

    struct Entry {
        FileIdentity identity;
        PageImage page;
    };
    std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
    size_t bytes_ = 0;
};

}  // namespace qm::intpr
