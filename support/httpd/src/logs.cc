// Daily log files and the service log.
#include "logs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include "qm/platform/clock.h"
#include "qm/platform/paths.h"

namespace qm::httpd {

namespace {

void AppendLine(int fd, std::string line) {
    if (fd < 0) return;
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
}

}  // namespace

DailyLog::DailyLog(std::string folder, std::string name, int periodDays)
    : folder_(std::move(folder)), name_(std::move(name)), periodDays_(periodDays) {
    platform::MakeDirectories(folder_);
}

void DailyLog::OpenForToday() {
    std::string today = platform::LocalTimeText("%Y%m%d");
    if (today == day_ && fd_) return;
    day_ = today;
    std::string path = folder_ + "/" + name_ + "-" + day_ + ".log";
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
    RemoveOld();
}

void DailyLog::RemoveOld() {
    std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(periodDays_) * 86400;
    tm t{};
    localtime_r(&cutoff, &t);
    char oldest[16];
    std::strftime(oldest, sizeof oldest, "%Y%m%d", &t);
    std::string prefix = name_ + "-";
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(folder_.c_str()), closedir);
    if (!d) return;
    while (dirent* e = readdir(d.get())) {
        std::string f = e->d_name;
        // "<name>-YYYYMMDD.log": the date compares as text.
        if (f.size() == prefix.size() + 12 && f.compare(0, prefix.size(), prefix) == 0 &&
            f.compare(f.size() - 4, 4, ".log") == 0 &&
            f.substr(prefix.size(), 8) < std::string(oldest)) {
            ::unlink((folder_ + "/" + f).c_str());
        }
    }
}

void DailyLog::Write(const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    OpenForToday();
    AppendLine(fd_.get(), line);
}

}  // namespace qm::httpd
