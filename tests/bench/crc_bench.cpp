// Record CRC throughput: gen_crc against zlib's crc32 over the same 256 MiB buffer in one run,
// and the ratio of the two. Each benchmark repetition yields one throughput; the summary gives
// the best and the median repetition of each and their ratios.
//
//   crc_bench [benchmark flags]   time both (scripts/bench-crc passes interleaved repetitions)
//   crc_bench --probe [MiB]       one gen_crc call over MiB (default 16) MiB, for callgrind:
//                                 valgrind --tool=callgrind --toggle-collect='gen_crc*' ...
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crc/crc.hpp"

namespace {

constexpr std::size_t BENCH_BYTES = std::size_t{256} << 20;

// Pseudo-random bytes, written byte by byte.
std::vector<std::uint8_t> make_buffer(std::size_t n) {
    std::vector<std::uint8_t> buf(n);
    std::uint32_t x = 0x9E3779B9u;
    for (auto& b : buf) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return buf;
}

const std::vector<std::uint8_t>& bench_buffer() {
    static const std::vector<std::uint8_t> buf = make_buffer(BENCH_BYTES);
    return buf;
}

// The two must agree (gen_crc is the complement of zlib's CRC-32) before their speeds mean
// anything.
bool results_agree() {
    const auto& buf = bench_buffer();
    const std::uint32_t ours =
        gen_crc(buf.data(), static_cast<std::uint32_t>(buf.size()), CRC_START);
    const auto theirs =
        static_cast<std::uint32_t>(crc32(0, buf.data(), static_cast<uInt>(buf.size())));
    return ours == static_cast<std::uint32_t>(~theirs);
}

void bm_gen_crc(benchmark::State& state) {
    const auto& buf = bench_buffer();
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(
            gen_crc(buf.data(), static_cast<std::uint32_t>(buf.size()), CRC_START));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buf.size()));
}

void bm_zlib_crc32(benchmark::State& state) {
    const auto& buf = bench_buffer();
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(crc32(0, buf.data(), static_cast<uInt>(buf.size())));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buf.size()));
}

// Rates are per second of process CPU time, not of wall time: the build machines are shared, and
// the time a run spends descheduled says nothing about either routine.
BENCHMARK(bm_gen_crc)->Name("gen_crc")->Unit(benchmark::kMillisecond);
BENCHMARK(bm_zlib_crc32)->Name("zlib_crc32")->Unit(benchmark::kMillisecond);

// The console table as usual, plus each repetition's throughput kept for the summary.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}  // no colours: the output goes to logs

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            const auto rate = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                rate != run.counters.end()) {
                rates_[run.run_name.function_name].push_back(rate->second.value);
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    // Best and median throughput in GB/s (10^9 bytes per second); 0 when the name never ran.
    double best(const std::string& name) const {
        const auto it = rates_.find(name);
        return it == rates_.end() ? 0.0
                                  : *std::max_element(it->second.begin(), it->second.end()) / 1e9;
    }
    double median(const std::string& name) const {
        const auto it = rates_.find(name);
        if (it == rates_.end()) {
            return 0.0;
        }
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        const std::size_t m = v.size() / 2;
        return (v.size() % 2 != 0 ? v[m] : (v[m - 1] + v[m]) / 2) / 1e9;
    }
    std::size_t runs(const std::string& name) const {
        const auto it = rates_.find(name);
        return it == rates_.end() ? 0 : it->second.size();
    }

private:
    std::map<std::string, std::vector<double>> rates_;
};

int probe(int argc, char** argv) {
    const long mib = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 16;
    if (mib <= 0 || mib > 4095) {
        std::fprintf(stderr, "crc_bench --probe: size in MiB, 1..4095\n");
        return 2;
    }
    const std::vector<std::uint8_t> buf = make_buffer(static_cast<std::size_t>(mib) << 20);
    const std::uint32_t crc =
        gen_crc(buf.data(), static_cast<std::uint32_t>(buf.size()), CRC_START);
    std::printf("gen_crc over %zu bytes: 0x%08x\n", buf.size(), static_cast<unsigned>(crc));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) {
        return probe(argc, argv);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    if (!results_agree()) {
        std::fprintf(stderr, "gen_crc and zlib crc32 disagree on the benchmark buffer\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double ours_best = reporter.best("gen_crc");
    const double zlib_best = reporter.best("zlib_crc32");
    if (ours_best <= 0.0 || zlib_best <= 0.0) {
        return 0;  // a filter left one of them out: no ratio
    }
    const double ours_median = reporter.median("gen_crc");
    const double zlib_median = reporter.median("zlib_crc32");
    std::printf("\nCRC-32 over %zu MiB, %zu repetitions each (GB/s = 10^9 bytes/s)\n",
                BENCH_BYTES >> 20, reporter.runs("gen_crc"));
    std::printf("  gen_crc     best %6.2f GB/s   median %6.2f GB/s\n", ours_best, ours_median);
    std::printf("  zlib crc32  best %6.2f GB/s   median %6.2f GB/s\n", zlib_best, zlib_median);
    std::printf("  gen_crc / zlib crc32: %.2fx (best), %.2fx (median)\n", ours_best / zlib_best,
                ours_median / zlib_median);
    return 0;
}
