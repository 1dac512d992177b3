// qmsnmp: get, get-next, walk and set of printer MIB objects through the SNMP gateway, so an
// admin sees exactly what the suite's components see.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"
#include "qm/platform/tool_options.h"
#include "qm/snmp/message.h"
#include "qmmibgw.h"

namespace {

const char kUsage[] =
    "usage: qmsnmp [options] get HOST OID...\n"
    "       qmsnmp [options] getnext HOST OID...\n"
    "       qmsnmp [options] walk HOST OID\n"
    "       qmsnmp [options] set HOST OID TYPE VALUE [OID TYPE VALUE]...\n"
    "\n"
    "Reads and writes SNMP objects through the suite's SNMP gateway (libqmmibgw.so).\n"
    "HOST is a dotted IPv4 address, optionally followed by :PORT.\n"
    "TYPE is i (INTEGER), s (OCTET STRING), a (IpAddress), o (OBJECT IDENTIFIER),\n"
    "c (Counter32), g (Gauge32), t (TimeTicks), C (Counter64) or a BER type number.\n"
    "\n"
    "options:\n"
    "  -c COMMUNITY  community (default \"tarlow\" for reads, \"wixam\" for set)\n"
    "  -p PORT       agent port (default: the installation's SnmpPort, else 161)\n"
    "  -t MS         answer time-out in milliseconds\n"
    "  -r N          retries after a time-out\n"
    "  -v 1|2c       SNMP version (default: probe the device)\n"
    "  -n N          max-repetitions of each get-bulk request of a walk\n"
    "  -q            print values only\n"
    "  --root DIR    installation root whose settings apply (default: $QM_ROOT)\n"
    "  --help        this text\n"
    "(long forms: --community, --port, --timeout, --retries, --version,\n"
    " --max-repetitions, --quiet)\n"
    "\n"
    "Exit status: 0 success, 1 SNMP failure (no answer, error from the agent), 2 usage.\n";

struct Options {
    std::string community;
    int port = 0, timeout = 0, retries = -1, version = -1, maxReps = 0;
    bool quiet = false;
    std::string command, host;
    std::vector<std::string> args;
};

int Usage(const char* message) { return qm::platform::UsageError("qmsnmp", message); }

bool ParseInt(const char* text, int min, int max, int* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

int TypeNumber(std::string_view t) {
    if (t == "i") return MIB_BER_INTEGER;
    if (t == "s") return MIB_BER_OCTET_STRING;
    if (t == "a") return MIB_BER_IPADDRESS;
    if (t == "o") return MIB_BER_OID;
    if (t == "c") return MIB_BER_COUNTER32;
    if (t == "g") return MIB_BER_GAUGE32;
    if (t == "t") return MIB_BER_TIMETICKS;
    if (t == "C") return MIB_BER_COUNTER64;
    int n = 0;
    return ParseInt(std::string(t).c_str(), 1, 255, &n) ? n : -1;
}

const char* ErrorText(int code) {
    switch (code) {
        case MIB_ERR_PARAM: return "bad argument";
        case MIB_ERR_STALE_CHANNEL: return "stale channel";
        case MIB_ERR_NOT_OPEN: return "not open";
        case MIB_ERR_MALFORMED: return "malformed answer";
        case MIB_ERR_AGENT: return "error from the agent";
        case MIB_ERR_SOCKET: return "socket error";
        case MIB_ERR_IPX: return "IPX is not supported";
        case MIB_ERR_TOO_LARGE: return "answer too large";
        case MIB_ERR_TYPE: return "unsupported type";
        case MIB_ERR_NO_ANSWER: return "no answer";
        default: return "failure";
    }
}

// One gateway handle, released on every path.
class Gateway {
public:
    Gateway() : h_(MIBInitialize()) {}
    ~Gateway() {
        if (h_ > 0) {
            MIBClose(h_);
            MIBRelease(h_);
        }
    }
    int handle() const { return h_; }

private:
    int h_;
};

int Fail(int h, const Options& o, const char* what, int code) {
    int detail = MIBGetErrorNo(h);
    int shown = code == MIB_ERR_FAILED ? detail : code;
    if (shown == MIB_ERR_AGENT) {
        int status = 0, index = 0;
        MIBGetAgentError(h, &status, &index);
        std::fprintf(stderr, "qmsnmp: %s %s: %s (error-status %d, index %d)\n", what, o.host.c_str(),
                     qm::snmp::ErrorStatusName(status), status, index);
    } else {
        std::fprintf(stderr, "qmsnmp: %s %s: %s (%d)\n", what, o.host.c_str(), ErrorText(shown), shown);
    }
    return 1;
}

int Run(const Options& o) {
    Gateway gw;
    int h = gw.handle();
    if (h <= 0) {
        std::fprintf(stderr, "qmsnmp: gateway could not be initialised\n");
        return 1;
    }
    std::string ip = o.host;
    int port = o.port;
    if (size_t colon = ip.find(':'); colon != std::string::npos) {
        if (!ParseInt(ip.c_str() + colon + 1, 1, 65535, &port)) return Usage("bad port in HOST");
        ip.resize(colon);
    }
    if (port) MIBSetOption(h, MIB_OPT_PORT, port);
    if (o.timeout) MIBSetOption(h, MIB_OPT_TIMEOUT_MS, o.timeout);
    if (o.retries >= 0) MIBSetOption(h, MIB_OPT_RETRIES, o.retries);
    if (o.version >= 0) MIBSetOption(h, MIB_OPT_VERSION, o.version);

    unsigned char channel[MIB_CHANNEL_SIZE];
    int rc = MIBGetChannelInfo(h, ip.c_str(), "", channel);
    if (rc != MIB_OK) return rc == MIB_ERR_PARAM ? Usage("bad HOST") : Fail(h, o, "reaching", rc);
    if ((rc = MIBOpen(h, ip.c_str(), "", channel)) != MIB_OK) return Fail(h, o, "opening", rc);

    bool isSet = o.command == "set";
    std::string community = !o.community.empty() ? o.community : isSet ? "wixam" : "tarlow";
    std::vector<std::string> oidTexts;
    std::vector<std::vector<unsigned char>> values;
    if (isSet) {
        if (o.args.empty() || o.args.size() % 3 != 0) return Usage("set needs OID TYPE VALUE triples");
        for (size_t i = 0; i < o.args.size(); i += 3) {
            int type = TypeNumber(o.args[i + 1]);
            if (type < 0) return Usage("unknown TYPE");
            int len = 0;
            rc = MIBBEREncode(h, type, o.args[i + 2].c_str(), &len, nullptr);
            std::vector<unsigned char> element(static_cast<size_t>(len > 0 ? len : 1));
            if (rc == MIB_ERR_BUFFER) rc = MIBBEREncode(h, type, o.args[i + 2].c_str(), &len, element.data());
            if (rc != MIB_OK) {
                std::fprintf(stderr, "qmsnmp: value \"%s\" does not fit type %s (%d)\n", o.args[i + 2].c_str(),
                             o.args[i + 1].c_str(), rc);
                return 2;
            }
            oidTexts.push_back(o.args[i]);
            values.push_back(std::move(element));
        }
    } else {
        if (o.args.empty()) return Usage("missing OID");
        if (o.command == "walk" && o.args.size() != 1) return Usage("walk takes one OID");
        oidTexts = o.args;
    }
    std::vector<const char*> oids;
    for (const auto& t : oidTexts) oids.push_back(t.c_str());
    std::vector<const unsigned char*> valuePtrs;
    for (const auto& v : values) valuePtrs.push_back(v.data());

    int kind = o.command == "get" ? 0 : o.command == "getnext" ? 1 : 5;
    int number = o.maxReps ? o.maxReps : 1;
    int count = static_cast<int>(oids.size());
    auto build = [&](int* len, unsigned char* buf) {
        return isSet ? MIBCreateSetRequestSNMPPacket(h, number, community.c_str(), count, oids.data(),
                                                     valuePtrs.data(), len, buf)
                     : MIBCreateGetRequestSNMPPacket(h, kind, number, community.c_str(), count, oids.data(),
                                                     len, buf);
    };
    int len = 0;
    rc = build(&len, nullptr);
    std::vector<unsigned char> packet(static_cast<size_t>(len > 0 ? len : 1));
    if (rc == MIB_ERR_BUFFER) rc = build(&len, packet.data());
    if (rc != MIB_OK) return rc == MIB_ERR_PARAM ? Usage("bad OID") : Fail(h, o, "building for", rc);
    if ((rc = MIBSend(h, len, packet.data())) != MIB_OK) return Fail(h, o, "sending to", rc);

    int rlen = 0;
    rc = MIBReceive(h, &rlen, nullptr);
    std::vector<unsigned char> response(static_cast<size_t>(rlen > 0 ? rlen : 1));
    if (rc == MIB_ERR_BUFFER) rc = MIBReceive(h, &rlen, response.data());
    if (rc != MIB_OK) return Fail(h, o, "asking", rc);

    std::string oidText;
    std::vector<unsigned char> value;
    for (int i = 0;; ++i) {
        int olen = 0;
        rc = MIBGetchObjectIDFromSNMPPacket(h, i, rlen, response.data(), &olen, nullptr);
        if (rc == MIB_ERR_NO_BINDING) break;
        oidText.assign(static_cast<size_t>(olen > 0 ? olen : 1), '\0');
        if (rc == MIB_ERR_BUFFER) rc = MIBGetchObjectIDFromSNMPPacket(h, i, rlen, response.data(), &olen, oidText.data());
        int vlen = 0;
        int vrc = rc == MIB_OK ? MIBGetBERDataFromSNMPPacket(h, i, rlen, response.data(), &vlen, nullptr) : rc;
        value.assign(static_cast<size_t>(vlen > 0 ? vlen : 1), 0);
        if (vrc == MIB_ERR_BUFFER) vrc = MIBGetBERDataFromSNMPPacket(h, i, rlen, response.data(), &vlen, value.data());
        if (vrc != MIB_OK) return Fail(h, o, "reading the answer of", vrc);
        std::string text = qm::snmptool::FormatValue({value.data(), static_cast<size_t>(vlen)});
        if (o.quiet) {
            std::printf("%s\n", text.c_str());
        } else {
            std::printf("%s = %s\n", oidText.c_str(), text.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    auto number = [](int min, int max, int* out) {
        return [=](const char* v) { return ParseInt(v, min, max, out); };
    };
    qm::platform::ToolOptions options("qmsnmp", kUsage);
    options.Text("community", &o.community, 'c')
        .Value("port", number(1, 65535, &o.port), 'p')
        .Value("timeout", number(1, 600000, &o.timeout), 't')
        .Value("retries", number(0, 100, &o.retries), 'r')
        .Value("max-repetitions", number(1, 255, &o.maxReps), 'n')
        .Value("version", [&o](const char* v) {
            std::string_view ver = v;
            o.version = ver == "1" ? 1 : (ver == "2c" || ver == "2") ? 2 : -1;
            return o.version > 0;
        }, 'v')
        .Flag("quiet", &o.quiet, 'q');
    if (auto exit = options.Parse(argc, argv)) return *exit;
    const std::vector<std::string>& words = options.operands();
    if (words.size() < 2) return Usage("missing command or HOST");
    o.command = words[0];
    o.host = words[1];
    o.args.assign(words.begin() + 2, words.end());
    if (o.command != "get" && o.command != "getnext" && o.command != "walk" && o.command != "set") {
        return Usage("unknown command");
    }
    return Run(o);
}
