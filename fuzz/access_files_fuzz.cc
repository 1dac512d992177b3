// The access files the HTTP server reads on every request and the administration pages edit:
// the authorization file, the password file and the IP access file, from whatever bytes lie on
// disk. The first byte picks the file kind. Reading must not crash or exceed its limits, and
// what the pages would write back must read back the same.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qm/access/access_files.h"

namespace {

// The parsers take a path: the input goes into an anonymous memory file reached through /proc.
std::string AsFile(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("qm-access-fuzz", 0);
    if (fd < 0) std::abort();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t kind = data[0] % 4;
    const std::string path = AsFile(data + 1, size - 1);
    using namespace qm::access;
    switch (kind) {
    case 0: {
        AuthFile auth;
        if (!ReadAuthFile(path, &auth)) std::abort();
        break;
    }
    case 1: {
        std::vector<User> users;
        if (!ReadPasswordFile(path, &users)) std::abort();
        if (users.size() > kMaxUsers) std::abort();
        FindUser(users, "admin");
        break;
    }
    case 2: {
        IpList list;
        if (!list.Read(path)) std::abort();
        if (list.entries().size() > kMaxIpEntries) std::abort();
        // The file the page would write holds the same entries.
        const std::string again = list.Format();
        IpList reread;
        if (!reread.Read(AsFile(reinterpret_cast<const uint8_t*>(again.data()), again.size()))) std::abort();
        if (reread.Format() != again) std::abort();
        const uint8_t client[4] = {127, 0, 0, 1};
        list.Admits(client);
        break;
    }
    default: {
        IpAddress a;
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        if (ParseIpAddress(text, &a)) {
            IpAddress b;
            if (!ParseIpAddress(a.Text(), &b) || CompareIp(a, b) != 0) std::abort();
        }
        IsBareFileName(text);
        break;
    }
    }
    return 0;
}
