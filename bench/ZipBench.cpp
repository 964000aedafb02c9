// Our zip archive and deflate codec against their references, in one run, on a warm page cache:
//   zip_replace    replace 12 of 1,200 entries of 100 KB in place and flush, against libzip
//                  making the same change (it rewrites the archive)
//   zip_add        add 20,000 entries of 4 KB to a new archive and flush, against libzip adding
//                  them stored and closing
//   zip_read       open that archive and read every entry, against libzip
//   deflate9 / inflate
//                  128 MB (half this project's source text repeated, half random bytes) against
//                  bare zlib calls into presized buffers
//   zip_recover    the recovery scan of a 128 MB archive whose directory is lost, against one
//                  memchr pass over the file (which ends with an fsync like the others)
// Every write side ends with one fsync of the archive (ours syncs inside its flush). Last it
// prints "NAME ours/reference RATIO" per pair (speed ratio; higher is faster for us).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "delivery/archive/Deflate.h"
#include "delivery/archive/Zip.h"
#include "foundation/data/Crc32.h"

namespace fs = std::filesystem;
using Bench::RandomBytes;
using Bench::SyncFile;

namespace {

const fs::path& WorkDir() { return Bench::WorkDir("zipbench"); }

void OursAdd(Vel::Zip& zip, const std::string& name, const std::vector<std::uint8_t>& data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    zip.AddEntry(name, 0, Crc32(data.data(), n), n, n, data.data(), n);
}

std::string Name(int k) { return "planets/bench/entry" + std::to_string(k) + ".dds"; }

// ---- Replace 12 of 1,200 ------------------------------------------------------------------

constexpr int kReplaceEntries = 1200;
constexpr std::size_t kReplaceSize = 100'000;

void MakeReplaceArchives() {
    static bool made = false;
    if (made) return;
    made = true;
    const auto ours = WorkDir() / "replace-ours.pak";
    const auto theirs = WorkDir() / "replace-libzip.zip";
    {
        Vel::Zip zip(ours.string(), Vel::kZipWritable);
        for (int k = 0; k < kReplaceEntries; ++k) OursAdd(zip, Name(k), RandomBytes(kReplaceSize, k));
    }
    fs::copy_file(ours, theirs, fs::copy_options::overwrite_existing);
}

void ZipReplaceOurs(benchmark::State& state) {
    MakeReplaceArchives();
    const auto path = (WorkDir() / "replace-ours.pak").string();
    unsigned seed = 1000;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<std::uint8_t>> fresh;
        for (int k = 0; k < 12; ++k) fresh.push_back(RandomBytes(kReplaceSize, ++seed));
        state.ResumeTiming();
        Vel::Zip zip(path, Vel::kZipWritable);
        for (int k = 0; k < 12; ++k) OursAdd(zip, Name(k * 100), fresh[k]);
    }
}

void ZipReplaceLibzip(benchmark::State& state) {
    MakeReplaceArchives();
    const auto path = WorkDir() / "replace-libzip.zip";
    unsigned seed = 5000;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<std::uint8_t>> fresh;
        for (int k = 0; k < 12; ++k) fresh.push_back(RandomBytes(kReplaceSize, ++seed));
        state.ResumeTiming();
        int error = 0;
        zip_t* za = zip_open(path.c_str(), 0, &error);
        for (int k = 0; k < 12; ++k) {
            const zip_int64_t index = zip_name_locate(za, Name(k * 100).c_str(), 0);
            zip_source_t* src = zip_source_buffer(za, fresh[k].data(), fresh[k].size(), 0);
            zip_file_replace(za, static_cast<zip_uint64_t>(index), src, 0);
            zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        }
        zip_close(za);
        SyncFile(path);
    }
}

// ---- Add 20,000 and read them -------------------------------------------------------------

constexpr int kSmallEntries = 20000;
constexpr std::size_t kSmallSize = 4096;

const std::vector<std::vector<std::uint8_t>>& SmallEntries() {
    static const auto entries = [] {
        std::vector<std::vector<std::uint8_t>> v;
        for (int k = 0; k < kSmallEntries; ++k) v.push_back(RandomBytes(kSmallSize, 100000 + k));
        return v;
    }();
    return entries;
}

void ZipAddOurs(benchmark::State& state) {
    const auto& entries = SmallEntries();
    const auto path = WorkDir() / "add-ours.pak";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(path);
        state.ResumeTiming();
        Vel::Zip zip(path.string(), Vel::kZipWritable);
        for (int k = 0; k < kSmallEntries; ++k) OursAdd(zip, Name(k), entries[k]);
    }
}

void ZipAddLibzip(benchmark::State& state) {
    const auto& entries = SmallEntries();
    const auto path = WorkDir() / "add-libzip.zip";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(path);
        state.ResumeTiming();
        int error = 0;
        zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        for (int k = 0; k < kSmallEntries; ++k) {
            zip_source_t* src = zip_source_buffer(za, entries[k].data(), entries[k].size(), 0);
            const zip_int64_t index = zip_file_add(za, Name(k).c_str(), src, 0);
            zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        }
        zip_close(za);
        SyncFile(path);
    }
}

void ZipReadOurs(benchmark::State& state) {
    const auto path = (WorkDir() / "add-ours.pak").string();
    std::size_t total = 0;
    for (auto _ : state) {
        Vel::Zip zip(path, 0);
        for (const auto& e : zip.GetEntries()) total += zip.ReadEntry(e)->GetSize();
    }
    benchmark::DoNotOptimize(total);
}

void ZipReadLibzip(benchmark::State& state) {
    const auto path = WorkDir() / "add-libzip.zip";
    std::vector<char> buffer(kSmallSize);
    std::size_t total = 0;
    for (auto _ : state) {
        int error = 0;
        zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
        const zip_int64_t n = zip_get_num_entries(za, 0);
        for (zip_int64_t k = 0; k < n; ++k) {
            zip_stat_t st;
            zip_stat_index(za, static_cast<zip_uint64_t>(k), 0, &st);
            buffer.resize(st.size);
            zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(k), 0);
            total += static_cast<std::size_t>(zip_fread(f, buffer.data(), st.size));
            zip_fclose(f);
        }
        zip_discard(za);
    }
    benchmark::DoNotOptimize(total);
}

// ---- Deflate and inflate 128 MB -------------------------------------------------------------

constexpr std::size_t kCodecSize = 128'000'000;

const std::vector<std::uint8_t>& CodecInput() {
    static const auto input = [] {
        std::string text;
        for (const auto& e : fs::recursive_directory_iterator(TRAILSTARTER_SOURCE_DIR)) {
            const auto ext = e.path().extension();
            if (e.path().string().find("/build") != std::string::npos) continue;
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            std::ifstream in(e.path(), std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            text += s.str();
        }
        std::vector<std::uint8_t> v;
        v.reserve(kCodecSize);
        while (v.size() < kCodecSize / 2) v.insert(v.end(), text.begin(), text.end());
        v.resize(kCodecSize / 2);
        const auto noise = RandomBytes(kCodecSize - v.size(), 77);
        v.insert(v.end(), noise.begin(), noise.end());
        return v;
    }();
    return input;
}

const std::vector<std::uint8_t>& Deflated() {
    static const auto packed = [] {
        const auto& in = CodecInput();
        VelMemoryStream out;
        DeflateRaw(in.data(), static_cast<std::uint32_t>(in.size()), out, 9);
        return std::vector<std::uint8_t>(out.GetData(), out.GetData() + out.GetSize());
    }();
    return packed;
}

void Deflate9Ours(benchmark::State& state) {
    const auto& in = CodecInput();
    for (auto _ : state) {
        VelMemoryStream out;
        benchmark::DoNotOptimize(DeflateRaw(in.data(), static_cast<std::uint32_t>(in.size()), out, 9));
    }
}

void Deflate9Zlib(benchmark::State& state) {
    const auto& in = CodecInput();
    for (auto _ : state) {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        std::vector<std::uint8_t> out(deflateBound(&z, in.size()));
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        deflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
}

void InflateOurs(benchmark::State& state) {
    const auto& packed = Deflated();
    for (auto _ : state) {
        VelMemoryStream out;
        benchmark::DoNotOptimize(
            InflateRaw(packed.data(), static_cast<std::uint32_t>(packed.size()), out, kCodecSize));
    }
}

void InflateZlib(benchmark::State& state) {
    const auto& packed = Deflated();
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, -15);
        std::vector<std::uint8_t> out(kCodecSize);
        z.next_in = const_cast<Bytef*>(packed.data());
        z.avail_in = static_cast<uInt>(packed.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        inflate(&z, Z_FINISH);
        inflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
    }
}

// ---- Recovery scan ----------------------------------------------------------------------------

std::uint64_t g_recoverDirectory = 0;

void MakeLostDirectoryArchive() {
    static bool made = false;
    const auto path = WorkDir() / "recover.pak";
    if (!made) {
        made = true;
        fs::remove(path);
        Vel::Zip zip(path.string(), Vel::kZipWritable);
        for (int k = 0; k < 1280; ++k) OursAdd(zip, Name(k), RandomBytes(100'000, 900 + k));
        std::uint64_t end = 0;
        for (const auto& e : zip.GetEntries()) end = std::max(end, e.End());
        g_recoverDirectory = end;
    }
    fs::resize_file(path, g_recoverDirectory);
}

void ZipRecoverOurs(benchmark::State& state) {
    const auto path = (WorkDir() / "recover.pak").string();
    for (auto _ : state) {
        state.PauseTiming();
        MakeLostDirectoryArchive();
        state.ResumeTiming();
        Vel::Zip zip(path, Vel::kZipRecover | Vel::kZipWritable);
        benchmark::DoNotOptimize(zip.GetEntries().size());
    }
}

void ZipRecoverMemchr(benchmark::State& state) {
    const auto path = WorkDir() / "recover.pak";
    std::vector<std::uint8_t> buffer(4 << 20);
    for (auto _ : state) {
        state.PauseTiming();
        MakeLostDirectoryArchive();
        state.ResumeTiming();
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::size_t hits = 0;
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
            if (n <= 0) break;
            const std::uint8_t* p = buffer.data();
            const std::uint8_t* end = p + n;
            while ((p = static_cast<const std::uint8_t*>(std::memchr(p, 'P', static_cast<std::size_t>(end - p))))) {
                ++hits;
                ++p;
            }
            at += n;
        }
        ::fsync(fd);  // as every side here ends
        ::close(fd);
        benchmark::DoNotOptimize(hits);
    }
}

}  // namespace

BENCHMARK(ZipReplaceOurs)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ZipReplaceLibzip)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ZipAddOurs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ZipAddLibzip)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ZipReadOurs)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ZipReadLibzip)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Deflate9Ours)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(Deflate9Zlib)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(InflateOurs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(InflateZlib)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ZipRecoverOurs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ZipRecoverMemchr)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench::TimeRatioReporter reporter({
        {"zip_replace", "ZipReplaceOurs", "ZipReplaceLibzip"},
        {"zip_add", "ZipAddOurs", "ZipAddLibzip"},
        {"zip_read", "ZipReadOurs", "ZipReadLibzip"},
        {"deflate9", "Deflate9Ours", "Deflate9Zlib"},
        {"inflate", "InflateOurs", "InflateZlib"},
        {"zip_recover", "ZipRecoverOurs", "ZipRecoverMemchr"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintRatios();
    if (const double ms = reporter.Milliseconds("ZipRecoverOurs"); ms >= 0) std::printf("zip_recover ours %.0f ms\n", ms);
    std::error_code ec;
    fs::remove_all(WorkDir(), ec);
    return 0;
}
