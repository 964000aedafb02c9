#include "foundation/data/Rc4Stream.h"

#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "foundation/data/Md5.h"

void Rc4Stream::Schedule(const std::uint8_t* key, std::size_t keyLength) {
    std::iota(s_.begin(), s_.end(), std::uint8_t{0});
    std::uint8_t j = 0;
    for (std::size_t x = 0; x < 256; ++x) {
        j = static_cast<std::uint8_t>(j + key[x % keyLength] + s_[x]);
        std::swap(s_[x], s_[j]);
    }
    i_ = 0;
    j_ = 0;
}

Rc4Stream::Rc4Stream(const void* key, std::size_t keyLength, const void* value, std::size_t valueLength,
                     std::size_t drop) {
    std::vector<std::uint8_t> material(keyLength + valueLength);
    if (keyLength > 0) std::memcpy(material.data(), key, keyLength);
    if (valueLength > 0) std::memcpy(material.data() + keyLength, value, valueLength);
    const Md5Bytes digest = Md5Digest(material.data(), material.size());
    Schedule(digest.data(), digest.size());
    for (std::size_t k = 0; k < drop; ++k) {
        ++i_;
        j_ = static_cast<std::uint8_t>(j_ + s_[i_]);
        std::swap(s_[i_], s_[j_]);
    }
}

Rc4Stream Rc4Stream::ForContent(std::uint32_t crc) {
    const std::uint8_t value[4] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                                   static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
    return Rc4Stream(kContentKey.data(), kContentKey.size(), value, sizeof value, kContentKeyDrop);
}

Rc4Stream Rc4Stream::Plain(const void* key, std::size_t keyLength) {
    Rc4Stream r;
    r.Schedule(static_cast<const std::uint8_t*>(key), keyLength);
    return r;
}

void Rc4Stream::Encrypt(const void* in, std::size_t length, void* out) {
    const auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t i = i_, j = j_;
    for (std::size_t k = 0; k < length; ++k) {
        ++i;
        j = static_cast<std::uint8_t>(j + s_[i]);
        std::swap(s_[i], s_[j]);
        dst[k] = src[k] ^ s_[static_cast<std::uint8_t>(s_[i] + s_[j])];
    }
    i_ = i;
    j_ = j;
}
