// The server's logs: daily access and error files under log/, and servicelog.txt, the file the
// service control helpers read the last "[Error]" line from.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "qm/platform/owners.h"
#include "qm/platform/service_control.h"

namespace qm::httpd {

// One log written as daily files "<name>-YYYYMMDD.log"; files older than `periodDays` days are
// removed when the day changes. Thread-safe; a file that cannot be written is skipped.
class DailyLog {
public:
    DailyLog(std::string folder, std::string name, int periodDays);
    void Write(const std::string& line);

private:
    void OpenForToday();
    void RemoveOld();

    std::mutex lock_;
    std::string folder_, name_;
    int periodDays_;
    std::string day_;
    platform::UniqueFd fd_;
};

// Appends "YYYY/MM/DD HH:MM:SS text" lines to <folder>/servicelog.txt; errors get the
// "[Error]" prefix the control helpers look for. Texts often carry what a client sent, so every
// entry is kept to one line: no one can start a line of their own (a forged "[Error]").
// The service log is the platform's, shared with the other services.
using ServiceLog = platform::ServiceLog;

}  // namespace qm::httpd
