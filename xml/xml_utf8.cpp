// The rule that tells a UTF-8 catalog from one in the code page; see internal/utf8_text.h.
#include <cstring>

#include "xml/internal/utf8_text.h"

namespace {

bool In(uint32_t c, uint32_t first, uint32_t last) {
    return c >= first && c <= last;
}

// What catalogs of a double-byte code page hold: ideographs, CJK punctuation, kana, bopomofo,
// full-width and half-width forms.
bool IsCjk(uint32_t c) {
    return In(c, 0x3000, 0x312F) || In(c, 0x31F0, 0x31FF) || In(c, 0x4E00, 0x9FFF) ||
           In(c, 0xFF00, 0xFFEF);
}

bool IsHangul(uint32_t c) {
    return In(c, 0x3130, 0x318F) || In(c, 0xAC00, 0xD7A3) || In(c, 0xF900, 0xFAFF);
}

// What such a catalog may hold beside them without making its text any less likely UTF-8:
// Latin-1, general punctuation and the common symbols (arrows, enclosed numbers, shapes,
// stars), enclosed CJK.
bool IsNeutral(uint32_t c) {
    return In(c, 0xA0, 0xFF) || In(c, 0x2000, 0x27BF) || In(c, 0x3200, 0x32FF);
}

}  // namespace

Utf8TextCheck::Utf8TextCheck(uint32_t codePage) {
    switch (codePage) {
        case 65001:
            rule_ = Rule::None;
            break;
        case 932:
        case 936:
        case 950:
            rule_ = Rule::DoubleByte;
            break;
        case 949:
        case 1361:
            rule_ = Rule::DoubleByte;
            korean_ = true;
            break;
        default:
            rule_ = Rule::SingleByte;
            break;
    }
}

void Utf8TextCheck::Judge(uint32_t code, size_t start) {
    if (rule_ == Rule::SingleByte || (code == 0xFEFF && start == 0) || IsCjk(code) ||
        (korean_ && IsHangul(code))) {
        evidence_ = true;
    } else if (!IsNeutral(code)) {
        refuted_ = true;
    }
}

void Utf8TextCheck::Feed(const char* bytes, size_t count) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < count && !refuted_ && rule_ != Rule::None) {
        if (need_ == 0) {
            // Catalogs are mostly markup: ASCII is passed over eight bytes at a time.
            for (uint64_t word; i + 8 <= count; i += 8) {
                std::memcpy(&word, b + i, 8);
                if (word & 0x8080808080808080ull) break;
            }
            while (i < count && b[i] < 0x80) ++i;
            if (i == count) break;
            const unsigned char lead = b[i];
            started_ = fed_ + i++;
            // C0, C1 and F5 on could only start overlong or out-of-range forms.
            if (lead < 0xC2 || lead > 0xF4) {
                refuted_ = true;
                break;
            }
            need_ = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
            code_ = lead & (0x3Fu >> need_);
            least_ = need_ == 1 ? 0x80 : need_ == 2 ? 0x800 : 0x10000;
            continue;
        }
        const unsigned char next = b[i++];
        if ((next & 0xC0) != 0x80) {
            refuted_ = true;
            break;
        }
        code_ = (code_ << 6) | (next & 0x3Fu);
        if (--need_) continue;
        if (code_ < least_ || code_ > 0x10FFFF || In(code_, 0xD800, 0xDFFF)) {
            refuted_ = true;
            break;
        }
        Judge(code_, started_);
    }
    fed_ += count;
}
