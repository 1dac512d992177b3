// Image upload storage and download.
//
// Every file operation is anchored at the document root: the folders below it are opened one
// by one with O_NOFOLLOW, and the file is reached relative to the last one, so neither a
// symbolic link in the name nor one swapped in while we work leads out of the root.
//
// link() is the primitive: it publishes a complete file under a new name and fails with
// EEXIST instead of replacing anything. When the upload sits on another file system, it is
// first copied to a hidden file beside the target and that one is linked.
#include "image_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>

#include "qm/cgi/splitter.h"
#include "qm/platform/owners.h"

namespace qm::cgigw {

namespace {

constexpr mode_t kPublished = 0644;  // the HTTP server serves these files to everyone

// An open folder; -1 when the root is missing or a piece is missing, not a folder, or a link.
class Folder {
public:
    explicit Folder(const ImageTarget& t) {
        fd_.reset(::open(t.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (std::string_view piece : cgi::StringSplitter(t.folder, "/")) {
            if (!fd_ || piece.empty()) continue;
            fd_.reset(::openat(fd_.get(), std::string(piece).c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
    }
    int fd() const { return fd_.get(); }

private:
    platform::UniqueFd fd_;
};

bool CopyInto(int from, int to) {
    char buf[64 * 1024];
    for (;;) {
        ssize_t n = ::read(from, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(n - done));
            if (w <= 0) return false;
            done += w;
        }
    }
}

StoreResult CopyThenLink(const std::string& upload, int folder, const std::string& name) {
    platform::UniqueFd src(::open(upload.c_str(), O_RDONLY | O_CLOEXEC));
    if (!src) return StoreResult::kFailed;
    std::random_device rd;
    std::string hidden;
    platform::UniqueFd dst;
    for (int attempt = 0; attempt < 100 && !dst; ++attempt) {
        hidden = ".qmcgipst-" + std::to_string(rd());
        dst.reset(::openat(folder, hidden.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!dst && errno != EEXIST) break;
    }
    if (!dst) return StoreResult::kFailed;
    bool ok = CopyInto(src.get(), dst.get()) && ::fchmod(dst.get(), kPublished) == 0 &&
              ::fsync(dst.get()) == 0;
    ok = dst.close() == 0 && ok;
    StoreResult result = StoreResult::kFailed;
    if (ok) {
        if (::linkat(folder, hidden.c_str(), folder, name.c_str(), 0) == 0) result = StoreResult::kStored;
        else if (errno == EEXIST) result = StoreResult::kExists;
    }
    ::unlinkat(folder, hidden.c_str(), 0);
    return result;
}

}  // namespace

StoreResult StoreUpload(const std::string& upload, const ImageTarget& target) {
    Folder folder(target);
    if (folder.fd() < 0) return StoreResult::kFailed;
    if (::linkat(AT_FDCWD, upload.c_str(), folder.fd(), target.file.c_str(), 0) == 0) {
        // The upload is our own file; it has just one more name now.
        ::chmod(upload.c_str(), kPublished);
        return StoreResult::kStored;
    }
    switch (errno) {
        case EEXIST: return StoreResult::kExists;
        case EXDEV:
        case EPERM:  // file systems without hard links
        case EMLINK:
        case EOPNOTSUPP: return CopyThenLink(upload, folder.fd(), target.file);
        default: return StoreResult::kFailed;
    }
}

void SendFile(const ImageTarget& target, std::FILE* out) {
    Folder folder(target);
    if (folder.fd() < 0) return;
    platform::UniqueFd fd(::openat(folder.fd(), target.file.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[1024];
        ssize_t n;
        while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) {
            std::fwrite(buf, 1, static_cast<std::size_t>(n), out);
            std::fflush(out);
        }
    }
}

}  // namespace qm::cgigw
