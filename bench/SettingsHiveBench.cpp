// Reading settings from a user hive just under the 16 MB limit: the first read of a file parses
// it, every later read of the unchanged file is a stat and a hash lookup. Prints the time of one
// cached GetValue and KeyExists against one full parse of the same text.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/SettingsHive.h"

namespace {

const std::string kProduct = "SOFTWARE\\Corvane\\Solvenda Frontier";

// About 15.9 MB: a few thousand keys, each with a large binary value, and the settings the
// launcher reads among them.
const std::string& BigHiveText() {
    static const std::string text = [] {
        std::string out = "[" + kProduct + "\\Connection]\n\"Bandwidth\"=dword:00000400\n";
        std::string blob = "hex:00";
        for (int b = 1; b < 2048; ++b) blob += ",5a";
        char line[96];
        for (int i = 0; out.size() < 15900000; ++i) {
            std::snprintf(line, sizeof line, "\n[%s\\Planets\\P%05d]\n\"Blob\"=", kProduct.c_str(), i);
            out += line;
            out += blob;
            out += '\n';
        }
        return out;
    }();
    return text;
}

// About 15.9 MB of small keys (some 190,000), each with a few small values: the parse must stay
// linear in the number of keys and values.
const std::string& ManyKeysText() {
    static const std::string text = [] {
        std::string out;
        char line[160];
        for (int i = 0; out.size() < 15900000; ++i) {
            std::snprintf(line, sizeof line, "\n[%s\\Planets\\P%06d]\n\"Size\"=dword:%08x\n\"Name\"=\"p%d\"\n",
                          kProduct.c_str(), i, static_cast<unsigned>(i), i);
            out += line;
        }
        return out;
    }();
    return text;
}

const std::filesystem::path& BigHiveFile() {
    static const std::filesystem::path file = [] {
        const auto path = std::filesystem::temp_directory_path() / ("hive-bench-" + std::to_string(::getpid()) + ".reg");
        std::ofstream(path, std::ios::binary) << BigHiveText();
        // A file changed within the last second is parsed on every read; let it settle first.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        return path;
    }();
    return file;
}

void Parse(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Vel::Platform::ParseHive(BigHiveText()));
}

void ParseManyKeys(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Vel::Platform::ParseHive(ManyKeysText()));
}

void CachedGetValue(benchmark::State& state) {
    Vel::Platform::SettingsHive(BigHiveFile(), true).GetValue(kProduct + "\\Connection", "Bandwidth");
    for (auto _ : state)
        benchmark::DoNotOptimize(Vel::Platform::SettingsHive(BigHiveFile(), true).GetValue(kProduct + "\\Connection", "Bandwidth"));
}

void CachedKeyExists(benchmark::State& state) {
    Vel::Platform::SettingsHive(BigHiveFile(), true).KeyExists(kProduct + "\\Planets");
    for (auto _ : state)
        benchmark::DoNotOptimize(Vel::Platform::SettingsHive(BigHiveFile(), true).KeyExists(kProduct + "\\Planets"));
}

BENCHMARK(Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(ParseManyKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(CachedGetValue)->Unit(benchmark::kMicrosecond);
BENCHMARK(CachedKeyExists)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(BigHiveFile());
    return 0;
}
