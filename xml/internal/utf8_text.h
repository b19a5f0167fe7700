// Whether a file's bytes read as UTF-8 text rather than as text of the code page it is read
// in. Fed the file's blocks as the load reads them; internal to the XML class.
//
// UTF-8 text: every byte sequence is well-formed UTF-8 (no stray continuation byte, no
// overlong form, no surrogate, nothing past U+10FFFF, none cut at the end), and
//  - read in a double-byte code page (932, 936, 949, 950, 1361), at least one character is of
//    the kind such a catalog holds (CJK ideographs and punctuation, kana, bopomofo, full-width
//    forms, and in the Korean code pages Hangul), or the file starts with a UTF-8 byte-order
//    mark; and every other character is Latin-1, general punctuation or a common symbol.
//    Text of those code pages reads as valid UTF-8 only by chance, and then as two-byte
//    sequences (Latin, IPA, Greek, Cyrillic, Hebrew, Arabic ...) or four-byte ones (the
//    supplementary planes); one character or two never make the three-byte sequences that
//    count, so a catalog of such text is never taken for UTF-8 unless its every run of
//    characters happens to decode to ideographs.
//  - read in a single-byte code page (1250-1258, 874), at least one character is not ASCII:
//    text of those code pages is valid UTF-8 beyond ASCII almost never (an accented or
//    Cyrillic letter is followed by another letter, not by a continuation byte), while a
//    UTF-8 catalog with accented or Cyrillic names reads exactly in them and garbled.
// A code page that is UTF-8 itself (65001) never refuses a file by this rule.
#pragma once

#include <cstddef>
#include <cstdint>

class Utf8TextCheck {
  public:
    explicit Utf8TextCheck(uint32_t codePage);
    // The next bytes of the file, in order; blocks may cut a sequence anywhere.
    void Feed(const char* bytes, size_t count);
    // After the last block: whether the file reads as UTF-8 text.
    bool IsUtf8Text() const { return rule_ != Rule::None && !refuted_ && !need_ && evidence_; }

  private:
    enum class Rule : uint8_t { None, DoubleByte, SingleByte };
    void Judge(uint32_t code, size_t start);

    Rule rule_;
    bool korean_ = false;
    bool refuted_ = false;
    bool evidence_ = false;
    int need_ = 0;        // continuation bytes the sequence being read still needs
    uint32_t code_ = 0;   // its bits so far
    uint32_t least_ = 0;  // the least code point its length may encode
    size_t fed_ = 0;      // bytes fed before the current block
    size_t started_ = 0;  // where the sequence began in the file
};
