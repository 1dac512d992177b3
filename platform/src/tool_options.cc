// getopt_long behind the tools' common options.
#include "qm/platform/tool_options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace qm::platform {

ToolOptions::ToolOptions(std::string program, std::string usage)
    : program_(std::move(program)), usage_(std::move(usage)) {
    Value("root", [this](const char* v) {
        if (!v[0]) return false;
        root_ = v;
        return setenv("QM_ROOT", v, 1) == 0;
    });
}

ToolOptions& ToolOptions::Flag(const char* name, bool* target, char shortName) {
    options_.push_back({name, shortName, false, [target](const char*) {
                            *target = true;
                            return true;
                        }});
    return *this;
}

ToolOptions& ToolOptions::Value(const char* name, std::function<bool(const char*)> apply,
                                char shortName) {
    options_.push_back({name, shortName, true, std::move(apply)});
    return *this;
}

ToolOptions& ToolOptions::Text(const char* name, std::string* target, char shortName) {
    return Value(name, [target](const char* v) {
        *target = v;
        return true;
    }, shortName);
}

int UsageError(const std::string& program, const std::string& what) {
    std::fprintf(stderr, "%s: %s (see --help)\n", program.c_str(), what.c_str());
    return kExitUsage;
}

int ToolOptions::Usage(const std::string& what) const { return UsageError(program_, what); }

int ToolOptions::UsageText() const {
    std::fputs(usage_.c_str(), stderr);
    return kExitUsage;
}

std::optional<int> ToolOptions::Parse(int argc, char** argv) {
    operands_.clear();
    // '+': the first operand ends the options; ':': a missing value is told apart.
    // Without '+' getopt_long moves the operands behind the options, keeping their order.
    std::string shorts = anywhere_ ? ":h" : "+:h";
    std::vector<option> longs;
    constexpr int kLongBase = 256;
    longs.push_back({"help", no_argument, nullptr, 'h'});
    for (size_t i = 0; i < options_.size(); ++i) {
        const Option& o = options_[i];
        longs.push_back({o.name.c_str(), o.takesValue ? required_argument : no_argument, nullptr,
                         kLongBase + static_cast<int>(i)});
        if (o.shortName) {
            shorts.push_back(o.shortName);
            if (o.takesValue) shorts.push_back(':');
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    auto byShort = [&](int c) -> const Option* {
        for (const Option& o : options_)
            if (o.shortName && o.shortName == c) return &o;
        return nullptr;
    };
    // The option getopt_long was looking at, for the messages.
    auto shown = [&](int at) { return at > 0 && at < argc ? std::string(argv[at]) : std::string("?"); };

    optind = 0;  // start afresh (GNU), also when a tool or a test parses twice
    opterr = 0;
    for (;;) {
        int index = -1;
        int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &index);
        if (c == -1) break;
        if (c == 'h') {
            std::fputs(usage_.c_str(), stdout);
            return kExitOk;
        }
        if (c == '?') {
            if (optopt >= kLongBase) {
                return Usage("option --" + options_[static_cast<size_t>(optopt - kLongBase)].name +
                             " takes no value");
            }
            std::string o = optopt ? "-" + std::string(1, static_cast<char>(optopt)) : shown(optind - 1);
            return Usage("unknown option " + o);
        }
        if (c == ':') {
            std::string o = optopt && optopt < kLongBase ? "-" + std::string(1, static_cast<char>(optopt))
                                                         : shown(optind - 1);
            return Usage("option " + o + " needs a value");
        }
        const Option* o = c >= kLongBase ? &options_[static_cast<size_t>(c - kLongBase)] : byShort(c);
        if (!o) return Usage("unknown option " + shown(optind - 1));
        const char* value = o->takesValue ? optarg : nullptr;
        if (!o->apply(value)) {
            return Usage("bad value for --" + o->name + ": " + std::string(value ? value : ""));
        }
    }
    for (int i = optind; i < argc; ++i) operands_.emplace_back(argv[i]);
    return std::nullopt;
}

}  // namespace qm::platform
