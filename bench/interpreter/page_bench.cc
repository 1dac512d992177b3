// Interpreter benchmarks: a cached text-heavy page through Service against writing the same
// bytes from memory through the same callback, and compiling a 100 KB template.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "compiler.h"
#include "qm/platform/library.h"
#include "qm/testing/testing.h"
#include "qmintpr/qmintpr.h"

namespace {

namespace fs = std::filesystem;

// The host side: copies every piece into a reusable buffer, as a server fills its send buffer.
struct Host {
    std::string buffer;
    size_t total = 0;
    bool recording = false;
    std::string recorded;
    std::vector<size_t> pieces;
};

int32_t Output(void* context, int32_t, int32_t count, const char* bytes) {
    auto* host = static_cast<Host*>(context);
    if (count > 0) {
        host->buffer.assign(bytes, static_cast<size_t>(count));
        host->total += static_cast<size_t>(count);
        if (host->recording) {
            host->recorded.append(bytes, static_cast<size_t>(count));
            host->pieces.push_back(static_cast<size_t>(count));
        }
    }
    return 0;
}

// About 256 KB of table rows with a few tags, the shape of a device list page.
std::string TextHeavyTemplate() {
    std::string t = "<HTML><BODY>[% $TITLE = \"Devices\" %]<H1>[% OUTHTML($TITLE) %]</H1>\n<TABLE>\n";
    for (int i = 0; t.size() < 256 * 1024; ++i) {
        t += "<TR><TD class=\"name\">Printer " + std::to_string(i) + "</TD><TD>192.168.0." +
             std::to_string(i % 250) + "</TD><TD>Ready</TD></TR>\n";
    }
    return t + "</TABLE></BODY></HTML>\n";
}

// One installation root with the interpreter loaded by name, as the HTTP server has it.
struct Installation {
    qm::testing::TempRoot root;
    fs::path previous = fs::current_path();
    qm::platform::LibraryHandle lib = nullptr;
    QmServiceFn service = nullptr;
    QmServiceReleaseFn release = nullptr;
    void* svc = nullptr;
    Host host;

    Installation() {
        fs::current_path(root / "bin");
        std::ofstream(root / "html/en/devices.htm") << TextHeavyTemplate();
        lib = qm::platform::LoadLibraryByName("qmintpr");
        auto init = reinterpret_cast<QmServiceInitializeFn>(qm::platform::LibrarySymbol(lib, "ServiceInitialize"));
        service = reinterpret_cast<QmServiceFn>(qm::platform::LibrarySymbol(lib, "Service"));
        release = reinterpret_cast<QmServiceReleaseFn>(qm::platform::LibrarySymbol(lib, "ServiceRelease"));
        svc = init(&host, nullptr, &Output);
        Request();  // builds the cache file
        host.recording = true;
        Request();  // what a cached request writes, piece by piece, for the peer
        host.recording = false;
    }
    ~Installation() {
        release(svc);
        fs::current_path(previous);
    }
    void Request() {
        std::string params = "LANGUAGE=en|TEMPLATE=devices.htm";
        service(svc, params.data());
    }
};

Installation& Shared() {
    static Installation installation;
    return installation;
}

void BM_CachedTextPage(benchmark::State& state) {
    Installation& inst = Shared();
    for (auto _ : state) inst.Request();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * inst.host.recorded.size()));
}
BENCHMARK(BM_CachedTextPage);

// The peer: the same bytes, in the same pieces, through the same callback, from memory.
void BM_SameBytesFromMemory(benchmark::State& state) {
    Installation& inst = Shared();
    Host& host = inst.host;
    for (auto _ : state) {
        size_t at = 0;
        for (size_t n : host.pieces) {
            Output(&host, 1, static_cast<int32_t>(n), host.recorded.data() + at);
            at += n;
        }
        Output(&host, 1, 0, nullptr);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * host.recorded.size()));
}
BENCHMARK(BM_SameBytesFromMemory);

// A 100 KB template: a page of rows with macros, and includes of a header and footer part.
void BM_Compile100KTemplate(benchmark::State& state) {
    std::map<std::string, std::string> files;
    files["head.htm"] = "[% #DEFINE TITLE \"Printer list\" %][% #DEFINE ROWCLASS class=\"row\" %]<HEAD><TITLE>TITLE</TITLE></HEAD>\n";
    files["foot.htm"] = "<P>[% OUTHTML($COUNT) %] printers</P>\n";
    std::string main = "[% #INCLUDE head.htm %]<BODY>[% $COUNT = 0 %]\n";
    for (int i = 0; main.size() < 100 * 1024; ++i) {
        main += "<TR ROWCLASS><TD>TITLE " + std::to_string(i) +
                "</TD>[% IF ($ROW == " + std::to_string(i) + ") %]<TD>[% OUTHTML($R[" +
                std::to_string(i % 7) + "].OID, $R[1].TYPE) %]</TD>[% ENDIF %][% $COUNT = $COUNT + 1 %]</TR>\n";
    }
    main += "[% #INCLUDE foot.htm %]</BODY>\n";
    files["main.htm"] = main;
    qm::intpr::PageOutput out(nullptr, nullptr);
    size_t bytes = 0;
    for (auto _ : state) {
        qm::intpr::Compiler compiler(
            [&files](std::string_view name, std::string& content) {
                auto it = files.find(std::string(name));
                if (it == files.end()) return false;
                content = it->second;
                return true;
            },
            out);
        std::string page;
        if (!compiler.CompileTemplate("main.htm", page)) state.SkipWithError("compile failed");
        bytes = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["template_bytes"] = static_cast<double>(main.size());
    state.counters["page_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Compile100KTemplate)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time so that the ratio can be printed at the end of the run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            times[r.benchmark_name()] = r.GetAdjustedRealTime();
            cpu[r.benchmark_name()] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto page = reporter.times.find("BM_CachedTextPage");
    auto peer = reporter.times.find("BM_SameBytesFromMemory");
    if (page != reporter.times.end() && peer != reporter.times.end() && peer->second > 0) {
        std::printf("ratio cached text page / same bytes from memory: %.2fx wall, %.2fx cpu (target at most 3x)\n",
                    page->second / peer->second,
                    reporter.cpu["BM_CachedTextPage"] / reporter.cpu["BM_SameBytesFromMemory"]);
    }
    benchmark::Shutdown();
    return 0;
}
