// The notice datagram text, the acknowledgement and the level filter.
#include "qm/notifier/datagram.h"

#include <climits>
#include <cstring>

#include "qm/platform/clock.h"

namespace qm::notifier {

namespace {

std::string Field(const char* record, size_t at, size_t width) {
    return std::string(record + at, strnlen(record + at, width));
}

// Decimal text as the service reads numbers: leading blanks, a sign, digits; the value is
// clamped instead of overflowing. `digits` tells whether any digit was seen.
long long ReadNumber(std::string_view s, bool* digits) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long long v = 0;
    *digits = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        *digits = true;
        if (v < (1LL << 40)) v = v * 10 + (s[i] - '0');
    }
    return negative ? -v : v;
}

}  // namespace

SendFields ReadSendRecord(const char* r) {
    SendFields f;
    static constexpr size_t kKeyAt[5] = {0, 12, 28, 52, 68};
    static constexpr size_t kKeyWidth[5] = {12, 16, 24, 16, 8};
    for (int i = 0; i < 5; ++i) f.key[i] = Field(r, kKeyAt[i], kKeyWidth[i]);
    f.time = Field(r, 76, 12);
    f.kind = Field(r, 88, 12);
    f.alertIndex = Field(r, 100, 12);
    f.severity = Field(r, 112, 12);
    f.training = Field(r, 124, 12);
    f.group = Field(r, 136, 12);
    f.groupIndex = Field(r, 148, 12);
    f.location = Field(r, 160, 12);
    f.code = Field(r, 172, 12);
    f.description = Field(r, 184, 256);
    f.printerTime = Field(r, 440, 12);
    return f;
}

int BacklogKind(const SendFields& f) {
    bool d;
    if (ReadNumber(f.alertIndex, &d) != 0) return kKindAlert;
    switch (ReadNumber(f.severity, &d)) {
    case 0: return kKindNotAnswering;
    case 1: return kKindAnswering;
    default: return static_cast<int>(ReadNumber(f.kind, &d));
    }
}

bool PassesLevel(int level, int kind, std::string_view severity, std::string_view training) {
    if (kind == kKindNotAnswering || kind == kKindAnswering) return true;
    switch (level) {
    case 0: return true;
    case 1: return severity == "3" || severity == "4";
    case 2: return severity == "3";
    case 3: return severity == "3" && training == "5";
    default: return false;
    }
}

std::string NoticeBody(int kind, int localPort, const SendFields& f, std::string_view receiverText) {
    std::string s = std::to_string(kind) + "," + std::to_string(localPort);
    for (const auto& k : f.key) s += "," + k;
    bool d;
    const long long seconds = ReadNumber(f.time, &d);
    std::string date = qm::platform::DateText(seconds), time = qm::platform::TimeText(seconds);
    s += ",";
    if (d && !date.empty() && !time.empty()) s += date + " " + time;
    const bool alert = kind == kKindAlert || kind == kKindCleared;
    for (const std::string* v : {&f.alertIndex, &f.severity, &f.training, &f.group, &f.groupIndex,
                                 &f.location, &f.code, &f.description, &f.printerTime}) {
        s += ",";
        if (alert) s += *v;
    }
    s += ",";
    if (alert) s += receiverText;
    return s;
}

std::string ControlBody(int kind, int localPort) {
    std::string s = std::to_string(kind) + "," + std::to_string(localPort);
    if (kind == kKindEnd) return s + ",0" + std::string(15, ',');
    return s + std::string(16, ',');
}

std::string WithSequence(int32_t sequence, std::string_view body) {
    std::string s = std::to_string(sequence) + "," + std::string(body);
    if (s.size() > kDatagramBuffer - 1) s.resize(kDatagramBuffer - 1);
    return s;
}

int32_t NextSequence(int32_t current) {
    if (current >= INT32_MAX || current < 0) current = 0;
    return current + 1;
}

bool IsAcknowledgement(const char* data, size_t size, int32_t sequence) {
    if (!data) return false;
    std::string_view text(data, size);
    // A zero byte ends the text, as it would for the C string the receiver meant to send.
    if (size_t z = text.find('\0'); z != std::string_view::npos) text = text.substr(0, z);
    size_t comma = text.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma > 10) return false;
    long long seq = 0;
    for (char c : text.substr(0, comma)) {
        if (c < '0' || c > '9') return false;
        seq = seq * 10 + (c - '0');
    }
    if (seq != sequence) return false;
    bool digits = false;
    return ReadNumber(text.substr(comma + 1), &digits) == 8 && digits;
}

bool SplitDatagram(std::string_view text, std::vector<std::string>* fields) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.emplace_back(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (parts.size() < 19) return false;
    // Fields 0-15 are plain numbers and key texts; the last two follow the description.
    std::vector<std::string> out(parts.begin(), parts.begin() + 16);
    std::string description = parts[16];
    for (size_t i = 17; i + 2 < parts.size(); ++i) description += "," + parts[i];
    out.push_back(description);
    out.push_back(parts[parts.size() - 2]);
    out.push_back(parts[parts.size() - 1]);
    *fields = std::move(out);
    return true;
}

}  // namespace qm::notifier
