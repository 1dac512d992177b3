// Fuzzes the template compiler: any template text, including one that includes itself, must
// compile or fail with one error line, quickly, without deep recursion, and whatever it writes
// must read back as a well-formed stream of records the executor accepts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "compiler.h"
#include "page_reader.h"

namespace {

int32_t CountLines(void* context, int32_t, int32_t count, const char*) {
    if (count > 0) ++*static_cast<int*>(context);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int errorLines = 0;
    qm::intpr::PageOutput out(&errorLines, &CountLines);
    qm::intpr::CompileLimits limits;
    limits.maxIncludes = 32;  // every name includes the input itself; keep one run short
    limits.maxText = 1u << 20;
    limits.maxPage = 8u << 20;
    qm::intpr::Compiler compiler(
        [&text](std::string_view name, std::string& content) {
            if (name == "missing") return false;
            content = text;
            return true;
        },
        out, limits);
    std::string page;
    const bool ok = compiler.CompileTemplate("main.htm", page);
    if (ok != (errorLines == 0) || errorLines > 1) std::abort();

    // Every record the compiler wrote must read back, up to the very end of the page: nothing
    // longer than the executor's record limit is ever written. Blocks never nest deeper than
    // the executor runs.
    qm::intpr::PageReader reader(page);
    qm::intpr::Record r;
    int blocks = 0;
    while (reader.position() < page.size()) {
        if (reader.Read(r) == 0) std::abort();
        if (r.code == QM_REC_IF || r.code == QM_REC_WHILE || r.code == QM_REC_SWITCH) ++blocks;
        if (r.code == QM_REC_ENDIF || r.code == QM_REC_ENDWHILE || r.code == QM_REC_ENDSWITCH) blocks = blocks > 0 ? blocks - 1 : 0;
        if (blocks > QM_PAGE_MAX_BLOCK_DEPTH) std::abort();
    }
    return 0;
}
