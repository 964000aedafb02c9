// The content driver's work on the archives themselves: the rescan that compares them with the
// descriptor tables, the moves and deletions it decides, and the compaction and repair jobs.

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "delivery/content/ContentDownload.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/files/FileSearch.h"
#include "foundation/data/PakNames.h"
#include "foundation/text/ParseUInt16.h"
#include "foundation/files/Paths.h"

namespace Vel::ContentDownload {

namespace {

// The format code a descriptor asks for; -1 when its kinds make none.
int ExpectedFormat(const ContentFileInfo& info) {
    try {
        return MakeContentFormatCode(info.compression, info.encryption);
    } catch (const Exception&) {
        return -1;
    }
}

std::vector<std::string> SplitPlanets(const std::string& text) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        pieces.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return pieces;
        start = comma + 1;
    }
}

std::vector<std::string> ListArchives(const std::string& folder) {
    std::vector<std::string> paths = FileSearch(folder, "*.pak").GetPaths(false);
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The content of an entry: CRC-32, stored size and format code.
using ContentKey = std::tuple<std::uint32_t, std::uint32_t, int>;

}  // namespace

// ---- Rescan -------------------------------------------------------------------------------

void ContentDriver::RescanContent() {
    VelMutex::ScopedLock lock(lock_);
    DescriptorsChanged();
    RescanLocked([this] { return Stopping(); });
}

void ContentDriver::RescanLocked(const std::function<bool()>& stop) {
    // Until this run ends the content counts as unscanned: a run that fails (an archive that
    // cannot be opened, a stop) is tried again by the next collection.
    scanned_.store(false);
    const std::set<std::string> corrupt = ReadCorruptFileList(CorruptListPath());
    const auto published = GetFileDescriptors();
    published_ = published;
    if (!map_ || *published != *map_) {
        // Files handed out before keep pointing into the old map.
        if (map_) retired_.push_back(map_);
        map_ = published;
    }
    const FileDescriptorMap& map = *map_;

    std::set<std::string> before;
    for (const UpdatedFile& file : needed_) before.insert(file.Name());

    UpdatedFileSet needed;
    std::map<std::uint16_t, std::vector<const FileDescriptorMap::value_type*>> index;
    MoveMap moves;
    DeleteSet deletes;
    for (const auto& entry : map) {
        const std::vector<std::string> pieces = SplitPlanets(entry.second.planetIds);
        if (pieces.empty()) continue;
        needed.insert(UpdatedFile{false, {}, &entry});
        for (const std::string& piece : pieces) {
            const std::uint16_t id = ParseUInt16(piece);
            auto& list = index[id];
            if (list.empty() || list.back() != &entry) list.push_back(&entry);
        }
    }

    std::map<ContentKey, ArchiveEntryRef> archived;
    const std::string folder = ContentFolder();
    // Opened with offset checks and recovery of their own, never as the download writer holds them.
    ZipManager::ReleaseHeldArchives();
    for (const std::string& archive : ListArchives(folder)) {
        if (stop && stop()) throw Exception();
        const auto zip = ZipManager::GetZip(archive, kZipRecover | kZipCheckOffsets);
        for (const ZipEntry& e : zip->GetEntries()) {
            const auto described = map.find(e.name);
            const bool listedCorrupt = corrupt.contains(e.name);
            bool handled = false;
            if (described != map.end() && !listedCorrupt) {
                const auto it = needed.find(UpdatedFile{false, {}, &*described});
                if (it != needed.end() && it->archivePath.empty()) {
                    const ContentFileInfo& info = described->second;
                    needed.erase(it);
                    const bool sameContent = e.crc32 == info.crc && e.uncompressedSize == info.size;
                    if (!sameContent || e.method != ExpectedFormat(info))
                        needed.insert(UpdatedFile{sameContent, archive, &*described});
                    handled = true;
                }
            }
            // Without any descriptor nothing can be told undescribed: nothing is deleted.
            if (!handled && !map.empty()) deletes.insert({archive, e.name});
            // Entries known to be corrupt never serve as a copy of anything.
            if (!listedCorrupt) archived[{e.crc32, e.compressedSize, e.method}] = {archive, e.name};
        }
    }

    for (const UpdatedFile& file : needed) {
        const ContentFileInfo& info = file.Info();
        const auto source = archived.find({info.crc, info.storedSize, ExpectedFormat(info)});
        if (source == archived.end()) continue;
        const ArchiveEntryRef target{file.archivePath, file.Name()};
        if (source->second == target) continue;
        // The file stays needed until the move has succeeded.
        moves[target] = source->second;
    }

    std::set<std::string> now;
    for (const UpdatedFile& file : needed) now.insert(file.Name());
    if (!std::includes(before.begin(), before.end(), now.begin(), now.end())) done_.clear();

    needed_ = std::move(needed);
    planetIndex_ = std::move(index);
    moves_ = std::move(moves);
    deletes_ = std::move(deletes);
    corrupt_ = corrupt;
    scannedFolder_ = folder;
    ++generation_;
    DeleteRepairFiles();
    scanned_.store(true);
}

void ContentDriver::DeleteRepairFiles() {
    for (const std::string& path : FileSearch(ContentFolder(), "*.repair").GetPaths(false)) TryDeleteFile(path);
}

// ---- Moves and deletions ------------------------------------------------------------------

void ContentDriver::MoveEntriesBetweenPaks(const std::shared_ptr<ThreadJob>& job) {
    DeleteSet written;
    RunMoves(job, written);
}

void ContentDriver::DeleteObsoleteEntries() { RunDeletions({}); }

DeleteSet ContentDriver::RunMoves(const std::shared_ptr<ThreadJob>& job, DeleteSet& written) {
    if (!job) FatalError("MoveEntriesBetweenPaks without a job");
    MoveMap moves;
    std::shared_ptr<const FileDescriptorMap> map;
    std::uint64_t generation = 0;
    {
        VelMutex::ScopedLock lock(lock_);
        moves = moves_;
        map = map_;
        generation = generation_;
    }
    DeleteSet keep;  // sources of moves that did not happen
    if (moves.empty()) return keep;
    ZipManager::ReleaseHeldArchives();
    const std::string folder = ContentFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);

    std::set<ArchiveEntryRef> finished;  // moved, or failed and left to the download
    std::set<std::string> movedNames;
    {
        ZipManager::Batch batch;
        for (const auto& [target, source] : moves) {
            if (job->IsAborted()) {
                keep.insert(source);
                continue;
            }
            finished.insert(target);
            try {
                const auto found = map ? map->find(target.name) : FileDescriptorMap::const_iterator{};
                if (!map || found == map->end()) throw Exception();
                const ContentFileInfo& info = found->second;
                const auto from = ZipManager::GetZip(source.archive, 0);
                ZipEntry entry;
                if (!from->GetEntryInfo(source.name, entry)) throw Exception();
                const auto bytes = from->ReadEntry(entry);
                if (bytes->GetSize() != info.storedSize || Crc32(bytes->GetData(), bytes->GetSize()) != info.storedCrc)
                    throw Exception();
                const std::string archive =
                    target.archive.empty() ? FindPakWithRoom(folder, target.name, entry.compressedSize) : target.archive;
                ZipManager::GetZip(archive, kZipWritable)
                    ->AddEntry(target.name, entry.method, entry.crc32, entry.compressedSize, entry.uncompressedSize,
                               bytes->GetData(), bytes->GetSize());
                written.insert({archive, target.name});
                movedNames.insert(target.name);
            } catch (const ZipCorruptException&) {
                throw;
            } catch (const Zip::DiskFullException&) {
                throw;
            } catch (const Exception&) {
                // The file stays needed and is fetched instead; its source stays where it is.
                keep.insert(source);
            }
        }
    }
    std::set<std::string> forget;
    {
        VelMutex::ScopedLock lock(lock_);
        for (const std::string& name : movedNames) {
            // Sets of files are ordered by name: any descriptor of that name finds the element.
            needed_.erase(UpdatedFile{false, {}, &*map->find(name)});
            if (corrupt_.erase(name) > 0) forget.insert(name);
        }
        if (generation == generation_)
            for (const ArchiveEntryRef& target : finished) moves_.erase(target);
    }
    ForgetCorrupt(forget);
    return keep;
}

void ContentDriver::RunDeletions(const DeleteSet& keep) {
    DeleteSet deletes;
    std::set<std::string> corrupt;
    std::uint64_t generation = 0;
    {
        VelMutex::ScopedLock lock(lock_);
        deletes = deletes_;
        corrupt = corrupt_;
        generation = generation_;
    }
    if (deletes.empty()) return;
    ZipManager::ReleaseHeldArchives();
    std::set<std::string> removed;
    std::set<std::string> failed;
    {
        ZipManager::Batch batch;
        for (const ArchiveEntryRef& entry : deletes) {
            if (keep.contains(entry)) continue;
            try {
                ZipManager::GetZip(entry.archive, kZipWritable)->RemoveEntry(entry.name);
                removed.insert(entry.name);
            } catch (const Exception&) {
                failed.insert(entry.name);
            }
        }
    }
    std::set<std::string> forget;
    {
        VelMutex::ScopedLock lock(lock_);
        if (generation == generation_) deletes_.clear();
        for (const std::string& name : removed)
            if (!failed.contains(name) && corrupt_.erase(name) > 0) forget.insert(name);
    }
    ForgetCorrupt(forget);
}

// ---- Compaction and repair ----------------------------------------------------------------

void ContentDriver::CleanupPaks(const std::shared_ptr<ThreadJob>& job) {
    if (!job) FatalError("CleanupPaks without a job");
    const auto& progress = job->GetProgress();
    ZipManager::ReleaseHeldArchives();
    const std::vector<std::string> archives = ListArchives(ContentFolder());
    std::vector<std::uint64_t> sizes;
    for (const std::string& path : archives) {
        std::uint64_t size = 0;
        TryFileSize(path, size);
        sizes.push_back(size);
        progress->AddTotal(size);
    }
    const auto map = GetFileDescriptors();
    std::set<std::string> unseen;
    for (const auto& entry : *map) unseen.insert(entry.first);

    for (std::size_t i = 0; i < archives.size(); ++i) {
        if (job->IsAborted()) return;
        const auto zip = ZipManager::GetZip(archives[i], kZipRecover | kZipWritable);
        // With no descriptor at all every entry would look undescribed: none is removed then.
        if (!map->empty()) {
            for (const ZipEntry& e : zip->GetEntries()) {
                const auto described = map->find(e.name);
                const bool first = unseen.erase(e.name) > 0;
                if (described == map->end() || !first || described->second.planetIds.empty()) zip->RemoveEntry(e.name);
            }
        }
        if (zip->FreeSpaceAtLeast(kCompactionThreshold)) {
            const std::uint64_t before = progress->GetDone();
            zip->Compact(job);
            progress->SetDone(before + sizes[i]);
        } else {
            progress->AddDone(sizes[i]);
        }
    }
    if (!job->IsAborted()) job->Complete();
}

void ContentDriver::RepairPak(const std::shared_ptr<ThreadJob>& job, const std::string& archivePath) {
    if (!job) FatalError("RepairPak without a job");
    // The repair's own object, opened with recovery and offset checks.
    ZipManager::ReleaseHeldArchives();
    {
        const auto zip = ZipManager::GetZip(archivePath, kZipRecover | kZipWritable | kZipCheckOffsets);
        zip->Verify(kZipRemoveBad | kZipCheckLocalHeaders, {}, {}, job);
        if (!zip->IsModified()) zip->Verify(kZipRemoveBad | kZipCheckCrc | kZipCheckLocalHeaders, {}, {}, job);
    }
    // Also when nothing was removed: a recovery at opening leaves the archive flushed and no
    // longer modified, and what it dropped must be fetched again.
    scanned_.store(false);
    job->Complete();
}

}  // namespace Vel::ContentDownload
