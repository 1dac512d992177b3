// qmpage: runs one page request through the interpreter library and prints the page.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBUtil.h"
#include "qm/platform/library.h"
#include "qm/platform/tool_options.h"
#include "qmintpr/qmintpr.h"

namespace {

constexpr const char* kUsage =
    "Usage: qmpage [--root DIR] [--trace MASK] PARAMETERS...\n"
    "Runs one page request through the page interpreter (libqmintpr.so, loaded by name as the\n"
    "HTTP server loads it) and writes the page to standard output.\n"
    "\n"
    "PARAMETERS is either one parameter text of name=value pairs separated by \"|\"\n"
    "  qmpage --root /opt/qm 'LANGUAGE=en|TEMPLATE=top.htm|DEVICE=1'\n"
    "or several name=value arguments, which are joined with \"|\":\n"
    "  qmpage --root /opt/qm LANGUAGE=en TEMPLATE=top.htm DEVICE=1\n"
    "LANGUAGE and TEMPLATE name the template (html/<LANGUAGE>/<TEMPLATE>, else\n"
    "html/common/<TEMPLATE>); its compiled form is kept in cache/<LANGUAGE>/.\n"
    "\n"
    "  --root DIR    installation root: the request runs in DIR/bin, as the HTTP server does,\n"
    "                so templates come from DIR/html and compiled pages go to DIR/cache.\n"
    "                Without --root, $QM_ROOT is used; without either, the current folder is\n"
    "                taken as the server's folder (templates in ../html).\n"
    "  --trace MASK  trace threshold for this run (for example 0x8880); records go to\n"
    "                <root>/log/qbtrace.log.\n"
    "\n"
    "Exit status: 0 when the page was written, 1 when the interpreter could not be loaded or\n"
    "the output could not be written, 2 on a usage error.\n";

// The page is collected and written in large blocks, as a server would send it.
struct Sink {
    std::string buffer;
    bool failed = false;

    bool Flush() {
        size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, buffer.data() + done, buffer.size() - done);
            if (n <= 0) {
                failed = true;
                break;
            }
            done += static_cast<size_t>(n);
        }
        buffer.clear();
        return !failed;
    }
};

int32_t Output(void* context, int32_t /*kind*/, int32_t count, const char* bytes) {
    auto* sink = static_cast<Sink*>(context);
    if (count > 0 && bytes) sink->buffer.append(bytes, static_cast<size_t>(count));
    if (sink->buffer.size() >= (1u << 16) || count == 0) sink->Flush();
    return sink->failed ? -1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    qm::platform::ToolOptions options("qmpage", kUsage);
    options.Value("trace", [](const char* v) {
        char* end = nullptr;
        const unsigned long mask = std::strtoul(v, &end, 0);
        if (end == v || *end != '\0') return false;
        QbSetTraceLevel(static_cast<unsigned>(mask));
        return true;
    });
    if (auto done = options.Parse(argc, argv)) return *done;
    const std::vector<std::string>& pieces = options.operands();
    if (pieces.empty()) return options.UsageText();
    std::string root = options.root();
    if (root.empty()) {
        if (const char* env = std::getenv("QM_ROOT"); env && *env) root = env;
    }
    if (!root.empty()) {
        // The interpreter's paths (..\html\, ..\cache\) are relative to the server's folder,
        // which is the installation's bin/.
        setenv("QM_ROOT", root.c_str(), 1);
        const std::string bin = root + "/bin";
        if (chdir(bin.c_str()) != 0) {
            std::fprintf(stderr, "qmpage: cannot enter %s: %s\n", bin.c_str(), std::strerror(errno));
            return 1;
        }
    }

    std::string params;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i) params.push_back('|');
        params += pieces[i];
    }

    auto lib = qm::platform::LoadLibraryByName("qmintpr");
    auto init = reinterpret_cast<QmServiceInitializeFn>(qm::platform::LibrarySymbol(lib, "ServiceInitialize"));
    auto service = reinterpret_cast<QmServiceFn>(qm::platform::LibrarySymbol(lib, "Service"));
    auto release = reinterpret_cast<QmServiceReleaseFn>(qm::platform::LibrarySymbol(lib, "ServiceRelease"));
    if (!init || !service || !release) {
        std::fprintf(stderr, "qmpage: cannot load the page interpreter: %s\n",
                     qm::platform::LibraryError().c_str());
        return 1;
    }
    Sink sink;
    sink.buffer.reserve(1u << 16);
    void* svc = init(&sink, nullptr, Output);
    if (!svc) {
        std::fputs("qmpage: the page interpreter could not start\n", stderr);
        return 1;
    }
    service(svc, params.data());
    // The page is whole once the request ends; ending the tag libraries may take longer.
    sink.Flush();
    release(svc);
    sink.Flush();
    return sink.failed ? 1 : 0;
}
