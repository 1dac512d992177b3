// Whole-process comparison: a loop page in qmpage against the same loop in PHP 8.2's CLI, both
// with buffered output, run alternately in one run; prints the medians and their ratio.
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

// Runs a program with stdout to /dev/null; seconds of wall time, or -1 on failure.
double Timed(const std::vector<std::string>& argv) {
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
    waitpid(pid, &status, 0);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
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
    if (Timed(page) < 0) {  // also builds the cache file, so every timed run is a cached page
        std::fprintf(stderr, "qmpage failed\n");
        return 1;
    }
    if (Timed(peer) < 0) {
        std::printf("loop page: %s is not available, no comparison (install php8.2-cli)\n", php.c_str());
        return 0;
    }
    std::vector<double> q, p;
    for (int i = 0; i < runs; ++i) {
        q.push_back(Timed(page));
        p.push_back(Timed(peer));
    }
    const double mq = Median(q), mp = Median(p);
    std::printf("loop page, 1,000,000 iterations, whole process, median of %d runs each:\n", runs);
    std::printf("  qmpage      %.1f ms\n  php8.2      %.1f ms\n", mq * 1e3, mp * 1e3);
    std::printf("ratio qmpage / php: %.2fx (target at most 1x)\n", mq / mp);
    return 0;
}
