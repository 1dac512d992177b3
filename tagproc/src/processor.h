// CTagProcessor: the state one interpreter keeps in the tag library, and the methods behind
// every exported tag (the frame each call follows, the SNMP exchange, the tags themselves).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "my_functions.h"
#include "qmintpr/tag_library.h"

namespace qm::tag {

// Discovery sessions of one processor (discovery_tags.cc), by the handle templates hold.
// A session belongs to the request that opened it: the thread that ran the opening call,
// until the host says that request ended (TAGEndRequest). A session nobody asks for longer
// than its search budget plus a margin was abandoned by a host that never says so; the next
// discovery call ends it.
//
// `mu` guards the table and every session's `busy` flag, and is never held while a call
// waits for a printer: a call marks its session busy, lets go of `mu` and works on the
// session alone; nobody ends a busy session, and a second call on it waits for `idle`.
// Sessions taken out of the table are closed after `mu` is released (closing a search may
// wait for its threads).
struct DiscoverySession;
using SessionList = std::vector<std::unique_ptr<DiscoverySession>>;
struct DiscoverySessions {
    DiscoverySessions();
    ~DiscoverySessions();
    static void Close(DiscoverySession& s);
    static void CloseEach(SessionList& list);
    // Ends every session while the database and discovery are still started.
    void CloseAll();
    // Takes out the sessions the calling thread opened (its request is over). Needs `mu`.
    SessionList TakeOwnedByThisThread();
    // Takes out every session idle past its budget and margin at `now`, except `keep`. Needs `mu`.
    SessionList TakeIdle(std::chrono::steady_clock::time_point now, int32_t keep);
    std::mutex mu;
    std::condition_variable idle;
    std::map<int32_t, std::unique_ptr<DiscoverySession>> open;
    int32_t next = 1;
};

// What the calls of one thread keep in a processor: the result handed to that thread (valid
// until its next call), the running call's work buffers and error bytes, and the code of its
// last call. A thread runs one request at a time, so this is that request's own state, and
// calls of different requests share nothing of it.
struct CallState {
    std::vector<uint8_t> result;
    std::vector<uint8_t> packet;
    std::vector<uint8_t> response;
    int8_t mibError = 0;
    int8_t qbError = 0;
    int8_t dbError = 0;
    int8_t asnError = 0;
    int lastResult = 0;
    // The gateway handle the running call leased (0 until it needs one). A gateway handle
    // holds one exchange at a time, so every call in flight has its own.
    int gateway = 0;
};

// Opens the configuration database's context of the calling thread once (the HTTP server
// calls tags from several threads; each needs its own before its first database call).
void EnsureDbThread();

// Argument i of a tag call as the text the template passed.
inline const char* Text(void** argv, int i) { return static_cast<const char*>(argv[i]); }

class CTagProcessor {
public:
    // Runs the whole construction; ok() tells whether every component started.
    CTagProcessor(void* hostContext, void* hostValue, QmOutputCallback output, int32_t reserved);
    ~CTagProcessor();
    CTagProcessor(const CTagProcessor&) = delete;
    CTagProcessor& operator=(const CTagProcessor&) = delete;

    bool ok() const { return startResult_ == 0; }

    // One tag call on the calling thread. Calls of different threads run side by side: each
    // works on its thread's CallState and its own gateway handle, and the shared tables
    // (discovery sessions, log readings, states, idle gateways) have locks of their own that
    // are never held while waiting on the network. The scope binds the thread's state for
    // the methods and gives the leased gateway handle back when the call ends.
    class CallScope {
    public:
        explicit CallScope(CTagProcessor& p);
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

    private:
        CTagProcessor& p_;
    };
    // Forgets the calling thread's state (its request is over; its result was read).
    void DropThreadResult();

    // Tag methods: argc counts the result slot and the template arguments; argv[0] is the
    // result slot, argv[1..] the arguments.
    int GetLastError(int argc, void** argv);
    int GetMIBData(int argc, void** argv);
    int GetNextMIBData(int argc, void** argv);
    int GetEntryMIBData(int argc, void** argv);
    int SetMIBData(int argc, void** argv);
    int GetPrinterType(int argc, void** argv);
    int GetPrinterColor(int argc, void** argv);
    int GetSignalType(int argc, void** argv);
    int GetPaperType(int argc, void** argv);
    int GetDeviceName(int argc, void** argv);
    int GetStorageSize(int argc, void** argv);
    // Database tags (group_tags.cc) and discovery (discovery_tags.cc).
    int GetQMInfo(int argc, void** argv);
    int GetGroupInfo(int argc, void** argv);
    int GetDeviceInfo(int argc, void** argv);
    int GetGroupNameList(int argc, void** argv);
    int GetIPHostName(int argc, void** argv);
    int GetModelInfo(int argc, void** argv);
    int CreateHTMLGroupList(int argc, void** argv);
    int StartDeviceDiscovery(int argc, void** argv);
    int GetDiscoveryResult(int argc, void** argv);
    int EndDeviceDiscovery(int argc, void** argv);
    // Group and device logs (log_tags.cc).
    int OpenGroupLog(int argc, void** argv);
    int ReadGroupLog(int argc, void** argv);
    int CloseGroupLog(int argc, void** argv);
    int OpenDeviceLog(int argc, void** argv);
    int ReadDeviceLog(int argc, void** argv);
    int CloseDeviceLog(int argc, void** argv);
    // The host's request on the calling thread ended: its discovery sessions and the log
    // readings it left open end with it.
    int EndRequest();

private:
    // The frame of every method: checks, error result, closing traces.
    struct Frame;
    bool CheckArgs(int argc, void** argv, int expected, bool keyFirst);
    // CheckArgs, then the line "CALLED <name>(<arg 1>,<arg 2>,...)" of the text arguments.
    bool Called(const char* name, int argc, void** argv, int expected, bool keyFirst);
    // A tag of `expected` text arguments, the first a device key: the opening checks and
    // trace, the body (which returns the tag's code), and Finish.
    template <typename Body>
    int TextTag(const char* name, int argc, void** argv, int expected, Body&& body) {
        if (!Called(name, argc, argv, expected, true)) return Finish(name, argv, -2);
        return Finish(name, argv, body());
    }
    // A text tag whose first argument is a device key: the body gets the parsed key (a bad
    // key ends the tag with -3, traced).
    template <typename Body>
    int DeviceTag(const char* name, int argc, void** argv, int expected, Body&& body) {
        return TextTag(name, argc, argv, expected, [&]() -> int {
            DeviceKey key;
            int r = ParseKeyArgument(argv, 1, &key);
            return r != 0 ? r : body(static_cast<const DeviceKey&>(key));
        });
    }
    // The result is the element of type 2 or 4 for `text`: 0, or Encode's code.
    int EncodeResult(int type, const std::string& text);
    int Finish(const char* name, void** argv, int code);
    void SetErrorResult();
    void SetResult(std::vector<uint8_t> bytes);

    // Error mapping of the components; each stores the error in its byte.
    int MibError(int e);
    int BerError(int e);
    int DbError(int e);

    // Device access: stored channel, gateway channel, renewal of a stale one.
    int OpenDevice(const DeviceKey& key);
    // One exchange of `kind` (0 get, 1 get-next, 5 walk) for `oids`; the answer is in response_.
    int GetSNMPPacket(int kind, const DeviceKey& key, const std::vector<std::string>& oids);
    // Binding i of the last answer: its value element and OID text (-104 past the last one).
    int GetBERData(int index, std::vector<uint8_t>* value);
    int GetOid(int index, std::string* oid);
    int GetBERDataandOid(int index, std::vector<uint8_t>* value, std::string* oid);
    // Every binding of the last answer until the gateway reports none; mapped code on error.
    int ReadAllBindings(std::vector<SeqEntry>* out);
    // The device key of a template argument, traced as the attribute tags trace it: 0, or -3.
    int ParseKeyArgument(void** argv, int index, DeviceKey* key);
    // Key of argument 1 and one exchange of `kind` for the OID of argument 2, traced the way
    // the get-next and entry tags trace them: 0, -3 for a bad key, else the exchange's code.
    int KeyAndExchange(void** argv, int kind, DeviceKey* key);
    // The result block of `entries`, traced as "CreateSEQ=%d" on failure.
    int EncodeEntries(const std::vector<SeqEntry>& entries);
    // Walks one marker column of the device: its rows, -4 when it has none, else the mapped code.
    int WalkMarkerColumn(const DeviceKey& key, const std::string& column,
                         std::vector<SeqEntry>* rows);
    // A BER element from a value text through the gateway (types 2 and 4).
    int Encode(int type, const std::string& text, std::vector<uint8_t>* out);
    // The result block of `entries`, grown until the encoder is satisfied.
    int Encode(const std::vector<SeqEntry>& entries);
    // Integer value of a value element (no content: -2; decoder errors mapped).
    // The parts of a value element: 0, or the mapped code after a trace line; with
    // `needContent` an element without content is -2.
    int ValueContent(const std::vector<uint8_t>& element, bool needContent, BerInfo* info);
    // A decoder's result mapped: 0 stays 0, else the trace line `decodeTrace` and BerError.
    int Decoded(int r, const char* decodeTrace);
    int ValueInt(const std::vector<uint8_t>& element, int32_t* out, const char* decodeTrace);
    int ValueUint(const std::vector<uint8_t>& element, uint32_t* out);
    int ValueText(const std::vector<uint8_t>& element, std::string* out, const char* decodeTrace);

    int DbTextTag(const char* name, int argc, void** argv, int expected, const std::function<int(char*)>& read,
                  const char* dbCall);
    // Log readings: the frame of the three kinds of log tag, shared by groups and devices.
    int OpenLog(const char* name, bool group, int argc, void** argv);
    int ReadLog(const char* name, bool group, int argc, void** argv);
    int CloseLogTag(const char* name, bool group, int argc, void** argv);
    int32_t LogOf(const char* name, bool group, int argc, void** argv);
    void CloseLog(long handle, bool group);
    // Ends the readings the calling thread opened; returns how many.
    int CloseThreadLogs();
    void CloseAllLogs();

    // Ends the sessions idle past their bound, except `keep`.
    void CloseIdleSessions(int32_t keep);
    // Marks session `h` busy for the calling call (waiting while another call has it);
    // null when there is no such session. Release gives it back.
    DiscoverySession* Claim(int32_t h);
    void Release(DiscoverySession& s);
    bool PassesFilters(const DiscoverySession& s, const DeviceKey& key);
    // Registers what a finished search found as the All Devices list, in one step.
    int RegisterFound(DiscoverySession& s);
    int SignalTrainingLevel(const DeviceKey& key, const std::string& alertOid, int32_t* level);

    // The calling thread's state (bound by its CallScope), and its result buffer: results
    // stay valid until the next call on the same thread.
    CallState& State();
    std::vector<uint8_t>& Result() { return State().result; }
    // The gateway handle of the running call: leased from the idle ones (or a new one) on
    // first use, given back when the call ends.
    int Gateway();
    void ReturnGateway(CallState& state);

    std::mutex statesMu_;
    std::map<std::thread::id, std::unique_ptr<CallState>> states_;
    std::mutex gatewaysMu_;
    std::vector<int> idleGateways_;
    std::vector<int> allGateways_;
    const uint8_t nullResult_[2] = {0x05, 0x00};
    bool discoveryStarted_ = false;
    bool dbStarted_ = false;
    void* hostContext_;
    void* hostValue_;
    QmOutputCallback output_;
    int32_t reserved_;
    int startResult_ = 0;
    // Open log readings by their handle; each belongs to the thread (request) that opened it,
    // and only that thread reads or closes it. `logsMu_` guards the table only.
    struct OpenLogReading {
        bool group = false;
        std::thread::id owner;
    };
    std::mutex logsMu_;
    std::map<int32_t, OpenLogReading> logs_;
    // Readings one request may hold open at once.
    static constexpr int kMaxLogsPerRequest = 16;
    // Last member: sessions close their searches and cursors before the rest goes.
    DiscoverySessions sessions_;
};

}  // namespace qm::tag
