// qmntfrecv: a notice receiver. Listens on a UDP port, acknowledges every notice datagram
// ("sequence,8") and prints it readably, one line per datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm/notifier/datagram.h"
#include "qm/platform/owners.h"
#include "qm/platform/tool_options.h"

namespace {

constexpr char kUsage[] =
    "Usage: qmntfrecv [options]\n"
    "Receives the notification service's notices on a UDP port, acknowledges each one and\n"
    "prints it: kind, sender port, sequence, device, time, alert fields, description, text.\n"
    "Options:\n"
    "  --port N       UDP port to listen on (default 9100; 0 picks a free one)\n"
    "  --address A    local IPv4 address to listen on (default 127.0.0.1)\n"
    "  --silent       never acknowledge (the service gives the receiver up after its tries)\n"
    "  --raw          print each datagram as it came instead (control bytes and \\ as \\xHH)\n"
    "  --count N      end after N datagrams\n"
    "  --timeout S    end after S seconds without a datagram\n"
    "  --root DIR     installation root (unused; accepted like every tool)\n"
    "  -h, --help     this text\n"
    "The first line printed is \"listening on ADDRESS:PORT\".\n";

const char* KindName(int kind) {
    switch (kind) {
    case qm::notifier::kKindIdle: return "idle-check";
    case qm::notifier::kKindAlert: return "alert";
    case qm::notifier::kKindCleared: return "cleared";
    case qm::notifier::kKindNotAnswering: return "not-answering";
    case qm::notifier::kKindAnswering: return "answering";
    case qm::notifier::kKindEnd: return "end";
    case qm::notifier::kKindGoodbye: return "goodbye";
    default: return "unknown";
    }
}

bool Number(const char* v, long low, long high, long* out) {
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (!*v || *end || n < low || n > high) return false;
    *out = n;
    return true;
}

// The datagram as it came, on one line: control bytes and the backslash itself are written as
// \xHH, so that nothing a sender puts on the wire can forge a second line.
std::string Raw(const std::string& s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f || b == '\\') {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

// Printable text: control bytes from the wire become '?'.
std::string Clean(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 9100, count = 0, timeout = 0;
    bool silent = false, raw = false;
    std::string address = "127.0.0.1";
    qm::platform::ToolOptions options("qmntfrecv", kUsage);
    options.Value("port", [&](const char* v) { return Number(v, 0, 65535, &port); })
        .Text("address", &address)
        .Flag("silent", &silent)
        .Flag("raw", &raw)
        .Value("count", [&](const char* v) { return Number(v, 1, 1L << 30, &count); })
        .Value("timeout", [&](const char* v) { return Number(v, 1, 86400, &timeout); });
    if (auto code = options.Parse(argc, argv)) return *code;
    if (!options.operands().empty()) return options.Usage("unexpected operand " + options.operands()[0]);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        return options.Usage("bad value for --address: " + address);
    qm::platform::UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "qmntfrecv: cannot listen on %s:%ld: %s\n", address.c_str(), port, std::strerror(errno));
        return qm::platform::kExitFailure;
    }
    socklen_t len = sizeof local;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &len);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("listening on %s:%d\n", address.c_str(), ntohs(local.sin_port));

    char buffer[qm::notifier::kDatagramBuffer];
    for (long seen = 0; count == 0 || seen < count;) {
        pollfd p{fd.get(), POLLIN, 0};
        int n = poll(&p, 1, timeout > 0 ? static_cast<int>(timeout * 1000) : -1);
        if (n == 0) {
            std::fprintf(stderr, "qmntfrecv: nothing received for %ld s\n", timeout);
            return qm::platform::kExitFailure;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return qm::platform::kExitFailure;
        }
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t got = recvfrom(fd.get(), buffer, sizeof buffer - 1, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0) continue;
        ++seen;
        const std::string text(buffer, static_cast<size_t>(got));
        if (raw) std::printf("%s\n", Raw(text).c_str());
        std::vector<std::string> f;
        if (!qm::notifier::SplitDatagram(text, &f)) {
            if (!raw) std::printf("malformed datagram (%zd bytes) from port %d\n", got, ntohs(from.sin_port));
            continue;
        }
        // A notice is written out before it is acknowledged: the service forgets what was
        // acknowledged, so a receiver killed between the two must not have lost it.
        if (!raw) {
            const int kind = std::atoi(f[1].c_str());
            std::string line = "seq " + Clean(f[0]) + " " + KindName(kind) + " from port " + Clean(f[2]);
            if (kind == qm::notifier::kKindAlert || kind == qm::notifier::kKindCleared ||
                kind == qm::notifier::kKindNotAnswering || kind == qm::notifier::kKindAnswering) {
                line += " device " + Clean(f[3] + ";" + f[4] + ";" + f[5] + ";" + f[6] + ";" + f[7]) +
                        " at " + Clean(f[8]);
            }
            if (kind == qm::notifier::kKindAlert || kind == qm::notifier::kKindCleared) {
                line += " alert " + Clean(f[9]) + " severity " + Clean(f[10]) + " training " + Clean(f[11]) +
                        " group " + Clean(f[12]) + "." + Clean(f[13]) + " location " + Clean(f[14]) +
                        " code " + Clean(f[15]) + " printer-time " + Clean(f[17]) + " \"" + Clean(f[16]) +
                        "\" text \"" + Clean(f[18]) + "\"";
            }
            std::printf("%s\n", line.c_str());
        }
        // Line buffering wrote it already, unless standard output is a file that failed.
        if (std::fflush(stdout) != 0) continue;
        if (!silent) {
            const std::string ack = f[0] + ",8";
            sendto(fd.get(), ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
        }
    }
    return qm::platform::kExitOk;
}
