// The small-block allocator against glibc's malloc and free, on the launcher's own mix of
// blocks, at one and at eight threads (each thread runs the same mix on its own data):
//   one round builds a map of 64 setting-like texts (strings of 16 to 80 characters, the map's
//   nodes), 64 shared objects made with allocate_shared (control block and object in one
//   block), a vector of their pointers growing by push_back, a byte buffer growing to 2 KiB
//   (the large blocks), and replaces 32 of 256 texts that live across rounds; then it drops the
//   round's containers.
// Both sides run the identical code through an allocator template that calls either
// TaggedAlloc/TaggedFree or malloc/free. Last it prints "NAME ours/reference RATIO" for
// alloc_mix_1t and alloc_mix_8t (the reference's wall time over ours: higher is faster for us).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "foundation/runtime/SmallBlockAllocator.h"

namespace {

struct Ours {
    static void* Alloc(std::size_t n) { return TaggedAlloc(kGlobalNewCategory, n); }
    static void Free(void* p) { TaggedFree(kGlobalNewCategory, p); }
};

struct Glibc {
    static void* Alloc(std::size_t n) { return std::malloc(n); }
    static void Free(void* p) { std::free(p); }
};

template <typename T, typename Backend>
struct MixAllocator {
    using value_type = T;
    MixAllocator() = default;
    template <typename U>
    MixAllocator(const MixAllocator<U, Backend>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(Backend::Alloc(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) { Backend::Free(p); }
    template <typename U>
    bool operator==(const MixAllocator<U, Backend>&) const { return true; }
};

template <typename Backend>
struct Mix {
    template <typename T>
    using Alloc = MixAllocator<T, Backend>;
    using String = std::basic_string<char, std::char_traits<char>, Alloc<char>>;
    struct Item {
        int id;
        double progress;
        String name;
    };

    std::mt19937 rng{7};
    std::vector<String, Alloc<String>> retained{256};

    String Text(std::size_t length) { return String(length, static_cast<char>('a' + rng() % 26)); }

    void Round() {
        std::map<int, String, std::less<int>, Alloc<std::pair<const int, String>>> settings;
        for (int k = 0; k < 64; ++k) settings.emplace(static_cast<int>(rng() % 1000), Text(16 + rng() % 65));

        std::vector<std::shared_ptr<Item>, Alloc<std::shared_ptr<Item>>> items;
        for (int k = 0; k < 64; ++k)
            items.push_back(std::allocate_shared<Item>(Alloc<Item>(), Item{k, 0.5, Text(rng() % 40)}));

        std::vector<char, Alloc<char>> buffer;
        for (int k = 0; k < 2048; ++k) buffer.push_back(static_cast<char>(k));

        for (int k = 0; k < 32; ++k) retained[rng() % retained.size()] = Text(16 + rng() % 100);

        benchmark::DoNotOptimize(settings.size() + items.size() + buffer.data()[0]);
    }
};

template <typename Backend>
void Run(benchmark::State& state) {
    Mix<Backend> mix;
    for (auto _ : state) mix.Round();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int threads : {1, 8}) {
        const std::string stem = "alloc_mix_" + std::to_string(threads) + "t";
        benchmark::RegisterBenchmark((stem + "_ours").c_str(), Run<Ours>)->Threads(threads)->UseRealTime();
        benchmark::RegisterBenchmark((stem + "_glibc").c_str(), Run<Glibc>)->Threads(threads)->UseRealTime();
    }
    Bench::TimeRatioReporter reporter({
        {"alloc_mix_1t", "alloc_mix_1t_ours", "alloc_mix_1t_glibc"},
        {"alloc_mix_8t", "alloc_mix_8t_ours", "alloc_mix_8t_glibc"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintRatios();
    return 0;
}
