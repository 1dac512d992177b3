// Time, computer name and platform class as the services see them.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qm::platform {

// Local seconds: calendar seconds with the local offset (time-zone bias, daylight bias
// included) added, so that breaking them down as UTC gives the local wall clock.
int64_t LocalSeconds();
int64_t LocalSecondsAt(std::time_t calendarSeconds);

// "%Y/%m/%d" and "%H:%M:%S" of a local-seconds value; "" when it cannot be broken down.
std::string DateText(int64_t localSeconds);
std::string TimeText(int64_t localSeconds);
// The inverse: "YYYY/MM/DD" and "HH:MM:SS" back to local seconds; nullopt for bad text.
std::optional<int64_t> LocalSecondsFromText(std::string_view date, std::string_view time);

// The local time now, written with a strftime format (at most 63 characters).
std::string LocalTimeText(const char* format);

// The computer name: the host name's first label, upper case, at most 15 characters.
std::string ComputerName();

// 2: services are plain processes here, as on Windows 95/98.
int PlatformClass();

}  // namespace qm::platform
