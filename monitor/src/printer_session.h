// One printer's SNMP session through the gateway, as the poll uses it: open the channel, walk a
// table, read the walk's bindings by position or by column and row.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qm::monitor {

inline constexpr char kReadCommunity[] = "tarlow";

// One binding of a walk: its identifier as text and its raw BER value.
struct Binding {
    std::string oid;
    std::vector<uint8_t> value;
};

// A decoded value: integer-like types as numbers, octet strings as text.
struct Value {
    bool isText = false;
    int64_t number = 0;
    std::string text;
};

// Reads a binding's BER value: INTEGER (sign-extended), Counter32, Gauge32 and TimeTicks
// (unsigned), OCTET STRING (text cut at its first NUL, as printers pad with them). Nothing for
// an empty, malformed or exception value.
std::optional<Value> DecodeValue(const std::vector<uint8_t>& ber);

// The bindings of one walk, reachable by column and row: for the identifier
// <table entry>.<column>.<device index>.<row> the column is the arc after the entry and the row
// the last arc; rows of other devices are left out.
class TableWalk {
public:
    TableWalk(std::vector<Binding> bindings, const std::string& entryOid, uint32_t deviceIndex);
    // Rows present in `column`, in the agent's order.
    std::vector<uint32_t> Rows(uint32_t column) const;
    const Binding* At(uint32_t column, uint32_t row) const;
    size_t size() const { return bindings_.size(); }

private:
    std::vector<Binding> bindings_;
    std::map<std::pair<uint32_t, uint32_t>, size_t> index_;
    std::map<uint32_t, std::vector<uint32_t>> rows_;
};

class PrinterSession {
public:
    PrinterSession();
    ~PrinterSession();
    PrinterSession(const PrinterSession&) = delete;
    PrinterSession& operator=(const PrinterSession&) = delete;

    bool initialised() const { return handle_ >= 0; }
    // Channel lookup and open; 0 when the printer can be talked to.
    int Open(const std::string& ip, const std::string& ipx);
    // Builds and sends the walk request; 0 or the gateway's code.
    int Request(const std::string& oid);
    // Receives the answer to the last request and splits it into bindings.
    int Receive(std::vector<Binding>* bindings);
    int ErrorNo() const;

private:
    int handle_ = -1;
    bool open_ = false;
};

}  // namespace qm::monitor
