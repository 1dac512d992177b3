// Cache files of compiled pages under ..\cache\<language>\, relative to the current folder.
#include "cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "QBUtil.h"
#include "compiler.h"
#include "page_store.h"
#include "qm/platform/paths.h"
#include "record_writer.h"

namespace qm::intpr {

namespace {

// Building cache files is serialised in the whole process; reading a sealed one needs no lock.
std::mutex g_compileLock;
std::atomic<unsigned> g_buildSerial{0};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Reads the whole file; false on a system error.
bool ReadAll(int fd, std::string& out) {
    struct stat st{};
    out.clear();
    if (fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool SealedHeader(std::string_view page) {
    if (page.size() < QM_RECORD_HEADER_SIZE || page[0] != QM_REC_HEADER) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(page.data());
    const uint32_t length = p[1] | (p[2] << 8) | (p[3] << 16) | (static_cast<uint32_t>(p[4]) << 24);
    if (length > 9 || page.size() - QM_RECORD_HEADER_SIZE < length) return false;
    return page.substr(QM_RECORD_HEADER_SIZE, length) == QM_PAGE_MARK_SEALED;
}

bool NotEarlier(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// An include may name a file in a sub-folder of the template folders, but never climb out.
bool IsTemplateRelative(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\') return false;
    if (name.size() >= 2 && name[1] == ':') return false;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/' || name[i] == '\\') {
            if (name.substr(start, i - start) == "..") return false;
            start = i + 1;
        }
    }
    return name.find('\0') == std::string_view::npos;
}

int OpenTemplate(std::string_view language, std::string_view name) {
    if (!IsTemplateRelative(name)) return -1;
    for (const std::string& windows : {"..\\html\\" + std::string(language) + "\\" + std::string(name),
                                       "..\\html\\common\\" + std::string(name)}) {
        const std::string path = qm::platform::ToPosixPath(windows);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
    }
    return -1;
}

// The template's last-write time, from the language folder first, then the common folder.
bool StatTemplate(std::string_view language, std::string_view name, struct stat& st) {
    if (!IsTemplateRelative(name)) return false;
    for (const std::string& windows : {"..\\html\\" + std::string(language) + "\\" + std::string(name),
                                       "..\\html\\common\\" + std::string(name)}) {
        if (stat(qm::platform::ToPosixPath(windows).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
    }
    return false;
}

bool EnsureFolder(const std::string& windowsPath) {
    const std::string path = qm::platform::ToPosixPath(windowsPath);
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// Removes the file at `path` if it is still the one we opened as `fd`, so that a request that
// found a stale page never deletes the fresh one another request has just put in its place.
void DeleteIfSame(const std::string& path, int fd) {
    struct stat opened{}, current{};
    if (fstat(fd, &opened) != 0 || stat(path.c_str(), &current) != 0) return;
    if (opened.st_dev == current.st_dev && opened.st_ino == current.st_ino) ::unlink(path.c_str());
}

enum class Reuse { Yes, No, ReadError };

Reuse TryReuse(const std::string& cachePath, std::string_view language, std::string_view name,
               PageImage& page) {
    struct stat cacheStat{}, sourceStat{};
    if (stat(cachePath.c_str(), &cacheStat) != 0) return Reuse::No;
    const bool fresh = StatTemplate(language, name, sourceStat) &&
                       NotEarlier(cacheStat.st_mtim, sourceStat.st_mtim);
    PageStore& store = PageStore::Instance();
    if (fresh) {
        if ((page = store.Find(cachePath, FileIdentity::Of(cacheStat)))) return Reuse::Yes;
    }
    Fd cache(::open(cachePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!cache.ok()) return Reuse::No;
    Reuse result = Reuse::No;
    struct stat opened{};
    if (fresh && fstat(cache.get(), &opened) == 0 && NotEarlier(opened.st_mtim, sourceStat.st_mtim)) {
        auto text = std::make_shared<std::string>();
        if (!ReadAll(cache.get(), *text)) {
            QbTrace(QB_TRACE_ERROR, "cintpr", __LINE__, "QMINTPR: ReadFile() ErrorCode = %d", errno);
            result = Reuse::ReadError;
        } else if (SealedHeader(*text)) {
            page = std::move(text);
            store.Put(cachePath, FileIdentity::Of(opened), page);
            return Reuse::Yes;
        }
    }
    store.Forget(cachePath);
    DeleteIfSame(cachePath, cache.get());
    return result;
}

bool Build(PageContext& context, const std::string& cachePath, const std::string& cacheWindows,
           std::string_view language, std::string_view name, PageImage& image) {
    const PageOutput& out = context.output;
    // The page is built under a private name and renamed into place once sealed, so that no
    // reader (in this process or another) ever sees a half-written page under the cache name.
    // Its name starts with a dot, which no request may name, so no request can disturb it.
    const size_t slash = cachePath.rfind('/');
    const std::string temp = cachePath.substr(0, slash + 1) + ".~" + cachePath.substr(slash + 1) + "." +
                             std::to_string(getpid()) + "." + std::to_string(g_buildSerial.fetch_add(1));
    Fd file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.ok()) {
        out.Error(name, cacheWindows, Msg::NotCreate);
        return false;
    }
    auto built = std::make_shared<std::string>();
    std::string& page = *built;
    AppendRecord(page, QM_REC_HEADER, QM_PAGE_MARK_UNSEALED);
    const std::string lang(language);
    Compiler compiler(
        [&lang](std::string_view file, std::string& content) {
            Fd fd(OpenTemplate(lang, file));
            return fd.ok() && ReadAll(fd.get(), content);
        },
        out);
    bool ok = compiler.CompileTemplate(name, page);
    if (ok) {
        ok = WriteAll(file.get(), page) &&
             ::pwrite(file.get(), QM_PAGE_MARK_SEALED, QM_PAGE_MARK_SIZE, QM_RECORD_HEADER_SIZE) ==
                 QM_PAGE_MARK_SIZE;
        if (!ok) out.Error({}, {}, Msg::DiskWriteError);
    }
    file.Close();
    if (ok && ::rename(temp.c_str(), cachePath.c_str()) != 0) {
        out.Error({}, {}, Msg::DiskWriteError);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    std::memcpy(page.data() + QM_RECORD_HEADER_SIZE, QM_PAGE_MARK_SEALED, QM_PAGE_MARK_SIZE);
    image = std::move(built);
    if (struct stat st{}; stat(cachePath.c_str(), &st) == 0) PageStore::Instance().Put(cachePath, FileIdentity::Of(st), image);
    return true;
}

bool ReadName(PageContext& context, const char* variable, std::string& value) {
    const Value* v = context.variables.Find(variable);
    if (!v) {
        context.output.Error({}, variable, Msg::NotFound);
        return false;
    }
    std::string scratch;
    value.assign(TextForm(*v, scratch));
    if (!IsPlainName(value)) {
        // The value came from the network: the line names the variable, never echoes it.
        context.output.Error({}, variable, Msg::NotFound);
        return false;
    }
    return true;
}

// Only a language that has its own template folder gets a cache folder: the value comes from the
// network, and a folder (and compiled copies of the common templates) per value would let any
// client fill the disk.
bool IsInstalledLanguage(std::string_view language) {
    struct stat st{};
    const std::string path = qm::platform::ToPosixPath("..\\html\\" + std::string(language));
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A page for a language without a folder of its own: compiled in memory for this request only
// (its templates can only come from html/common).
PageImage CompileUncached(PageContext& context, std::string_view language, std::string_view name) {
    auto built = std::make_shared<std::string>();
    AppendRecord(*built, QM_REC_HEADER, QM_PAGE_MARK_SEALED);
    const std::string lang(language);
    Compiler compiler(
        [&lang](std::string_view file, std::string& content) {
            Fd fd(OpenTemplate(lang, file));
            return fd.ok() && ReadAll(fd.get(), content);
        },
        context.output);
    if (!compiler.CompileTemplate(name, *built)) return nullptr;
    return built;
}

}  // namespace

bool IsPlainName(std::string_view name) {
    // A leading dot is refused too: hidden files, and the cache's own files under construction.
    if (name.empty() || name.front() == '.' || name.find("..") != std::string_view::npos) return false;
    for (const char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

PageImage ObtainCompiledPage(PageContext& context) {
    std::string language, name;
    if (!ReadName(context, "$LANGUAGE", language) || !ReadName(context, "$TEMPLATE", name)) return nullptr;

    if (!IsInstalledLanguage(language)) return CompileUncached(context, language, name);

    const std::string cacheWindows = "..\\cache\\" + language + "\\" + name;
    const std::string cachePath = qm::platform::ToPosixPath(cacheWindows);

    PageImage page;
    switch (TryReuse(cachePath, language, name, page)) {
        case Reuse::Yes: return page;
        case Reuse::ReadError: context.output.Error({}, {}, Msg::DiskReadError); break;
        case Reuse::No: break;
    }
    // Only a page that has to be built needs its folders; a page found in them proves they exist.
    EnsureFolder("..\\cache\\");
    EnsureFolder("..\\cache\\" + language);

    std::lock_guard lock(g_compileLock);
    // Another request may have built it while we waited for the lock: take it as it is.
    if (Fd again(::open(cachePath.c_str(), O_RDONLY | O_CLOEXEC)); again.ok()) {
        auto text = std::make_shared<std::string>();
        if (ReadAll(again.get(), *text)) return text;
        context.output.Error({}, {}, Msg::DiskReadError);
        return nullptr;
    }
    if (!Build(context, cachePath, cacheWindows, language, name, page)) return nullptr;
    return page;
}

}  // namespace qm::intpr
