// Micro-benchmarks of the SNMP coder's hot paths: building a request, decoding a table answer
// and reading its bindings one by one as the gateway's callers do.
#include <benchmark/benchmark.h>

#include <string>

#include "qm/snmp/ber.h"
#include "qm/snmp/message.h"

namespace {

using namespace qm::snmp;

// A get-bulk answer of `rows` supply-level bindings, as a printer sends it.
std::vector<uint8_t> TableAnswer(int rows) {
    BerWriter w;
    size_t msg = w.Open(tag::kSequence);
    w.AddInteger(1);
    w.AddText("tarlow");
    size_t body = w.Open(pdu::kResponse);
    w.AddInteger(0x01234567);
    w.AddInteger(0);
    w.AddInteger(0);
    size_t list = w.Open(tag::kSequence);
    for (int i = 1; i <= rows; ++i) {
        size_t vb = w.Open(tag::kSequence);
        Oid oid = {1, 3, 6, 1, 2, 1, 43, 11, 1, 1, 9, 1, static_cast<uint32_t>(i)};
        w.AddOid(oid);
        w.AddInteger(i % 100);
        w.Close(vb);
    }
    w.Close(list);
    w.Close(body);
    w.Close(msg);
    return w.Take();
}

void BM_EncodeGetRequest(benchmark::State& state) {
    Request r;
    r.community = "tarlow";
    r.requestId = 0x01234567;
    Oid oid;
    ParseOidText("1.3.6.1.4.1.40404.1.1.3.1.4.4.0", &oid);
    r.bindings.push_back({oid, {}});
    for (auto _ : state) benchmark::DoNotOptimize(EncodeRequest(r));
}
BENCHMARK(BM_EncodeGetRequest);

void BM_DecodeTableAnswer(benchmark::State& state) {
    std::vector<uint8_t> answer = TableAnswer(static_cast<int>(state.range(0)));
    Message m;
    for (auto _ : state) {
        benchmark::DoNotOptimize(DecodeMessage(answer, &m));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeTableAnswer)->Arg(25)->Arg(1000);

void BM_FindEveryBinding(benchmark::State& state) {
    std::vector<uint8_t> answer = TableAnswer(static_cast<int>(state.range(0)));
    BerElement oid, value;
    for (auto _ : state) {
        for (size_t i = 0; i < static_cast<size_t>(state.range(0)); ++i) {
            benchmark::DoNotOptimize(FindBinding(answer, i, &oid, &value));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FindEveryBinding)->Arg(25)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
