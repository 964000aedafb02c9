// The content download against two download tools, fetching the same files from the stand-in
// content server (its own process, on 127.0.0.1) in one run:
//   ours_<set>_t<N>   the download queue with N download threads, writing the stored forms into
//                     ".pak" archives (size and CRC-32 checked, every batch flushed and synced)
//   aria2_<set>_j12   aria2c -j12 into plain files
//   curl_<set>_p12    curl --parallel --parallel-max 12 into plain files
// Sets: "1mib" is 2,000 files of 1 MiB, "8kib" 10,000 files of 8 KiB (random bytes, stored form).
// Every side runs as its own child process, so that its CPU time and peak resident memory are
// its own (wait4), and ends with its data on disk: the wall time runs from the start of the
// process to the end of a syncfs of the output volume after it exits.
// Last it prints "NAME ours/reference RATIO" (throughput at 12 threads over the reference's;
// higher is faster for us) and the goals.
//
// The script bench/content-download-bench.sh installs aria2 when missing and runs this.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "delivery/net/DownloadManager.h"
#include "delivery/content/DownloadQueue.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/data/Crc32.h"
#include "foundation/config/SiteName.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct FileSet {
    const char* key;
    int count;
    std::size_t size;
    unsigned seed;
};
constexpr FileSet kSets[] = {{"1mib", 2000, 1u << 20, 1}, {"8kib", 10000, 8u << 10, 2}};
constexpr int kThreadCounts[] = {1, 4, 12};
constexpr double kMegabyte = 1e6;

// The parent's scratch folder; a child is given its parent's.
fs::path g_workDir;
const fs::path& WorkDir() { return g_workDir.empty() ? Bench::WorkDir("contentbench") : g_workDir; }
fs::path SiteDir() { return WorkDir() / "site"; }
// The downloads go to the temporary folder's volume, or below $CONTENT_BENCH_OUT when set (a
// tmpfs there takes the disk out of the figures).
fs::path OutDir() {
    const char* out = ::getenv("CONTENT_BENCH_OUT");
    return out && *out ? fs::path(out) / ("contentbench-out-" + WorkDir().filename().string()) : WorkDir() / "out";
}
fs::path IndexOf(const FileSet& set) { return WorkDir() / (std::string(set.key) + ".index"); }

std::string ContentName(const FileSet& set, int k) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05d", k);
    return std::string("bench/") + set.key + "/f" + digits + ".dds";
}
std::string ServedPath(const std::string& name, std::uint32_t crc) {
    return "dynamic_content/" + name + "_" + std::to_string(crc);
}

// The stored forms under the site and, per set, an index of "NAME CRC" lines.
void MakeSite() {
    for (const FileSet& set : kSets) {
        std::ofstream index(IndexOf(set));
        for (int k = 0; k < set.count; ++k) {
            const auto bytes = Bench::RandomBytes(set.size, set.seed * 1'000'000 + static_cast<unsigned>(k));
            const std::string name = ContentName(set, k);
            const std::uint32_t crc = Crc32(bytes.data(), bytes.size());
            const fs::path file = SiteDir() / ServedPath(name, crc);
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                        static_cast<std::streamsize>(bytes.size()));
            index << name << ' ' << crc << '\n';
        }
    }
}

struct IndexEntry {
    std::string name;
    std::uint32_t crc;
};
std::vector<IndexEntry> ReadIndex(const FileSet& set) {
    std::vector<IndexEntry> out;
    std::ifstream in(IndexOf(set));
    IndexEntry e;
    while (in >> e.name >> e.crc) out.push_back(e);
    return out;
}

// ---- Child processes ------------------------------------------------------------------------

struct Measured {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double peakRssMb = 0;
    double serverCpuSeconds = 0;
    bool ok = false;
};

pid_t g_server = -1;
std::string g_baseUrl;  // "http://127.0.0.1:PORT/"

double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) {
            stime = std::stoul(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Runs argv to its end and then syncs the output volume; stdout and stderr go to log.
Measured Run(const std::vector<std::string>& argv, const fs::path& log) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    Measured m;
    const double serverBefore = ProcessCpuSeconds(g_server);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return m;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return m;
    const int out = ::open(OutDir().c_str(), O_RDONLY | O_DIRECTORY);
    if (out >= 0) {
        ::syncfs(out);
        ::close(out);
    }
    m.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.peakRssMb = static_cast<double>(usage.ru_maxrss) * 1024 / kMegabyte;
    m.serverCpuSeconds = ProcessCpuSeconds(g_server) - serverBefore;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

// Every file of the set, in full, somewhere below the output folder (the tools' plain files).
bool PlainFilesComplete(const FileSet& set) {
    int files = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(OutDir(), ec)) {
        if (!e.is_regular_file()) continue;
        if (e.file_size() != set.size) return false;
        ++files;
    }
    return files == set.count;
}

void StartServer(const char* program) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const std::string root = SiteDir().string();
    const char* args[] = {program, "--root", root.c_str(), nullptr};
    if (posix_spawn(&g_server, program, &actions, nullptr, const_cast<char**>(args), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", program);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string line;
    char c = 0;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(pipeFds[0]);
    const auto colon = line.rfind(':');
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        std::fprintf(stderr, "the stand-in server did not start: %s\n", line.c_str());
        std::exit(1);
    }
    g_baseUrl = "http://127.0.0.1:" + line.substr(colon + 1) + "/";
}

void StopServer() {
    if (g_server <= 0) return;
    ::kill(g_server, SIGTERM);
    ::waitpid(g_server, nullptr, 0);
    g_server = -1;
}

// ---- Ours, in the child -------------------------------------------------------------------

int OursChild(const FileSet& set, int threads, const std::string& baseUrl) {
    using namespace Vel;
    using namespace Vel::ContentDownload;
    // No settings of the real user, and the server list from the stand-in.
    ::setenv("TRAILSTARTER_USER_HIVE", (WorkDir() / "user.reg").c_str(), 1);
    ::setenv("TRAILSTARTER_MACHINE_HIVE", (WorkDir() / "machine.reg").c_str(), 1);
    SetSiteNameForTesting("");
    GetParameterStore().Set("web.update.url", ParameterType::String, baseUrl);
    auto map = std::make_shared<FileDescriptorMap>();
    const auto index = ReadIndex(set);
    for (const auto& e : index) {
        ContentFileInfo& info = (*map)[e.name];
        info.crc = info.storedCrc = e.crc;
        info.size = info.storedSize = static_cast<std::uint32_t>(set.size);
        info.planetIds = "1";
    }
    DownloadManager manager([] {});
    DownloadQueueOptions options;
    options.manager = &manager;
    options.contentFolder = OutDir().string() + "/";
    options.threadCount = threads;
    DownloadQueue queue(options);
    auto job = std::make_shared<ThreadJob>();
    job->SetErrorHandler([] { return false; });
    queue.SetTypeJob(kTypeContent, job);
    std::atomic<int> written{0};
    for (const auto& e : index) {
        DownloadItem item;
        item.descriptor = FindDescriptorRef(map, e.name);
        item.job = job;
        item.completion = [&written](bool ok) {
            if (ok) ++written;
        };
        queue.Enqueue(item);
    }
    queue.StartDownloadThreads();
    queue.WaitDrained(kTypeContent);
    queue.StopDownloadThreads();
    if (written.load() != set.count) {
        std::fprintf(stderr, "written %d of %d\n", written.load(), set.count);
        return 1;
    }
    return 0;
}

// ---- Benchmarks ---------------------------------------------------------------------------

std::string g_self;

void Report(benchmark::State& state, const FileSet& set, const Measured& m) {
    if (!m.ok) {
        state.SkipWithError("the download failed");
        return;
    }
    state.SetIterationTime(m.wallSeconds);
    const double bytes = static_cast<double>(set.size) * set.count;
    state.counters["MB/s"] = bytes / kMegabyte / m.wallSeconds;
    state.counters["files/s"] = set.count / m.wallSeconds;
    state.counters["cpu_s"] = m.cpuSeconds;
    state.counters["rss_MB"] = m.peakRssMb;
    state.counters["server_cpu_s"] = m.serverCpuSeconds;
}

// Outside the timing: an empty output folder and no dirty pages of an earlier run.
void Prepare() {
    std::error_code ec;
    fs::remove_all(OutDir(), ec);
    fs::create_directories(OutDir());
    ::sync();
}

void Ours(benchmark::State& state, const FileSet* set, int threads) {
    for (auto _ : state) {
        state.PauseTiming();
        Prepare();
        state.ResumeTiming();
        const auto log = WorkDir() / ("ours-" + std::string(set->key) + "-" + std::to_string(threads) + ".log");
        const Measured m =
            Run({g_self, "--ours-child", set->key, std::to_string(threads), g_baseUrl, WorkDir().string()}, log);
        if (!m.ok) {
            std::ifstream in(log);
            std::fprintf(stderr, "%s\n", std::string((std::istreambuf_iterator<char>(in)), {}).c_str());
        }
        Report(state, *set, m);
    }
}

void Aria2(benchmark::State& state, const FileSet* set) {
    const fs::path list = WorkDir() / (std::string("aria2-") + set->key + ".txt");
    {
        std::ofstream out(list);
        for (const auto& e : ReadIndex(*set)) out << g_baseUrl << ServedPath(e.name, e.crc) << "\n  out=" << e.name << "\n";
    }
    for (auto _ : state) {
        state.PauseTiming();
        Prepare();
        state.ResumeTiming();
        const Measured m = Run({"aria2c", "-j12", "--no-conf=true", "--input-file=" + list.string(),
                                "--dir=" + OutDir().string(), "--file-allocation=none", "--allow-overwrite=true",
                                "--auto-file-renaming=false", "--summary-interval=0", "--console-log-level=error",
                                "--quiet=true"},
                               WorkDir() / "aria2.log");
        state.PauseTiming();
        const bool complete = PlainFilesComplete(*set);
        state.ResumeTiming();
        Report(state, *set, complete ? m : Measured{});
    }
}

void Curl(benchmark::State& state, const FileSet* set) {
    const fs::path config = WorkDir() / (std::string("curl-") + set->key + ".txt");
    {
        std::ofstream out(config);
        for (const auto& e : ReadIndex(*set))
            out << "url = \"" << g_baseUrl << ServedPath(e.name, e.crc) << "\"\noutput = \"" << (OutDir() / e.name).string()
                << "\"\n";
    }
    for (auto _ : state) {
        state.PauseTiming();
        Prepare();
        state.ResumeTiming();
        const Measured m = Run({"curl", "--silent", "--show-error", "--fail", "--create-dirs", "--parallel",
                                "--parallel-max", "12", "--config", config.string()},
                               WorkDir() / "curl.log");
        state.PauseTiming();
        const bool complete = PlainFilesComplete(*set);
        state.ResumeTiming();
        Report(state, *set, complete ? m : Measured{});
    }
}

std::string OursName(const FileSet& set, int threads) {
    return "ours_" + std::string(set.key) + "_t" + std::to_string(threads);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--ours-child") == 0) {
        // The launcher's own start-up setting of the allocator.
        Vel::ContentDownload::LimitAllocatorArenas();
        g_workDir = argv[5];
        for (const FileSet& set : kSets)
            if (std::strcmp(argv[2], set.key) == 0) return OursChild(set, std::atoi(argv[3]), argv[4]);
        return 2;
    }
    g_self = fs::read_symlink("/proc/self/exe").string();

    benchmark::Initialize(&argc, argv);
    std::vector<std::string> ourNames;
    for (const FileSet& set : kSets) {
        for (int threads : kThreadCounts) {
            benchmark::RegisterBenchmark(OursName(set, threads).c_str(), Ours, &set, threads)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("aria2_" + std::string(set.key) + "_j12").c_str(), Aria2, &set)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("curl_" + std::string(set.key) + "_p12").c_str(), Curl, &set)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }

    std::printf("making the site (2 GB and 80 MB) ...\n");
    std::fflush(stdout);
    MakeSite();
    StartServer(TRAILSTARTER_STANDIN_SERVER);

    std::vector<std::string> names;  // kept alive for the reporter's pointers
    names.reserve(8);
    std::vector<Bench::RatioPair> pairs;
    for (const FileSet& set : kSets) {
        const std::string key = set.key;
        names.push_back("content_" + key + "_aria2");
        names.push_back(OursName(set, 12));
        names.push_back("aria2_" + key + "_j12");
        names.push_back("content_" + key + "_curl");
        names.push_back("curl_" + key + "_p12");
    }
    for (std::size_t i = 0; i < names.size(); i += 5) {
        pairs.push_back({names[i].c_str(), names[i + 1].c_str(), names[i + 2].c_str()});
        pairs.push_back({names[i + 3].c_str(), names[i + 1].c_str(), names[i + 4].c_str()});
    }
    Bench::TimeRatioReporter reporter(pairs);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    StopServer();
    reporter.PrintRatios();
    std::printf("goals: content_1mib_aria2 >= 1.20, content_8kib_aria2 >= 1.00, ours peak RSS < 256 MB\n");
    std::error_code ec;
    fs::remove_all(OutDir(), ec);
    fs::remove_all(WorkDir(), ec);
    return 0;
}
