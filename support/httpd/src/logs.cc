// Daily log files and the service log.
#include "logs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "qm/platform/paths.h"

namespace qm::httpd {

namespace {

std::string Stamp(const char* format) {
    std::time_t now = std::time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char buf[64];
    return std::string(buf, std::strftime(buf, sizeof buf, format, &t));
}

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

DailyLog::~DailyLog() {
    if (fd_ >= 0) ::close(fd_);
}

void DailyLog::OpenForToday() {
    std::string today = Stamp("%Y%m%d");
    if (today == day_ && fd_ >= 0) return;
    if (fd_ >= 0) ::close(fd_);
    day_ = today;
    std::string path = folder_ + "/" + name_ + "-" + day_ + ".log";
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    RemoveOld();
}

void DailyLog::RemoveOld() {
    std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(periodDays_) * 86400;
    tm t{};
    localtime_r(&cutoff, &t);
    char oldest[16];
    std::strftime(oldest, sizeof oldest, "%Y%m%d", &t);
    std::string prefix = name_ + "-";
    DIR* d = opendir(folder_.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string f = e->d_name;
        // "<name>-YYYYMMDD.log": the date compares as text.
        if (f.size() == prefix.size() + 12 && f.compare(0, prefix.size(), prefix) == 0 &&
            f.compare(f.size() - 4, 4, ".log") == 0 &&
            f.substr(prefix.size(), 8) < std::string(oldest)) {
            ::unlink((folder_ + "/" + f).c_str());
        }
    }
    closedir(d);
}

void DailyLog::Write(const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    OpenForToday();
    AppendLine(fd_, line);
}

ServiceLog::ServiceLog(std::string folder) : path_(std::move(folder) + "/servicelog.txt") {}

std::string ServiceLog::OneLine(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\') {
            out += '\\';
            switch (c) {
                case '\n': out += 'n'; break;
                case '\r': out += 'r'; break;
                case '\t': out += 't'; break;
                case '\\': out += '\\'; break;
                default:
                    out += 'x';
                    out += kHex[u >> 4];
                    out += kHex[u & 0xF];
            }
        } else {
            out += c;
        }
    }
    return out;
}

void ServiceLog::Append(const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    AppendLine(fd, line);
    if (fd >= 0) ::close(fd);
}

void ServiceLog::Info(const std::string& text) {
    Append(Stamp("%Y/%m/%d %H:%M:%S ") + OneLine(text));
}

// The control helpers match the first seven characters, so the prefix leads the line.
void ServiceLog::Error(const std::string& text) {
    Append("[Error] " + Stamp("%Y/%m/%d %H:%M:%S ") + OneLine(text));
}

}  // namespace qm::httpd
