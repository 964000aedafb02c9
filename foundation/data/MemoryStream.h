#pragma once
// VelMemoryStream: the program's byte buffer with a read/write position, little-endian
// readers and the compact length code of the binary formats.
//
// Contract:
// - A stream either owns its block (flag kOwnsBlock: it may grow and frees it) or borrows
//   bytes it never reallocates or frees. size <= capacity always holds.
// - Failures are sticky: the first failing operation clears the good flag through SetFailed,
//   which throws Vel::Exception("") instead when kThrowOnFailure is set; later failures do
//   nothing more. Callers test IsGood once after a whole record.
// - Lengths are 32-bit; position + length and capacity + length are checked for overflow, and
//   LoadFile refuses a file longer than the 32-bit size allows.
// - No locks: a stream belongs to one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

class VelMemoryStream {
public:
    static constexpr std::uint16_t kOwnsBlock = 0x10;
    static constexpr std::uint16_t kThrowOnFailure = 0x20;
    static constexpr std::uint16_t kLimitElementCounts = 0x100;

    // Owning stream with a block of `capacity` bytes (no block for 0).
    explicit VelMemoryStream(std::uint32_t capacity = 0);
    // Stream over borrowed bytes: capacity = size = length.
    VelMemoryStream(void* data, std::uint32_t length);
    VelMemoryStream(const VelMemoryStream&) = delete;
    VelMemoryStream& operator=(const VelMemoryStream&) = delete;
    VelMemoryStream(VelMemoryStream&& other) noexcept;
    VelMemoryStream& operator=(VelMemoryStream&& other) noexcept;
    ~VelMemoryStream();

    std::uint8_t* GetData() const noexcept { return data_; }
    std::uint32_t GetSize() const noexcept { return size_; }
    std::uint32_t GetCapacity() const noexcept { return capacity_; }
    std::uint32_t GetPosition() const noexcept { return position_; }
    bool IsGood() const noexcept { return good_; }
    std::uint32_t GetRemaining() const noexcept { return position_ < size_ ? size_ - position_ : 0; }
    bool HasFlags(std::uint16_t mask) const noexcept { return (flags_ & mask) != 0; }
    // Sets or clears kThrowOnFailure / kLimitElementCounts; ownership is not changed here.
    void SetFlags(std::uint16_t mask) noexcept { flags_ |= static_cast<std::uint16_t>(mask & ~kOwnsBlock); }
    void ClearFlags(std::uint16_t mask) noexcept { flags_ &= static_cast<std::uint16_t>(~(mask & ~kOwnsBlock)); }

    // Marks the stream failed (first failure only); throws when kThrowOnFailure is set.
    void SetFailed();

    void Reserve(std::uint32_t n);
    void Grow(std::uint32_t n);
    void Write(const void* bytes, std::uint32_t n);
    std::uint8_t* WriteSpace(std::uint32_t n);
    void Advance(std::uint32_t n);
    const std::uint8_t* ReadSpan(std::uint32_t n);
    void Seek(std::uint32_t p);
    void Skip(std::uint32_t n);
    void Rewind() noexcept;
    void Resize(std::uint32_t n);
    void Swap(VelMemoryStream& other) noexcept;
    // Takes ownership of a block allocated with new[].
    void Adopt(std::uint8_t* data, std::uint32_t length);
    bool LoadFile(const std::string& path);

    std::uint32_t ReadCompactLength();
    // The shortest compact form of value (at most 0x1FFFFFFF; larger values fail the stream).
    void WriteCompactLength(std::uint32_t value);

    // Little-endian fixed-width values; 0 after a failed read.
    std::uint8_t ReadUInt8();
    std::uint16_t ReadUInt16();
    std::uint32_t ReadUInt32();
    void WriteUInt8(std::uint8_t v) { Write(&v, 1); }
    void WriteUInt16(std::uint16_t v);
    void WriteUInt32(std::uint32_t v);

    // A compact length, then that many bytes; too few bytes fail the stream, text untouched.
    VelMemoryStream& operator>>(std::string& text);

private:
    void FreeBlock() noexcept;

    std::uint8_t* data_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t position_ = 0;
    std::uint16_t flags_ = 0;
    bool good_ = true;
};
