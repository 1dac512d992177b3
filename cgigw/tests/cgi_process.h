// Runs a CGI program as the HTTP server would: a clean environment, the body on standard
// input, the answer read from standard output.
#pragma once

#include <map>
#include <string>

namespace qm::cgigw::testing {

struct CgiResult {
    int status = -1;      // exit status; negative for a signal or a time-out
    std::string output;   // everything written to standard output
};

using Env = std::map<std::string, std::string>;

// `env` is the child's whole environment (plus LD_LIBRARY_PATH and the sanitizer options of
// this process, so that a program copied out of the build still finds its libraries).
CgiResult RunCgi(const std::string& program, const Env& env, const std::string& body,
                 const std::string& workDir);

// The build's copy of a program.
std::string BuiltProgram(const std::string& name);

}  // namespace qm::cgigw::testing
