#include "foundation/data/MemoryStream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <utility>

#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"

namespace {
constexpr std::uint64_t kMaxLength = std::numeric_limits<std::uint32_t>::max();
}

VelMemoryStream::VelMemoryStream(std::uint32_t capacity) : flags_(kOwnsBlock) {
    if (capacity > 0) {
        data_ = new (std::nothrow) std::uint8_t[capacity];
        if (data_ == nullptr) Vel::FatalError("VelMemoryStream: out of memory");
        capacity_ = capacity;
    }
}

VelMemoryStream::VelMemoryStream(void* data, std::uint32_t length)
    : data_(static_cast<std::uint8_t*>(data)), capacity_(length), size_(length) {}

VelMemoryStream::VelMemoryStream(VelMemoryStream&& other) noexcept : flags_(0) { Swap(other); }

VelMemoryStream& VelMemoryStream::operator=(VelMemoryStream&& other) noexcept {
    if (this != &other) {
        VelMemoryStream moved(std::move(other));
        Swap(moved);
    }
    return *this;
}

VelMemoryStream::~VelMemoryStream() { FreeBlock(); }

void VelMemoryStream::FreeBlock() noexcept {
    if (HasFlags(kOwnsBlock)) delete[] data_;
    data_ = nullptr;
}

void VelMemoryStream::SetFailed() {
    if (!good_) return;
    good_ = false;
    if (HasFlags(kThrowOnFailure)) throw Vel::Exception();
}

void VelMemoryStream::Reserve(std::uint32_t n) {
    if (std::uint64_t{position_} + n > capacity_) Grow(n);
}

void VelMemoryStream::Grow(std::uint32_t n) {
    if (n == 0) Vel::FatalError("VelMemoryStream::Grow(0)");
    if (!HasFlags(kOwnsBlock)) {
        SetFailed();
        return;
    }
    const std::uint64_t target = std::uint64_t{capacity_} + n;
    if (target > kMaxLength) {
        SetFailed();
        return;
    }
    std::uint64_t c = capacity_;
    while (c < target) {
        const auto k = static_cast<std::uint64_t>(std::bit_width(c + 1));
        c = c + c / k + 1;
    }
    c = std::min(c, kMaxLength);
    auto* block = new (std::nothrow) std::uint8_t[c];
    if (block == nullptr) Vel::FatalError("VelMemoryStream: out of memory");
    if (capacity_ > 0) std::memcpy(block, data_, capacity_);
    delete[] data_;
    data_ = block;
    capacity_ = static_cast<std::uint32_t>(c);
}

void VelMemoryStream::Write(const void* bytes, std::uint32_t n) {
    if (!good_ || n == 0) return;
    // A borrowed stream without a block has nowhere to put the bytes; an owning one grows.
    if (data_ == nullptr && !HasFlags(kOwnsBlock)) {
        SetFailed();
        return;
    }
    Reserve(n);
    if (!good_) return;
    std::memcpy(data_ + position_, bytes, n);
    position_ += n;
    size_ = std::max(size_, position_);
}

std::uint8_t* VelMemoryStream::WriteSpace(std::uint32_t n) {
    if (!good_) return nullptr;
    if (n == 0) return data_ == nullptr ? nullptr : data_ + position_;
    if (data_ == nullptr && !HasFlags(kOwnsBlock)) {
        SetFailed();
        return nullptr;
    }
    Reserve(n);
    if (!good_) return nullptr;
    std::uint8_t* space = data_ + position_;
    position_ += n;
    size_ = std::max(size_, position_);
    return space;
}

void VelMemoryStream::Advance(std::uint32_t n) {
    if (std::uint64_t{position_} + n > capacity_) {
        SetFailed();
        return;
    }
    position_ += n;
    size_ = std::max(size_, position_);
}

const std::uint8_t* VelMemoryStream::ReadSpan(std::uint32_t n) {
    if (!good_ || data_ == nullptr || GetRemaining() < n) {
        SetFailed();
        return nullptr;
    }
    const std::uint8_t* span = data_ + position_;
    position_ += n;
    return span;
}

void VelMemoryStream::Seek(std::uint32_t p) {
    position_ = p;
    if (p > size_) {
        SetFailed();
        return;
    }
    good_ = true;
}

void VelMemoryStream::Skip(std::uint32_t n) {
    const std::uint64_t p = std::uint64_t{position_} + n;
    position_ = static_cast<std::uint32_t>(std::min(p, kMaxLength));
    if (p > size_) good_ = false;
}

void VelMemoryStream::Rewind() noexcept {
    position_ = 0;
    good_ = true;
}

void VelMemoryStream::Resize(std::uint32_t n) {
    if (n > capacity_) {
        Grow(n - capacity_);
        if (good_) size_ = n;
        return;
    }
    size_ = n;
    position_ = std::min(position_, n);
}

void VelMemoryStream::Swap(VelMemoryStream& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
    std::swap(size_, other.size_);
    std::swap(position_, other.position_);
    std::swap(flags_, other.flags_);
    std::swap(good_, other.good_);
}

void VelMemoryStream::Adopt(std::uint8_t* data, std::uint32_t length) {
    FreeBlock();
    flags_ |= kOwnsBlock;
    data_ = data;
    capacity_ = size_ = length;
    position_ = 0;
    good_ = true;
}

bool VelMemoryStream::LoadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        good_ = false;
        size_ = position_ = 0;
        return false;
    }
    const std::streamoff length = in.tellg();
    position_ = 0;
    good_ = true;
    if (length < 0 || static_cast<std::uint64_t>(length) > kMaxLength) {
        good_ = false;
        size_ = 0;
        return false;
    }
    const auto n = static_cast<std::uint32_t>(length);
    if (n == 0) {
        size_ = 0;
        return true;
    }
    std::uint8_t* space = WriteSpace(n);
    if (space == nullptr) {
        good_ = false;
        size_ = 0;
        position_ = 0;
        return false;
    }
    in.seekg(0);
    in.read(reinterpret_cast<char*>(space), n);
    if (in.gcount() != static_cast<std::streamsize>(n)) {
        // The file shrank while it was read: keep what arrived, and say so.
        size_ = static_cast<std::uint32_t>(in.gcount());
        position_ = 0;
        SetFailed();
        return false;
    }
    size_ = n;
    position_ = 0;
    return good_;
}

std::uint8_t VelMemoryStream::ReadUInt8() {
    const std::uint8_t* p = ReadSpan(1);
    return p == nullptr ? 0 : p[0];
}

std::uint16_t VelMemoryStream::ReadUInt16() {
    const std::uint8_t* p = ReadSpan(2);
    return p == nullptr ? 0 : static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t VelMemoryStream::ReadUInt32() {
    const std::uint8_t* p = ReadSpan(4);
    if (p == nullptr) return 0;
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void VelMemoryStream::WriteUInt16(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    Write(b, 2);
}

void VelMemoryStream::WriteUInt32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    Write(b, 4);
}

std::uint32_t VelMemoryStream::ReadCompactLength() {
    const std::uint8_t* p = ReadSpan(2);
    if (p == nullptr) return 0;
    const std::uint32_t v = p[0] | (std::uint32_t{p[1]} << 8);
    if ((v & 0x8000) == 0) return v;
    if ((v & 0xC000) == 0x8000) {
        const std::uint32_t high = (v & 0x3FFF) << 8;
        const std::uint8_t* next = ReadSpan(1);
        return next == nullptr ? high : high + next[0];
    }
    if ((v & 0xE000) == 0xC000) {
        const std::uint32_t high = (v & 0x1FFF) << 16;
        const std::uint8_t* next = ReadSpan(2);
        return next == nullptr ? high : high + (next[0] | (std::uint32_t{next[1]} << 8));
    }
    SetFailed();
    return 0;
}

void VelMemoryStream::WriteCompactLength(std::uint32_t value) {
    if (value < 0x8000) {
        WriteUInt16(static_cast<std::uint16_t>(value));
    } else if (value <= 0x3FFFFF) {
        WriteUInt16(static_cast<std::uint16_t>(0x8000 | (value >> 8)));
        WriteUInt8(static_cast<std::uint8_t>(value));
    } else if (value <= 0x1FFFFFFF) {
        WriteUInt16(static_cast<std::uint16_t>(0xC000 | (value >> 16)));
        WriteUInt16(static_cast<std::uint16_t>(value));
    } else {
        SetFailed();
    }
}

VelMemoryStream& VelMemoryStream::operator>>(std::string& text) {
    const std::uint32_t length = ReadCompactLength();
    if (!good_) return *this;
    if (length == 0) {
        text.clear();
        return *this;
    }
    const std::uint8_t* p = ReadSpan(length);
    if (p != nullptr) text.assign(reinterpret_cast<const char*>(p), length);
    return *this;
}
