// Starting a detached program, with the outcome of exec reported back to the caller.
#include "qm/platform/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qm/platform/errors.h"
#include "qm/platform/paths.h"

namespace qm::platform {

namespace {

// Our programs live in bin/ (CGI programs) or sbin/ (tools and services, out of the web
// server's reach).
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    for (const char* folder : {"bin", "sbin"}) {
        std::string inFolder = RootPath(folder) + "/" + name;
        if (access(inFolder.c_str(), X_OK) == 0) return inFolder;
        // Windows names of our own programs ("qntpset.exe") map onto the Linux ones.
        if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0) {
            std::string bare = RootPath(folder) + "/" + name.substr(0, name.size() - 4);
            if (access(bare.c_str(), X_OK) == 0) return bare;
        }
    }
    return name;  // execvp searches PATH
}

// One message of the start-up pipe.
struct Report {
    int32_t kind;
    int32_t value;
};
constexpr int32_t kReportPid = 1;    // value: the program's pid
constexpr int32_t kReportErrno = 2;  // value: errno of the failed chdir or exec

bool WriteAll(int fd, const void* p, size_t n) {
    return ::write(fd, p, n) == static_cast<ssize_t>(n);
}

}  // namespace

int StartDetached(const std::vector<std::string>& argv, const std::string& workDir, int* pid) {
    if (argv.empty() || argv[0].empty()) return kErrInvalidParameter;
    std::string program = FindProgram(ToPosixPath(argv[0]));
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (auto& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    // The intermediate child reports the program's pid and the program reports a failed exec
    // through one pipe. Either may write first, so every message says what it is.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return WinErrorFromErrno(errno);
    pid_t child = fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return WinErrorFromErrno(errno);
    }
    if (child == 0) {
        // Intermediate: start a new session and fork again so nobody has to reap the program.
        ::close(report[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild < 0) _exit(1);
        if (grandchild > 0) {
            const Report r{kReportPid, grandchild};
            WriteAll(report[1], &r, sizeof r);
            _exit(0);
        }
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            if (devnull > 2) ::close(devnull);
        }
        if (!workDir.empty() && chdir(ToPosixPath(workDir).c_str()) != 0) {
            const Report r{kReportErrno, errno};
            WriteAll(report[1], &r, sizeof r);
            _exit(127);
        }
        execvp(program.c_str(), cargv.data());
        const Report r{kReportErrno, errno};
        WriteAll(report[1], &r, sizeof r);
        _exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Messages until every writer is gone: the intermediate has exited, and the program's end
    // closes on exec (close-on-exec) or after it reported the failure.
    int32_t gp = 0, err = 0;
    for (;;) {
        Report r{};
        ssize_t n = ::read(report[0], &r, sizeof r);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof r)) break;  // end (8-byte writes to a pipe are whole)
        if (r.kind == kReportPid) gp = r.value;
        else if (r.kind == kReportErrno) err = r.value;
    }
    ::close(report[0]);
    if (err != 0) return WinErrorFromErrno(err);
    if (gp <= 0) return kErrGenFailure;
    if (pid) *pid = gp;
    return kOk;
}

}  // namespace qm::platform
