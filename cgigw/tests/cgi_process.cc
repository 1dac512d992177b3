// Running CGI programs as child processes for the gateway tests.
#include "cgi_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "qm/testing/testing.h"

namespace qm::cgigw::testing {

std::string BuiltProgram(const std::string& name) { return qm::testing::BuildBinFolder() + "/" + name; }

CgiResult RunCgi(const std::string& program, const Env& env, const std::string& body,
                 const std::string& workDir) {
    char inName[] = "/tmp/qmcgi-in-XXXXXX";
    char outName[] = "/tmp/qmcgi-out-XXXXXX";
    int in = mkstemp(inName);
    int out = mkstemp(outName);
    CgiResult result;
    if (in < 0 || out < 0) return result;
    if (!body.empty() && write(in, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
        return result;
    }
    lseek(in, 0, SEEK_SET);

    std::vector<std::string> vars;
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    vars.push_back("LD_LIBRARY_PATH=" + qm::testing::BuildBinFolder());
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TMPDIR"}) {
        if (const char* v = std::getenv(keep)) vars.push_back(std::string(keep) + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : vars) envp.push_back(s.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(workDir.c_str()) != 0) _exit(120);
        dup2(in, 0);
        dup2(out, 1);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(121);
    }
    close(in);
    close(out);
    unlink(inName);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            unlink(outName);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    std::ifstream f(outName, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    result.output = ss.str();
    unlink(outName);
    return result;
}

}  // namespace qm::cgigw::testing
