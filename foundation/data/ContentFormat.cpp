#include "foundation/data/ContentFormat.h"

#include "foundation/core/Exception.h"

namespace {
// Indexed by compression + 2 * encryption.
constexpr int kCodes[6] = {0, 8, 4, 2, 3, 6};
}  // namespace

int MakeContentFormatCode(int compression, int encryption) {
    if (compression < 0 || compression >= 2 || encryption < 0 || encryption >= 3) throw Vel::Exception();
    return kCodes[compression + 2 * encryption];
}

bool SplitContentFormatCode(int code, int& compression, int& encryption) {
    compression = -1;
    encryption = -1;
    for (int k = 0; k < 6; ++k) {
        if (kCodes[k] == code) {
            compression = k % 2;
            encryption = k / 2;
            return true;
        }
    }
    return false;
}
