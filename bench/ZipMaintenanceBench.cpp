// Whole-archive maintenance against plain passes over the same bytes, in one run, on a warm
// page cache:
//   zip_compact  compaction of a 120 MB archive with 10 MB of gaps spread through it, against
//                one read/write copy of the same file in 1 MiB blocks (as dd bs=1M does: no
//                reflink, no in-kernel copy); both end with one fsync (ours inside its flush)
//   zip_verify   verification with CRC checks (descriptor lookup, stored CRC-32) of a 120 MB
//                archive, against one CRC-32 pass over the file read in 1 MiB blocks
// Last it prints "NAME ours/reference RATIO" per pair (reference time / ours: higher is faster
// for us; the targets are 1/1.3 and 1/1.2).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/archive/Zip.h"
#include "foundation/data/Crc32.h"
#include "foundation/data/MemoryStream.h"

namespace fs = std::filesystem;
using Bench::RandomBytes;

namespace {

const fs::path& WorkDir() { return Bench::WorkDir("zipmaintbench"); }

std::string Name(int k) { return "planets/bench/tile" + std::to_string(k) + ".dds"; }

// 1,300 entries of 20 KB to 180 KB (about 130 MB); about one in thirteen removed, spread
// through the file (about 10 MB of gaps, 120 MB left).
const fs::path& GappedImage() {
    static const fs::path image = [] {
        const fs::path p = WorkDir() / "gapped.image";
        std::mt19937 rng(7);
        std::vector<int> sizes;
        for (int k = 0; k < 1300; ++k) sizes.push_back(20'000 + static_cast<int>(rng() % 160'000));
        {
            Vel::Zip zip(p.string(), Vel::kZipWritable);
            for (int k = 0; k < 1300; ++k) {
                const auto data = RandomBytes(static_cast<std::size_t>(sizes[k]), 100 + k);
                const auto n = static_cast<std::uint32_t>(data.size());
                zip.AddEntry(Name(k), 0, Crc32(data.data(), n), n, n, data.data(), n);
            }
        }
        std::uint64_t removed = 0;
        Vel::Zip zip(p.string(), Vel::kZipWritable);
        for (int k = 5; k < 1300 && removed < 10'000'000; k += 13) {
            zip.RemoveEntry(Name(k));
            removed += static_cast<std::uint64_t>(sizes[k]);
        }
        return p;
    }();
    return image;
}

void CopyFile(const fs::path& from, const fs::path& to, bool sync) {
    const int in = ::open(from.c_str(), O_RDONLY);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(1 << 20);
    ssize_t n;
    while ((n = ::read(in, block.data(), block.size())) > 0) {
        if (::write(out, block.data(), static_cast<std::size_t>(n)) != n) break;
    }
    if (sync) ::fsync(out);
    ::close(in);
    ::close(out);
}

void ZipCompactOurs(benchmark::State& state) {
    const auto archive = WorkDir() / "compact.pak";
    for (auto _ : state) {
        state.PauseTiming();
        CopyFile(GappedImage(), archive, true);
        Vel::Zip zip(archive.string(), Vel::kZipWritable);
        state.ResumeTiming();
        zip.Compact(nullptr);
    }
}

void ZipCompactCopy(benchmark::State& state) {
    const auto archive = WorkDir() / "compact.pak";
    const auto copy = WorkDir() / "copy.pak";
    for (auto _ : state) {
        state.PauseTiming();
        CopyFile(GappedImage(), archive, true);
        fs::remove(copy);
        state.ResumeTiming();
        CopyFile(archive, copy, true);
    }
}

const fs::path& VerifyArchive() {
    static const fs::path p = [] {
        const fs::path archive = WorkDir() / "verify.pak";
        CopyFile(GappedImage(), archive, true);
        {
            Vel::Zip zip(archive.string(), Vel::kZipWritable);
            zip.Compact(nullptr);
        }
        // The descriptors of its entries, as the tables would give them.
        VelMemoryStream table;
        Vel::Zip zip(archive.string(), 0);
        const auto entries = zip.GetEntries();
        table.WriteUInt16(1);
        table.WriteCompactLength(static_cast<std::uint32_t>(entries.size()));
        for (const auto& e : entries) {
            table.WriteCompactLength(static_cast<std::uint32_t>(e.name.size()));
            table.Write(e.name.data(), static_cast<std::uint32_t>(e.name.size()));
            for (std::uint32_t v : {e.crc32, e.crc32, e.uncompressedSize, e.compressedSize}) table.WriteUInt32(v);
            table.WriteUInt16(0);
            table.WriteUInt16(0);
            table.WriteCompactLength(1);
            table.Write("1", 1);
        }
        fs::create_directories(WorkDir() / "file_descs");
        FILE* f = std::fopen((WorkDir() / "file_descs" / "bench.xbc").c_str(), "wb");
        std::fwrite(table.GetData(), 1, table.GetSize(), f);
        std::fclose(f);
        Vel::LoadFileDescriptors(WorkDir().string());
        return archive;
    }();
    return p;
}

void ZipVerifyOurs(benchmark::State& state) {
    const auto path = VerifyArchive().string();
    for (auto _ : state) {
        Vel::Zip zip(path, Vel::kZipWritable);
        zip.Verify(Vel::kZipCheckCrc | Vel::kZipCheckLocalHeaders, {}, {});
    }
}

void ZipVerifyCrcPass(benchmark::State& state) {
    const auto path = VerifyArchive();
    std::vector<std::uint8_t> block(1 << 20);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::uint32_t crc = 0;
        ssize_t n;
        while ((n = ::read(fd, block.data(), block.size())) > 0)
            crc = Crc32Update(crc, block.data(), static_cast<std::size_t>(n));
        ::close(fd);
        benchmark::DoNotOptimize(crc);
    }
}

}  // namespace

BENCHMARK(ZipCompactOurs)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ZipCompactCopy)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ZipVerifyOurs)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ZipVerifyCrcPass)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench::TimeRatioReporter reporter({
        {"zip_compact", "ZipCompactOurs", "ZipCompactCopy"},
        {"zip_verify", "ZipVerifyOurs", "ZipVerifyCrcPass"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintRatios();
    std::error_code ec;
    fs::remove_all(WorkDir(), ec);
    return 0;
}
