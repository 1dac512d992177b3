// Whole-process comparison: a loop page in qmpage against the same loop in PHP 8.2's CLI, both
// with buffered output, run alternately in one run; prints the medians and their ratio.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qm/testing/testing.h"

namespace {

namespace fs = std::filesystem;

struct Timing {
    double wall = -1;  // seconds
    double cpu = -1;   // user + system seconds of the child
};

// Runs a program with stdout to /dev/null.
Timing Timed(const std::vector<std::string>& argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (FILE* null = std::freopen("/dev/null", "w", stdout); !null) _exit(127);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage{};
    wait4(pid, &status, 0, &usage);
    Timing t;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return t;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    t.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return t;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 11;
    const std::string php = argc > 2 ? argv[2] : "php8.2";
    qm::testing::TempRoot root;
    std::ofstream(root / "html/en/loop.htm")
        << "[% $N = 0 %][% WHILE ($N < 1000000) %][% $N = $N + 1 %][% OUTHTML(\"ab\") %][% ENDWHILE %]";
    const std::string script = root / "loop.php";
    std::ofstream(script) << "<?php ob_start(); $n = 0; while ($n < 1000000) { $n = $n + 1; echo \"ab\"; } ob_end_flush();\n";

    const std::string qmpage = qm::testing::BuildBinFolder() + "/qmpage";
    const std::vector<std::string> page = {qmpage, "--root", root.path(), "LANGUAGE=en", "TEMPLATE=loop.htm"};
    const std::vector<std::string> peer = {php, script};
    if (Timed(page).wall < 0) {  // also builds the cache file, so every timed run is a cached page
        std::fprintf(stderr, "qmpage failed\n");
        return 1;
    }
    if (Timed(peer).wall < 0) {
        std::printf("loop page: %s is not available, no comparison (install php8.2-cli)\n", php.c_str());
        return 0;
    }
    std::vector<double> qw, qc, pw, pc;
    for (int i = 0; i < runs; ++i) {
        const Timing q = Timed(page), p = Timed(peer);
        qw.push_back(q.wall);
        qc.push_back(q.cpu);
        pw.push_back(p.wall);
        pc.push_back(p.cpu);
    }
    std::printf("loop page, 1,000,000 iterations, whole process, median of %d alternating runs each:\n", runs);
    std::printf("  qmpage   wall %6.1f ms   cpu %6.1f ms\n", Median(qw) * 1e3, Median(qc) * 1e3);
    std::printf("  php8.2   wall %6.1f ms   cpu %6.1f ms\n", Median(pw) * 1e3, Median(pc) * 1e3);
    std::printf("ratio qmpage / php: %.2fx wall, %.2fx cpu (target at most 1x)\n", Median(qw) / Median(pw),
                Median(qc) / Median(pc));
    return 0;
}
