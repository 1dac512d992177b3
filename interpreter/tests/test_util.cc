// Helpers shared by the interpreter tests.
#include "test_util.h"

#include <cstring>

#include "compiler.h"
#include "page_reader.h"

namespace qm::intpr::test {

int32_t Capture::Callback(void* context, int32_t kind, int32_t count, const char* bytes) {
    auto* c = static_cast<Capture*>(context);
    if (kind != QM_OUTPUT_HTML) return -100;
    if (count == 0) {
        c->endCalls++;
        return 7;
    }
    c->calls++;
    c->text.append(bytes, static_cast<size_t>(count));
    if (c->stopAfter && c->text.size() >= c->stopAfter) return -1;
    return 0;
}

std::string CompileText(std::string_view text, const std::map<std::string, std::string>& files,
                        std::string* errors, bool* ok) {
    Capture capture;
    PageOutput out(&capture, &Capture::Callback);
    std::map<std::string, std::string> all = files;
    all["main.htm"] = std::string(text);
    Compiler compiler(
        [&all](std::string_view name, std::string& content) {
            auto it = all.find(std::string(name));
            if (it == all.end()) return false;
            content = it->second;
            return true;
        },
        out);
    std::string page;
    const bool result = compiler.CompileTemplate("main.htm", page);
    if (ok) *ok = result;
    if (errors) *errors = capture.text;
    return page;
}

std::string Describe(std::string_view records) {
    PageReader reader(records);
    std::string out;
    Record r;
    while (reader.Read(r)) {
        if (!out.empty()) out.push_back(' ');
        out.push_back(r.code);
        if (r.code == QM_REC_INTEGER && r.data.size() == 4) {
            int32_t v;
            std::memcpy(&v, r.data.data(), 4);
            out += "[" + std::to_string(v) + "]";
        } else if (!r.data.empty()) {
            out += "[" + std::string(r.data) + "]";
        }
    }
    return out;
}

std::string RunText(std::string_view text, const std::map<std::string, std::string>& vars,
                    LibraryTable* libraries) {
    Capture capture;
    PageContext context{PageOutput(&capture, &Capture::Callback), libraries, {}};
    bool ok = false;
    std::string errors;
    const std::string page = CompileText(text, {}, &errors, &ok);
    if (!ok) return "COMPILE: " + errors;
    for (const auto& [name, value] : vars) context.variables.Define(name, Value::Text(value));
    context.variables.Define("$ERROR_TAG_LEVEL");
    RunPage(context, page);
    return capture.text;
}

}  // namespace qm::intpr::test
