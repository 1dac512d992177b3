// Local seconds and the names and numbers the services ask the system for.
#include "qm/platform/clock.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

namespace qm::platform {

int64_t LocalSecondsAt(std::time_t calendarSeconds) {
    tm local{};
    if (!localtime_r(&calendarSeconds, &local)) return 0;
    // tm_gmtoff is east of UTC with daylight saving included: the negated Windows bias.
    return static_cast<int64_t>(calendarSeconds) + local.tm_gmtoff;
}

int64_t LocalSeconds() { return LocalSecondsAt(std::time(nullptr)); }

namespace {

std::string Format(int64_t localSeconds, const char* format) {
    std::time_t t = static_cast<std::time_t>(localSeconds);
    tm broken{};
    if (!gmtime_r(&t, &broken)) return {};
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, format, &broken);
    return std::string(buf, n);
}

bool Digits(std::string_view s, size_t pos, size_t count, int* out) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

}  // namespace

std::string DateText(int64_t localSeconds) { return Format(localSeconds, "%Y/%m/%d"); }
std::string TimeText(int64_t localSeconds) { return Format(localSeconds, "%H:%M:%S"); }

std::optional<int64_t> LocalSecondsFromText(std::string_view date, std::string_view time) {
    int y, mo, d, h = 0, mi = 0, s = 0;
    if (date.size() != 10 || date[4] != '/' || date[7] != '/' || !Digits(date, 0, 4, &y) ||
        !Digits(date, 5, 2, &mo) || !Digits(date, 8, 2, &d)) {
        return std::nullopt;
    }
    if (!time.empty() && (time.size() != 8 || time[2] != ':' || time[5] != ':' ||
                          !Digits(time, 0, 2, &h) || !Digits(time, 3, 2, &mi) ||
                          !Digits(time, 6, 2, &s))) {
        return std::nullopt;
    }
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) ||
        h > 23 || mi > 59 || s > 59) {
        return std::nullopt;
    }
    tm broken{};
    broken.tm_year = y - 1900;
    broken.tm_mon = mo - 1;
    broken.tm_mday = d;
    broken.tm_hour = h;
    broken.tm_min = mi;
    broken.tm_sec = s;
    return static_cast<int64_t>(timegm(&broken));
}

std::string ComputerName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "LOCALHOST";
    std::string name;
    for (const char* p = host; *p && *p != '.' && name.size() < 15; ++p) {
        name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    }
    return name;
}

int PlatformClass() { return 2; }

std::string LocalTimeText(const char* format) {
    const std::time_t now = std::time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    char buf[64];
    return std::string(buf, std::strftime(buf, sizeof buf, format, &t));
}

}  // namespace qm::platform
