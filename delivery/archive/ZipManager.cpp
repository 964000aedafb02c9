#include "delivery/archive/ZipManager.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/threads/Mutex.h"

namespace Vel {

namespace {

struct Slot {
    std::weak_ptr<Zip> weak;
    // Owned by the slot from the moment the last shared owner lets go until the deleter (or a
    // GetZip that comes first) destroys it.
    Zip* raw = nullptr;
    std::uint64_t id = 0;
};

struct Table {
    VelMutex mutex{"ZipManager"};
    std::unordered_map<std::string, Slot> slots;
    std::uint64_t nextId = 0;
};

// Never destroyed: archives may be let go by thread-local batches and static owners at exit.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

struct ZipCache {
    int depth = 0;
    std::vector<std::shared_ptr<Zip>> held;
};

thread_local std::unique_ptr<ZipCache> t_cache;

struct Holders {
    std::mutex lock;  // held while the holders are asked, so none goes meanwhile
    std::vector<ArchiveHolder*> list;
};

Holders& TheHolders() {
    static Holders* holders = new Holders;
    return *holders;
}

// Runs when the last shared owner lets an archive go.
struct Release {
    std::string key;
    std::uint64_t id;
    void operator()(Zip* zip) const {
        Table& table = TheTable();
        VelMutex::ScopedLock lock(table.mutex);
        const auto it = table.slots.find(key);
        // Gone: a GetZip for the same file came first and flushed it.
        if (it == table.slots.end() || it->second.id != id) return;
        table.slots.erase(it);
        delete zip;  // flushes
    }
};

}  // namespace

std::string ZipManager::ArchiveKey(std::string_view path) {
    std::size_t b = 0, e = path.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (b < e && blank(path[b])) ++b;
    while (e > b && blank(path[e - 1])) --e;
    std::string key;
    key.reserve(e - b);
    for (std::size_t k = b; k < e; ++k) {
        const char c = path[k] == '\\' ? '/' : path[k];
        if (c == '/' && !key.empty() && key.back() == '/') continue;
        key.push_back(c);
    }
    return key;
}

std::shared_ptr<Zip> ZipManager::GetZip(const std::string& path, unsigned mode) {
    const std::string key = ArchiveKey(path);
    Table& table = TheTable();
    VelMutex::ScopedLock lock(table.mutex);
    auto it = table.slots.find(key);
    if (it != table.slots.end()) {
        if (auto zip = it->second.weak.lock()) {
            zip->SetMode(mode);
            return zip;
        }
        // Its last owner let it go and is waiting for this lock to flush it: flush it here
        // first, so that the new object reads the directory it writes.
        Zip* old = it->second.raw;
        table.slots.erase(it);
        delete old;
    }
    auto* raw = new Zip(path, mode);
    const std::uint64_t id = ++table.nextId;
    table.slots[key] = Slot{{}, raw, id};
    std::shared_ptr<Zip> zip(raw, Release{key, id});
    table.slots[key].weak = zip;
    if (t_cache) t_cache->held.push_back(zip);
    return zip;
}

void ZipManager::BeginBatch() {
    if (!t_cache) t_cache = std::make_unique<ZipCache>();
    ++t_cache->depth;
}

void ZipManager::EndBatch() {
    if (!t_cache || --t_cache->depth > 0) return;
    // Taken out first: a flush must not find the batch still open.
    std::unique_ptr<ZipCache> ending = std::move(t_cache);
    ending.reset();
}

void ZipManager::AddHolder(ArchiveHolder* holder) {
    Holders& holders = TheHolders();
    std::lock_guard lock(holders.lock);
    holders.list.push_back(holder);
}

void ZipManager::RemoveHolder(ArchiveHolder* holder) {
    Holders& holders = TheHolders();
    std::lock_guard lock(holders.lock);
    holders.list.erase(std::remove(holders.list.begin(), holders.list.end(), holder), holders.list.end());
}

void ZipManager::ReleaseHeldArchives() {
    Holders& holders = TheHolders();
    std::lock_guard lock(holders.lock);
    for (ArchiveHolder* holder : holders.list) holder->ReleaseArchives();
}

std::size_t ZipManager::OpenArchiveCount() {
    Table& table = TheTable();
    VelMutex::ScopedLock lock(table.mutex);
    std::size_t n = 0;
    for (const auto& [key, slot] : table.slots)
        if (!slot.weak.expired()) ++n;
    return n;
}

}  // namespace Vel
