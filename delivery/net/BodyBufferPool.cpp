#include "delivery/net/BodyBufferPool.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Vel {

struct BodyBufferPool::State {
    mutable std::mutex lock;
    std::vector<VelMemoryStream*> kept;  // capacity reserved for maxBuffers
    std::size_t maxBuffers = 0;
    std::uint64_t maxBytes = 0;
    std::uint64_t keptBytes = 0;

    ~State() {
        for (VelMemoryStream* stream : kept) delete stream;
    }

    // Keeps the stream when it fits the bounds; otherwise hands it back for the caller to free.
    VelMemoryStream* Keep(VelMemoryStream* stream) {
        if (!stream->HasFlags(VelMemoryStream::kOwnsBlock) || stream->GetCapacity() == 0) return stream;
        std::lock_guard guard(lock);
        if (kept.size() >= maxBuffers || keptBytes + stream->GetCapacity() > maxBytes) return stream;
        kept.push_back(stream);  // never reallocates: reserved for maxBuffers
        keptBytes += stream->GetCapacity();
        return nullptr;
    }

    // The kept stream that fits capacity best, taken out of the pool; null when none fits.
    VelMemoryStream* TakeFitting(std::uint32_t capacity) {
        const std::uint64_t allowance = std::max<std::uint64_t>(capacity, kMinWasteAllowance);
        std::lock_guard guard(lock);
        auto best = kept.end();
        for (auto it = kept.begin(); it != kept.end(); ++it) {
            const std::uint32_t have = (*it)->GetCapacity();
            if (have < capacity || have - capacity > allowance) continue;
            if (best == kept.end() || have < (*best)->GetCapacity()) best = it;
        }
        if (best == kept.end()) return nullptr;
        VelMemoryStream* stream = *best;
        *best = kept.back();
        kept.pop_back();
        keptBytes -= stream->GetCapacity();
        return stream;
    }

    // Takes out what exceeds the bounds (or everything) for the caller to free outside the lock.
    std::vector<VelMemoryStream*> TakeExcess(bool everything) {
        std::vector<VelMemoryStream*> out;
        for (;;) {
            std::size_t room = 0;
            {
                std::lock_guard guard(lock);
                room = kept.capacity();
            }
            out.reserve(room);  // outside the lock: filling it below allocates nothing
            std::lock_guard guard(lock);
            if (kept.capacity() > out.capacity()) continue;  // the bounds grew meanwhile
            while (!kept.empty() && (everything || kept.size() > maxBuffers || keptBytes > maxBytes)) {
                out.push_back(kept.back());
                keptBytes -= kept.back()->GetCapacity();
                kept.pop_back();
            }
            return out;
        }
    }
};

namespace {

void FreeAll(const std::vector<VelMemoryStream*>& streams) {
    for (VelMemoryStream* stream : streams) delete stream;
}

}  // namespace

BodyBufferPool::BodyBufferPool(std::size_t maxBuffers, std::uint64_t maxBytes) : state_(std::make_shared<State>()) {
    SetLimits(maxBuffers, maxBytes);
}

BodyBufferPool::~BodyBufferPool() { Clear(); }

std::shared_ptr<VelMemoryStream> BodyBufferPool::Take(std::uint32_t capacity) {
    VelMemoryStream* stream = state_->TakeFitting(capacity);
    if (stream) {
        stream->Resize(0);
        stream->Rewind();
        stream->ClearFlags(VelMemoryStream::kThrowOnFailure | VelMemoryStream::kLimitElementCounts);
    } else {
        stream = new VelMemoryStream(capacity);
    }
    // The deleter keeps the state alive, so a stream may outlive the pool.
    return std::shared_ptr<VelMemoryStream>(stream, [state = state_](VelMemoryStream* s) { delete state->Keep(s); });
}

void BodyBufferPool::SetLimits(std::size_t maxBuffers, std::uint64_t maxBytes) {
    // Reserved before the lock, so that keeping a block never allocates under it.
    std::vector<VelMemoryStream*> reserved;
    reserved.reserve(maxBuffers);
    {
        std::lock_guard guard(state_->lock);
        state_->maxBuffers = maxBuffers;
        state_->maxBytes = maxBytes;
        if (state_->kept.capacity() < maxBuffers) {
            reserved.assign(state_->kept.begin(), state_->kept.end());
            state_->kept.swap(reserved);
        }
    }
    FreeAll(state_->TakeExcess(false));
}

void BodyBufferPool::Clear() { FreeAll(state_->TakeExcess(true)); }

std::size_t BodyBufferPool::GetKeptCount() const {
    std::lock_guard guard(state_->lock);
    return state_->kept.size();
}

std::uint64_t BodyBufferPool::GetKeptBytes() const {
    std::lock_guard guard(state_->lock);
    return state_->keptBytes;
}

BodyBufferPool& GetBodyBufferPool() {
    static BodyBufferPool pool;
    return pool;
}

}  // namespace Vel
