// Record CRC throughput: gen_crc against zlib's crc32 over one 256 MiB buffer, with the best and
// median repetition of each and their ratios (scripts/bench-crc passes interleaved repetitions).
// `crc_bench --probe [MiB]`: one gen_crc call over MiB (default 16) MiB, for callgrind.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "crc/crc.hpp"

namespace {

std::vector<std::uint8_t> make_buffer(std::size_t n) {
    std::vector<std::uint8_t> buf(n);
    std::uint32_t x = 0x9E3779B9u;
    for (auto& b : buf) {  // xorshift32
        x ^= x << 13, x ^= x >> 17, b = static_cast<std::uint8_t>(x ^= x << 5);
    }
    return buf;
}

constexpr std::uint32_t n = 256u << 20;
const std::uint8_t* data() {
    static const std::vector<std::uint8_t> buf = make_buffer(n);  // not made for --probe
    return buf.data();
}

// Rates per second of process CPU time: the machines are shared.
void run(benchmark::State& state, bool zlib) {
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(zlib ? crc32(0, data(), n) : gen_crc(data(), n, CRC_START));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK_CAPTURE(run, gen_crc, false)->Name("gen_crc")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, zlib_crc32, true)->Name("zlib_crc32")->Unit(benchmark::kMillisecond);

// The usual table, with each repetition's throughput (GB/s) kept for the summary.
struct Reporter : benchmark::ConsoleReporter {
    Reporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                rates[r.run_name.function_name].push_back(r.counters.at("bytes_per_second") / 1e9);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::vector<double>> rates;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) {
        const auto probe = make_buffer(
            static_cast<std::size_t>(std::clamp(argc > 2 ? std::atol(argv[2]) : 16L, 1L, 4095L))
            << 20);
        std::printf("gen_crc: 0x%08x\n",
                    gen_crc(probe.data(), static_cast<std::uint32_t>(probe.size()), CRC_START));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    if (gen_crc(data(), n, CRC_START) != ~static_cast<std::uint32_t>(crc32(0, data(), n))) {
        std::fprintf(stderr, "gen_crc and zlib crc32 disagree on the benchmark buffer\n");
        return 1;
    }
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double best[2], median[2];
    for (int i = 0; i < 2; ++i) {
        auto& v = reporter.rates[i == 0 ? "gen_crc" : "zlib_crc32"];
        if (v.empty()) {
            return 0;  // a filter left it out: no ratio
        }
        std::sort(v.begin(), v.end());
        best[i] = v.back();
        median[i] = (v[v.size() / 2] + v[(v.size() - 1) / 2]) / 2;
    }
    std::printf("\nCRC-32 over %u MiB, %zu repetitions each (GB/s = 10^9 bytes/s)\n", n >> 20,
                reporter.rates["gen_crc"].size());
    std::printf("  gen_crc     best %6.2f GB/s   median %6.2f GB/s\n", best[0], median[0]);
    std::printf("  zlib crc32  best %6.2f GB/s   median %6.2f GB/s\n", best[1], median[1]);
    std::printf("  gen_crc / zlib crc32: %.2fx (best), %.2fx (median)\n", best[0] / best[1],
                median[0] / median[1]);
}
