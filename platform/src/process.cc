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

    int report[2];  // exec errno (or the grandchild's pid) travels back through this pipe
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
            int32_t gp = grandchild;
            WriteAll(report[1], &gp, sizeof gp);
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
            int32_t e = -errno;
            WriteAll(report[1], &e, sizeof e);
            _exit(127);
        }
        execvp(program.c_str(), cargv.data());
        int32_t e = -errno;
        WriteAll(report[1], &e, sizeof e);
        _exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int32_t gp = 0, err = 0;
    ssize_t n1 = ::read(report[0], &gp, sizeof gp);
    ssize_t n2 = ::read(report[0], &err, sizeof err);  // empty when exec succeeded
    ::close(report[0]);
    if (n1 != sizeof gp || gp <= 0) return kErrGenFailure;
    if (n2 == sizeof err && err < 0) return WinErrorFromErrno(-err);
    if (pid) *pid = gp;
    return kOk;
}

}  // namespace qm::platform
