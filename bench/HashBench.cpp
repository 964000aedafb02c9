// Our CRC-32 and SHA-1 against zlib's crc32 and OpenSSL's SHA-1, on 1 MiB and 64 MiB
// buffers, in one run. Last it prints one line per algorithm and size:
//   crc32 1MiB ours/reference 1.07
// (throughput ratio; higher is faster for us).

#include <benchmark/benchmark.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/data/Crc32.h"
#include "foundation/data/Sha1.h"

namespace {

const std::vector<unsigned char>& Buffer(std::size_t size) {
    static std::map<std::size_t, std::vector<unsigned char>> buffers;
    auto& b = buffers[size];
    if (b.empty()) {
        b.resize(size);
        std::mt19937 rng(7);
        for (auto& c : b) c = static_cast<unsigned char>(rng());
    }
    return b;
}

void OursCrc(benchmark::State& state) {
    const auto& b = Buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Crc32(b.data(), b.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void ZlibCrc(benchmark::State& state) {
    const auto& b = Buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(crc32_z(0, b.data(), b.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OursSha1(benchmark::State& state) {
    const auto& b = Buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(VelCryptSHA1::Hash(b.data(), b.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OpensslSha1(benchmark::State& state) {
    const auto& b = Buffer(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[20];
    for (auto _ : state) {
        SHA1(b.data(), b.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

constexpr int64_t kSizes[] = {1 << 20, 64 << 20};

// Collects bytes per second per benchmark name while the console reporter prints.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            const auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
        }
    }
    void PrintRatios() const {
        for (const char* algorithm : {"crc32", "sha1"}) {
            for (const int64_t size : kSizes) {
                const bool crc = std::string(algorithm) == "crc32";
                std::string ours = crc ? "OursCrc/" : "OursSha1/";
                std::string ref = crc ? "ZlibCrc/" : "OpensslSha1/";
                ours += std::to_string(size);
                ref += std::to_string(size);
                const auto a = rates_.find(ours), b = rates_.find(ref);
                if (a == rates_.end() || b == rates_.end() || b->second == 0) continue;
                std::printf("%s %lldMiB ours/reference %.2f\n", algorithm, static_cast<long long>(size >> 20),
                            a->second / b->second);
            }
        }
    }

private:
    std::map<std::string, double> rates_;
};

}  // namespace

BENCHMARK(OursCrc)->Arg(kSizes[0])->Arg(kSizes[1]);
BENCHMARK(ZlibCrc)->Arg(kSizes[0])->Arg(kSizes[1]);
BENCHMARK(OursSha1)->Arg(kSizes[0])->Arg(kSizes[1]);
BENCHMARK(OpensslSha1)->Arg(kSizes[0])->Arg(kSizes[1]);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintRatios();
    return 0;
}
