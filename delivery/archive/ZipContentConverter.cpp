// The content format converter of the archive manager: compression with raw deflate and the
// RC4 content cipher, applied in the order decrypt, (de)compress, encrypt.
#include <memory>

#include "delivery/archive/Deflate.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/core/Exception.h"
#include "foundation/data/Rc4Stream.h"

namespace Vel {

std::shared_ptr<VelMemoryStream> ZipManager::ConvertContentFormat(const void* bytes, std::uint32_t length,
                                                                  int sourceCode, int targetCode,
                                                                  std::uint32_t perFileValue) {
    int sourceCompression = 0, sourceEncryption = 0, targetCompression = 0, targetEncryption = 0;
    if (!SplitContentFormatCode(sourceCode, sourceCompression, sourceEncryption) ||
        !SplitContentFormatCode(targetCode, targetCompression, targetEncryption))
        throw Exception();
    auto stream = std::make_shared<VelMemoryStream>(128);
    stream->Write(bytes, length);
    if (!stream->IsGood()) throw Exception();
    if (sourceCode == targetCode) {
        stream->Rewind();
        return stream;
    }
    // The codes differ, so an encrypted side always has the cipher act: the bytes are
    // deciphered before the compression changes and enciphered after it.
    const bool decrypt = sourceEncryption != 0;
    const bool encrypt = targetEncryption != 0;
    if ((decrypt && sourceEncryption != 1) || (encrypt && targetEncryption != 1)) throw Exception();
    if (decrypt) Rc4Stream::ForContent(perFileValue).Decrypt(stream->GetData(), stream->GetSize(), stream->GetData());
    if (sourceCompression != targetCompression) {
        auto converted = std::make_shared<VelMemoryStream>();
        if (targetCompression == 1)
            DeflateRaw(stream->GetData(), stream->GetSize(), *converted, 9);
        else
            InflateRaw(stream->GetData(), stream->GetSize(), *converted);
        stream = std::move(converted);
    }
    if (encrypt) Rc4Stream::ForContent(perFileValue).Encrypt(stream->GetData(), stream->GetSize(), stream->GetData());
    stream->Rewind();
    return stream;
}

}  // namespace Vel
