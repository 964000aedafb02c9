#pragma once
// What the archive benchmarks share: a scratch folder per run, seeded random bytes, a file
// sync, and a console reporter that prints "NAME ours/reference RATIO" (the reference's wall
// time over ours: higher is faster for us) for pairs of benchmarks after the run.
// Single-threaded benchmark mains only.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace Bench {

// "<temp>/<prefix>-<pid>", made on first use; the main removes it at the end.
inline const std::filesystem::path& WorkDir(const char* prefix) {
    static const std::filesystem::path dir = [prefix] {
        std::filesystem::path d = std::filesystem::temp_directory_path() / (std::string(prefix) + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937_64 rng(seed);
    for (std::size_t k = 0; k + 8 <= n; k += 8) {
        const std::uint64_t x = rng();
        std::memcpy(v.data() + k, &x, 8);
    }
    return v;
}

inline void SyncFile(const std::filesystem::path& p) {
    const int fd = ::open(p.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A pair to compare: the printed name, then our benchmark's function name and the reference's.
struct RatioPair {
    const char* name;
    const char* ours;
    const char* reference;
};

class TimeRatioReporter : public benchmark::ConsoleReporter {
public:
    explicit TimeRatioReporter(std::vector<RatioPair> pairs) : pairs_(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) ms_[r.run_name.function_name] = r.GetAdjustedRealTime();
    }
    void PrintRatios() const {
        for (const auto& p : pairs_) {
            const auto a = ms_.find(p.ours), b = ms_.find(p.reference);
            if (a == ms_.end() || b == ms_.end() || a->second == 0) continue;
            std::printf("%s ours/reference %.2f\n", p.name, b->second / a->second);
        }
    }
    // Wall time per iteration in milliseconds of one benchmark, or a negative value.
    double Milliseconds(const std::string& function) const {
        const auto it = ms_.find(function);
        return it != ms_.end() ? it->second : -1;
    }

private:
    std::vector<RatioPair> pairs_;
    std::map<std::string, double> ms_;
};

}  // namespace Bench
