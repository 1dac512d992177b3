// Costs of the foundation: a trace call that writes nothing, and the wake-up latency of a named
// event between two processes next to a pipe round trip between the same two processes.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "QBUtil.h"
#include "qm/platform/named_objects.h"
#include "qm/testing/testing.h"

namespace {

void BM_TraceOff(benchmark::State& state) {
    QbSetTraceLevel(0);
    int i = 0;
    for (auto _ : state) {
        QbTrace(QB_TRACE_INFO, "bench", __LINE__, "QMDBMGR: DBReadQMInfo[IN] Item=%s %d",
                "QMC_MaxLogSize", ++i);
    }
    QbSetTraceLevel(QB_TRACE_ERROR);
}
BENCHMARK(BM_TraceOff);

void BM_TraceOnToFile(benchmark::State& state) {
    qm::testing::TempRoot root;
    QbSetTraceLevel(QB_TRACE_ALL);
    int i = 0;
    for (auto _ : state) {
        QbTrace(QB_TRACE_INFO, "bench", __LINE__, "QMDBMGR: DBReadQMInfo[IN] Item=%s %d",
                "QMC_MaxLogSize", ++i);
    }
    QbSetTraceLevel(QB_TRACE_ERROR);
}
BENCHMARK(BM_TraceOnToFile);

// Round trip over one auto-reset event, the way a control command and its acknowledgement
// travel: the parent sets and waits, the child wakes, sets back and waits again.
void BM_EventRoundTripBetweenProcesses(benchmark::State& state) {
    qm::testing::TempRoot root;
    qm::platform::NamedEvent ev;
    ev.Create("BenchPing", false);
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_t child = fork();
    if (child == 0) {
        qm::platform::NamedEvent e;
        e.Open("BenchPing");
        char c = 'r';
        if (write(ready[1], &c, 1) != 1) _exit(1);
        for (;;) {
            if (e.Wait() != 0) _exit(2);
            e.Set();
        }
    }
    char c;
    if (read(ready[0], &c, 1) != 1) return;
    for (auto _ : state) {
        ev.Set();
        ev.Wait();
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}
BENCHMARK(BM_EventRoundTripBetweenProcesses)->UseRealTime();

void BM_PipeRoundTripBetweenProcesses(benchmark::State& state) {
    int there[2], back[2];
    if (pipe(there) != 0 || pipe(back) != 0) return;
    pid_t child = fork();
    if (child == 0) {
        close(there[1]);  // or the read below never sees the end
        close(back[0]);
        char c;
        while (read(there[0], &c, 1) == 1) {
            if (write(back[1], &c, 1) != 1) break;
        }
        _exit(0);
    }
    char c = 'x';
    for (auto _ : state) {
        if (write(there[1], &c, 1) != 1 || read(back[0], &c, 1) != 1) break;
    }
    close(there[1]);
    waitpid(child, nullptr, 0);
    close(there[0]);
    close(back[0]);
    close(back[1]);
}
BENCHMARK(BM_PipeRoundTripBetweenProcesses)->UseRealTime();

void BM_MutexUncontended(benchmark::State& state) {
    qm::testing::TempRoot root;
    qm::platform::NamedMutex m;
    m.Create("BenchMutex");
    for (auto _ : state) {
        m.Wait();
        m.Release();
    }
}
BENCHMARK(BM_MutexUncontended);

}  // namespace

BENCHMARK_MAIN();
