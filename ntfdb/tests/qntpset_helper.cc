// A stand-in for the trap-registration helper in the tests: it answers the handshake in the
// documented order and appends each request ("<command> <address>") to <root>/qntpset.log.
// QM_TEST_QNTPSET_SILENT=1 makes it take requests without ever acknowledging them. It ends
// after 10 s without a request.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "qm/platform/named_objects.h"
#include "qm/platform/paths.h"

using namespace qm::platform;

int main() {
    const bool silent = std::getenv("QM_TEST_QNTPSET_SILENT") != nullptr;
    const std::string root = InstallRoot();
    std::ofstream(root + "/qntpset.pid") << getpid() << "\n";
    NamedEvent event;
    SharedBlock block;
    NamedMutex marker;
    // The marker last: once it exists, the event and the block must be there.
    if (event.Create("QntpsetEvent", false) > 183 || block.Create("QntpsetrMap", 32) > 183 ||
        marker.Create("QntpsetMutex") > 183)
        return 1;
    for (;;) {
        if (event.Wait(10000) != 0) return 0;
        char text[32] = {};
        block.Read(0, std::span<char>(text, sizeof text));
        text[sizeof text - 1] = '\0';
        std::string command(text);
        std::string address(text + command.size() + 1);
        std::ofstream(root + "/qntpset.log", std::ios::app) << command << " " << address << "\n";
        std::memset(block.Data(), 0, block.Size());
        if (!silent) event.Set();
    }
}
