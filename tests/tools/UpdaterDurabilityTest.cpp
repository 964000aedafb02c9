// The order of the updater's disk steps: what a client update killed or cut off by a power loss
// at any moment relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ClientUpdate.h"
#include "platform/FileDurability.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using Vel::Test::ReadFile;

namespace {

// Writes down every write, sync and rename as "write PATH", "sync PATH", "rename FROM > TO",
// the paths taken from the descriptors the calls were given.
class DiskSteps : public Vel::Platform::FileDurability {
public:
    std::vector<std::string> steps;

    ssize_t Write(int fd, const void* data, size_t length) override {
        Note("write " + PathOf(fd));
        return FileDurability::Write(fd, data, length);
    }
    ssize_t WriteAt(int fd, const void* data, size_t length, off_t offset) override {
        Note("write " + PathOf(fd));
        return FileDurability::WriteAt(fd, data, length, offset);
    }
    int Sync(int fd) override {
        steps.push_back("sync " + PathOf(fd));
        return FileDurability::Sync(fd);
    }
    int Rename(const char* from, const char* to) override {
        steps.push_back(std::string("rename ") + from + " > " + to);
        return FileDurability::Rename(from, to);
    }
    int RenameAt(int fromFolder, const char* from, int toFolder, const char* to) override {
        steps.push_back("rename " + PathOf(fromFolder) + "/" + from + " > " + PathOf(toFolder) + "/" + to);
        return FileDurability::RenameAt(fromFolder, from, toFolder, to);
    }

    // The index of the first step equal to `step` at or after `from`, or -1.
    long Find(const std::string& step, std::size_t from = 0) const {
        for (std::size_t i = from; i < steps.size(); ++i)
            if (steps[i] == step) return static_cast<long>(i);
        return -1;
    }
    long FindLast(const std::string& step) const {
        for (std::size_t i = steps.size(); i-- > 0;)
            if (steps[i] == step) return static_cast<long>(i);
        return -1;
    }
    std::string All() const {
        std::ostringstream out;
        for (const auto& s : steps) out << "  " << s << "\n";
        return out.str();
    }

private:
    static std::string PathOf(int fd) {
        std::error_code error;
        return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
    }
    // Runs of writes to one file count once.
    void Note(std::string step) {
        if (steps.empty() || steps.back() != step) steps.push_back(std::move(step));
    }
};

}  // namespace

// Each staged file's copy is synced before it is renamed over its target (a rename that reaches
// the disk before the bytes would leave a torn or empty file behind the target's name), and each
// rename is made durable by a sync of its folder before the next one: the commit order (the
// version number last) holds on the disk, not only in the process.
TEST(UpdaterDurability, ACopyIsSyncedBeforeItsRenameAndTheFolderAfter) {
    Vel::Test::TempDir dir("updater-durability");
    const std::vector<std::string> files = {"a.dll", "data/b.dll", "data/deep/c.dll", "Trailstarter", "version.txt"};
    for (const auto& name : files) {
        dir.Write("client/" + name, "old " + name);
        dir.Write("staging/" + name, "new " + name);
    }
    const fs::path client = fs::canonical(dir / "client");

    DiskSteps recorder;
    std::ostringstream report;
    {
        Vel::Platform::ScopedFileDurability recording(recorder);
        ASSERT_EQ(Updater::UpdateClient((dir / "staging").string(), client.string(), report), Updater::kDone)
            << report.str();
    }
    SCOPED_TRACE("steps:\n" + recorder.All());

    std::vector<long> renames;
    for (const auto& name : files) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadFile(client / name), "new " + name);
        const fs::path target = client / name;
        const fs::path folder = target.parent_path();
        const std::string temporary = (folder / ("." + target.filename().string() + ".updating")).string();

        const long written = recorder.FindLast("write " + temporary);
        ASSERT_GE(written, 0) << "the copy is not written through the seam";
        const long synced = recorder.Find("sync " + temporary, static_cast<std::size_t>(written));
        const long renamed = recorder.Find("rename " + temporary + " > " + target.string());
        ASSERT_GE(renamed, 0) << "no rename into place";
        EXPECT_GE(synced, 0) << "the copy is not synced after its last write";
        EXPECT_LT(synced, renamed) << "the copy is renamed before it is durable";
        renames.push_back(renamed);
    }
    std::sort(renames.begin(), renames.end());
    for (std::size_t i = 0; i < renames.size(); ++i) {
        const std::string& step = recorder.steps[static_cast<std::size_t>(renames[i])];
        const fs::path target = step.substr(step.find(" > ") + 3);
        const long folderSynced =
            recorder.Find("sync " + target.parent_path().string(), static_cast<std::size_t>(renames[i]));
        EXPECT_GE(folderSynced, 0) << "the folder of " << target << " is not synced after its rename";
        if (i + 1 < renames.size()) {
            EXPECT_LT(folderSynced, renames[i + 1]) << "the rename of " << target << " is not durable before the next";
        }
    }
}
