// The notice datagram of the notification service: its text, the acknowledgement a receiver
// answers with, the level filter and the sequence numbers. Pure functions, so the receiver
// tool, the service and the fuzz target share one reading of the wire format.
//
// A datagram is 19 comma-separated fields: sequence number, kind, the sender's local UDP port,
// the five device key texts, the record time "%Y/%m/%d %H:%M:%S", alert index, severity,
// training level, group, group index, location, code, description, printer alert time and the
// receiver's own text for the record. Fields are not quoted: a comma inside the description
// cannot be told from a separator, which is why the reader gives surplus fields to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::notifier {

// Datagram kinds.
inline constexpr int kKindIdle = 0;
inline constexpr int kKindAlert = 1;
inline constexpr int kKindCleared = 2;
inline constexpr int kKindNotAnswering = 3;
inline constexpr int kKindAnswering = 4;
inline constexpr int kKindEnd = 7;
inline constexpr int kKindGoodbye = 9;

// The send record of the notification database (452 bytes of fixed text fields).
inline constexpr size_t kSendRecordSize = 452;
inline constexpr size_t kReceiverTextSize = 68;  // 67 characters and the terminator
inline constexpr size_t kDatagramBuffer = 1024;  // the text is cut to 1023 bytes

// The fields of a send record as texts (each cut at its first zero byte, never read past it).
struct SendFields {
    std::string key[5];
    std::string time, kind, alertIndex, severity, training, group, groupIndex, location, code;
    std::string description, printerTime;
};
SendFields ReadSendRecord(const char* record /* kSendRecordSize bytes */);

// The kind a backlog record is sent as: 1 when it has an alert index; otherwise it is an on/off
// record whose severity position holds the printer's state: 0 gives 3, 1 gives 4, anything else
// leaves the stored kind.
int BacklogKind(const SendFields& f);

// Whether a receiver of `level` gets a record of `kind`: kinds 3 and 4 always; alerts by level
// (0 all, 1 severity 3 or 4, 2 severity 3, 3 severity 3 at training level 5, else none).
bool PassesLevel(int level, int kind, std::string_view severity, std::string_view training);

// The datagram text without the sequence number: "kind,port,..." (18 fields).
std::string NoticeBody(int kind, int localPort, const SendFields& f, std::string_view receiverText);
// Idle check (0), end (7: field 3 is "0") and goodbye (9).
std::string ControlBody(int kind, int localPort);
// Prefixes the sequence number and cuts the whole to kDatagramBuffer - 1 bytes.
std::string WithSequence(int32_t sequence, std::string_view body);

// The next sequence number: one more, restarting at 0 first when INT32_MAX was reached.
int32_t NextSequence(int32_t current);

// Whether `data` (exactly `size` bytes as received, no terminator needed) acknowledges
// `sequence`: the text up to the first comma is that decimal number, and the text after it
// reads as the number 8 (blanks, sign and digits; anything after them is ignored).
bool IsAcknowledgement(const char* data, size_t size, int32_t sequence);

// A received datagram split into its 19 fields; false when it has fewer than 19. Surplus
// commas are taken to belong to the description.
bool SplitDatagram(std::string_view text, std::vector<std::string>* fields);

}  // namespace qm::notifier
