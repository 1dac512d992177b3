// Image upload storage and download.
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

namespace qm::cgigw {

namespace {

constexpr mode_t kPublished = 0644;  // the HTTP server serves these files to everyone

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

StoreResult CopyThenLink(const std::string& upload, const std::string& target) {
    auto slash = target.rfind('/');
    std::string hidden = (slash == std::string::npos ? std::string(".") : target.substr(0, slash)) +
                         "/.qmcgipst-XXXXXX";
    int src = ::open(upload.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) return StoreResult::kFailed;
    int dst = ::mkostemp(hidden.data(), O_CLOEXEC);
    if (dst < 0) {
        ::close(src);
        return StoreResult::kFailed;
    }
    bool ok = CopyInto(src, dst) && ::fchmod(dst, kPublished) == 0 && ::fsync(dst) == 0;
    ::close(src);
    ok = ::close(dst) == 0 && ok;
    StoreResult result = StoreResult::kFailed;
    if (ok) {
        if (::link(hidden.c_str(), target.c_str()) == 0) result = StoreResult::kStored;
        else if (errno == EEXIST) result = StoreResult::kExists;
    }
    ::unlink(hidden.c_str());
    return result;
}

}  // namespace

StoreResult StoreUpload(const std::string& upload, const std::string& target) {
    if (::link(upload.c_str(), target.c_str()) == 0) {
        ::chmod(target.c_str(), kPublished);
        return StoreResult::kStored;
    }
    switch (errno) {
        case EEXIST: return StoreResult::kExists;
        case EXDEV:
        case EPERM:  // file systems without hard links
        case EMLINK:
        case EOPNOTSUPP: return CopyThenLink(upload, target);
        default: return StoreResult::kFailed;
    }
}

void SendFile(const std::string& path, std::FILE* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[1024];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            std::fwrite(buf, 1, static_cast<std::size_t>(n), out);
            std::fflush(out);
        }
    }
    ::close(fd);
}

}  // namespace qm::cgigw
