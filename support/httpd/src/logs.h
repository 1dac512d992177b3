// The server's logs: daily access and error files under log/, and servicelog.txt, the file the
// service control helpers read the last "[Error]" line from.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace qm::httpd {

// One log written as daily files "<name>-YYYYMMDD.log"; files older than `periodDays` days are
// removed when the day changes. Thread-safe; a file that cannot be written is skipped.
class DailyLog {
public:
    DailyLog(std::string folder, std::string name, int periodDays);
    ~DailyLog();
    void Write(const std::string& line);

private:
    void OpenForToday();
    void RemoveOld();

    std::mutex lock_;
    std::string folder_, name_;
    int periodDays_;
    std::string day_;
    int fd_ = -1;
};

// Appends "YYYY/MM/DD HH:MM:SS text" lines to <folder>/servicelog.txt; errors get the
// "[Error]" prefix the control helpers look for. Texts often carry what a client sent, so every
// entry is kept to one line: no one can start a line of their own (a forged "[Error]").
class ServiceLog {
public:
    explicit ServiceLog(std::string folder);
    void Info(const std::string& text);
    void Error(const std::string& text);
    const std::string& path() const { return path_; }

    // Control characters (line breaks included) as \n, \r, \t or \xHH, and a backslash doubled,
    // so that every entry stays one line and reads back unambiguously.
    static std::string OneLine(std::string_view text);

private:
    void Append(const std::string& line);
    std::mutex lock_;
    std::string path_;
};

}  // namespace qm::httpd
