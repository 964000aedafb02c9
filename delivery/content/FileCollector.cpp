#include "delivery/content/FileCollector.h"

#include <exception>
#include <utility>

#include "foundation/core/Exception.h"
#include "foundation/threads/Thread.h"

namespace Vel {

using ContentDownload::DownloadParameters;
using ContentDownload::UpdatedFileSet;

FileCollector::FileCollector(FileSetBuilder build, PlanetSizeSum planetSize)
    : build_(std::move(build)), planetSize_(std::move(planetSize)) {}

FileCollector::~FileCollector() {
    RequestStop();
    Join();
}

void FileCollector::Start() {
    std::lock_guard lock(threadLock_);
    if (thread_ || stopping_.load()) return;
    thread_ = std::make_unique<::VelThread>([this] { ThreadMain(); }, "FileCollector", ::VelThread::kKindWorker);
    thread_->Start();
}

void FileCollector::Post(DownloadParameters parameters, FilesCallback callback) {
    {
        std::lock_guard lock(queueLock_);
        queue_.push_back(Request{std::move(parameters), std::move(callback)});
    }
    wake_.Set();
}

void FileCollector::QueryPlanetDownloadSize(std::uint16_t planetId, SizeCallback callback) {
    DownloadParameters parameters{{planetId}};
    Post(parameters, [this, parameters, callback = std::move(callback)](bool ok, const UpdatedFileSet& files) {
        std::uint64_t total = 0;
        std::uint64_t needed = 0;
        if (ok) {
            total = planetSize_ ? planetSize_(parameters.planetIds) : 0;
            needed = ContentDownload::SumFileSizes(files);
        }
        if (callback) callback(ok, total, needed);
    });
}

void FileCollector::RequestStop() {
    stopping_.store(true);
    wake_.Set();
}

void FileCollector::Join() {
    std::unique_ptr<::VelThread> thread;
    {
        std::lock_guard lock(threadLock_);
        thread = std::move(thread_);
    }
    if (thread) thread->Join();
}

bool FileCollector::Pop(Request& out) {
    std::lock_guard lock(queueLock_);
    if (queue_.empty()) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

void FileCollector::ThreadMain() {
    while (!stopping_.load()) {
        wake_.Wait();
        Request request;
        while (!stopping_.load() && Pop(request)) {
            bool ok = true;
            UpdatedFileSet files;
            try {
                files = build_(request.parameters.planetIds);
            } catch (const Exception&) {
                ok = false;
                files.clear();
            }
            if (!request.callback) continue;
            try {
                request.callback(ok, files);
            } catch (const std::exception&) {
                // A caller's failure ends its own answer, not the collector.
            }
        }
    }
}

}  // namespace Vel
