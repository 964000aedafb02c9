#pragma once
// Content format codes: the value a ".pak" entry carries in its zip method field, combining a
// compression kind (0 none, 1 raw deflate) and an encryption kind (0 none, 1 the RC4 content
// cipher, 2 a cipher this program never applies).
//
//   code  0 1 2 3 4 5 6 7 8
//   comp  0 - 1 0 0 - 1 - 1
//   enc   0 - 1 2 1 - 2 - 0      ("-": invalid)
//
// Contract: pure functions, reentrant. MakeContentFormatCode throws Vel::Exception with an empty
// text for a pair outside the table; SplitContentFormatCode returns false (outputs -1, -1) for
// an invalid code.

namespace ContentFormat {
inline constexpr int kStored = 0;
inline constexpr int kDeflatedRc4 = 2;
inline constexpr int kStoredCipher2 = 3;
inline constexpr int kStoredRc4 = 4;
inline constexpr int kDeflatedCipher2 = 6;
inline constexpr int kDeflated = 8;
}  // namespace ContentFormat

int MakeContentFormatCode(int compression, int encryption);
bool SplitContentFormatCode(int code, int& compression, int& encryption);
