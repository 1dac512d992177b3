// Options of the command-line tools, over getopt_long, so that every tool answers --help,
// takes --root and reports a wrong call the same way.
//
// Contract: every tool has --help/-h (its usage text on standard output, exit 0) and
// --root DIR (the installation root: sets $QM_ROOT for the platform layer). Options come
// before the operands; the first operand ends them (so a value such as "-5" after it stays an
// operand) unless the tool asks for OptionsAnywhere, and "--" ends them too. A wrong call prints one line "<tool>: <what> (see --help)"
// on standard error and exits 2; a failure of the work itself exits 1. Not thread-safe
// (getopt_long keeps global state); call it from main. Nothing throws except allocation.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm::platform {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Writes "<program>: <what> (see --help)" on standard error and returns 2: the one form of a
// wrong call, also for checks made far from main.
int UsageError(const std::string& program, const std::string& what);

class ToolOptions {
public:
    // `usage` is the whole --help text.
    ToolOptions(std::string program, std::string usage);

    // An option without a value.
    ToolOptions& Flag(const char* name, bool* target, char shortName = 0);
    // An option with a value; `apply` returns false for a value it cannot use, which is then
    // reported as "bad value for --<name>: <value>".
    ToolOptions& Value(const char* name, std::function<bool(const char*)> apply, char shortName = 0);
    // An option with a text value stored as given.
    ToolOptions& Text(const char* name, std::string* target, char shortName = 0);
    // Options may also follow operands (for tools whose operands never begin with "-");
    // "--" still ends them.
    ToolOptions& OptionsAnywhere() {
        anywhere_ = true;
        return *this;
    }

    // Parses argv. An exit code when the tool has to end now (0 after --help, 2 after a wrong
    // call); otherwise nothing, and operands() holds what follows the options.
    std::optional<int> Parse(int argc, char** argv);

    const std::vector<std::string>& operands() const { return operands_; }
    // The --root value, "" when not given.
    const std::string& root() const { return root_; }

    // Reports a wrong call found after parsing (a missing operand, an unknown command) the same
    // way, and returns 2.
    int Usage(const std::string& what) const;
    // Prints the usage text on standard error and returns 2 (a call with nothing to do).
    int UsageText() const;

private:
    struct Option {
        std::string name;
        char shortName;
        bool takesValue;
        std::function<bool(const char*)> apply;
    };
    std::string program_, usage_, root_;
    std::vector<Option> options_;
    std::vector<std::string> operands_;
    bool anywhere_ = false;
};

}  // namespace qm::platform
