// Finding this computer's address: the installation's setting wins, then the computer name's
// first IPv4 address, as the name service lists it.
#include "local_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "qm/platform/clock.h"
#include "qm/platform/registry.h"

namespace qm::trapdest {

std::string DottedText(const unsigned char bytes[4]) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

bool IsDottedAddress(const std::string& text) {
    in_addr a{};
    return text.size() <= 15 && inet_pton(AF_INET, text.c_str(), &a) == 1;
}

namespace {

// Resolving the name needs a working network stack; a machine where not even a datagram
// socket can be made cannot take part in trap delivery either.
bool NetworkUsable() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// gethostbyname keeps the order of the hosts file and the resolver ("first" means that
// order); the reentrant form because the exports may run on several threads at once.
bool FirstIpv4Address(const std::string& name, unsigned char out[4], std::string* why) {
    hostent entry{};
    hostent* result = nullptr;
    int herr = 0;
    std::vector<char> work(1024);
    for (;;) {
        int rc = gethostbyname_r(name.c_str(), &entry, work.data(), work.size(), &result, &herr);
        if (rc == ERANGE && work.size() < (1u << 20)) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr) {
            *why = "the computer name " + name + " does not resolve (" + hstrerror(herr) + ")";
            return false;
        }
        break;
    }
    if (result->h_addrtype != AF_INET || result->h_length != 4 || result->h_addr_list == nullptr ||
        result->h_addr_list[0] == nullptr) {
        *why = "the computer name " + name + " has no IPv4 address";
        return false;
    }
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(result->h_addr_list[0][i]);
    return true;
}

}  // namespace

LocalAddress DiscoverLocalAddress() {
    LocalAddress found;
    platform::RegValue value;
    if (platform::RegGetValue(platform::RegRoot::LocalMachine, kSetupKey, kAddressSetting, &value) == 0 &&
        !(value.type == platform::kRegSz && value.text.empty())) {
        found.source = "setting";
        std::string text = value.type == platform::kRegSz ? value.text : std::string();
        if (!IsDottedAddress(text) || text == "0.0.0.0") {
            found.why = std::string("the setting ") + kAddressSetting + " is not an IPv4 address";
            return found;
        }
        in_addr a{};
        inet_pton(AF_INET, text.c_str(), &a);
        found.address = DottedText(reinterpret_cast<const unsigned char*>(&a.s_addr));
        found.loopback = reinterpret_cast<const unsigned char*>(&a.s_addr)[0] == 127;
        return found;
    }
    if (!NetworkUsable()) {
        found.why = "no datagram socket can be made";
        return found;
    }
    std::string name = platform::ComputerName();
    found.source = name;
    unsigned char bytes[4];
    if (!FirstIpv4Address(name, bytes, &found.why)) return found;
    found.address = DottedText(bytes);
    found.loopback = bytes[0] == 127;
    return found;
}

}  // namespace qm::trapdest
