// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "delivery/content/FileCollector.h"
#include "foundation/core/Exception.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using ContentDownload::UpdatedFile;
using ContentDownload::UpdatedFileSet;
using Ids = std::set<std::uint16_t>;

namespace {

// Descriptors of planets 5 (two files, one still needed) and 6 (one file, present).
const FileDescriptorMap kMap = {
    {"p5/a.dds", ContentFileInfo{1, 2, 300, 100, 0, 0, "5"}},
    {"p5/b.dds", ContentFileInfo{3, 4, 90, 30, 0, 0, "5"}},
    {"p6/c.dds", ContentFileInfo{5, 6, 70, 7, 0, 0, "6"}},
};

UpdatedFileSet Needed(const Ids& ids) {
    UpdatedFileSet files;
    if (ids.count(5)) files.insert(UpdatedFile{false, "", &*kMap.find("p5/a.dds")});
    if (ids.count(13)) throw Exception("the archives cannot be read");
    return files;
}

std::uint64_t PlanetSize(const Ids& ids) {
    std::uint64_t total = 0;
    for (const auto& [name, info] : kMap)
        for (std::uint16_t id : ids)
            if (info.planetIds == std::to_string(id)) total += info.storedSize;
    return total;
}

struct Answers {
    std::mutex lock;
    std::vector<std::tuple<int, bool, std::uint64_t, std::uint64_t>> got;  // (tag, ok, total, needed)

    FileCollector::SizeCallback For(int tag) {
        return [this, tag](bool ok, std::uint64_t total, std::uint64_t needed) {
            std::lock_guard guard(lock);
            got.emplace_back(tag, ok, total, needed);
        };
    }
    std::size_t Count() {
        std::lock_guard guard(lock);
        return got.size();
    }
};

}  // namespace

TEST(FileCollector, RequestsPostedBeforeTheThreadWakesAreAllAnsweredInOrder) {
    Answers answers;
    FileCollector collector(Needed, PlanetSize);
    collector.QueryPlanetDownloadSize(5, answers.For(1));   // 130 in all, 100 still needed
    collector.QueryPlanetDownloadSize(6, answers.For(2));   // present: nothing needed
    collector.QueryPlanetDownloadSize(13, answers.For(3));  // the collection fails
    collector.QueryPlanetDownloadSize(77, answers.For(4));  // no descriptor lists it
    collector.Post({{5}}, nullptr);                          // no callback: still collected
    collector.Start();
    collector.Start();

    ASSERT_TRUE(TestSupport::WaitFor([&] { return answers.Count() == 4; }));
    collector.RequestStop();
    collector.Join();
    using A = std::tuple<int, bool, std::uint64_t, std::uint64_t>;
    EXPECT_EQ(answers.got, (std::vector<A>{{1, true, 130, 100}, {2, true, 7, 0}, {3, false, 0, 0}, {4, true, 0, 0}}));
}

TEST(FileCollector, AfterStoppingQueuedRequestsAreNotAnswered) {
    Answers answers;
    std::atomic<int> builds{0};
    FileCollector* self = nullptr;
    // The stop arrives while the first request is being collected.
    FileCollector collector(
        [&](const Ids& ids) {
            ++builds;
            self->RequestStop();
            return Needed(ids);
        },
        PlanetSize);
    self = &collector;
    collector.QueryPlanetDownloadSize(5, answers.For(1));
    collector.QueryPlanetDownloadSize(6, answers.For(2));
    collector.Start();
    collector.Join();

    EXPECT_EQ(builds.load(), 1);
    ASSERT_EQ(answers.got.size(), 1u);
    EXPECT_EQ(std::get<0>(answers.got[0]), 1);
    // Stopped for good: a later start runs no thread, a later request is never collected.
    collector.Start();
    collector.QueryPlanetDownloadSize(5, answers.For(3));
    collector.Join();
    EXPECT_EQ(builds.load(), 1);
}

TEST(FileCollector, StoppingAnIdleCollectorEndsItsThread) {
    std::atomic<int> builds{0};
    FileCollector collector([&](const Ids& ids) { ++builds; return Needed(ids); }, PlanetSize);
    collector.Start();
    collector.RequestStop();
    collector.Join();
    EXPECT_EQ(builds.load(), 0);
}
