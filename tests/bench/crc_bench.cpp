// Record CRC throughput: gen_crc against zlib's crc32 over one 256 MiB buffer, and the ratio of
// their median rates. `crc_bench --probe [MiB]`: one gen_crc call over MiB MiB, for callgrind.
#include <benchmark/benchmark.h>
#include <zlib.h>

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

struct Reporter : benchmark::ConsoleReporter {
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median") {
                median[r.run_name.function_name] = r.counters.at("bytes_per_second");
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> median;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) {
        const auto probe = make_buffer(std::size_t(argc > 2 ? std::atoi(argv[2]) : 16) << 20);
        std::printf("gen_crc: 0x%08x\n",
                    gen_crc(probe.data(), static_cast<std::uint32_t>(probe.size()), CRC_START));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.median.size() == 2) {
        std::printf("\ngen_crc / zlib crc32 (median rates): %.2fx\n",
                    reporter.median["gen_crc"] / reporter.median["zlib_crc32"]);
    }
}
