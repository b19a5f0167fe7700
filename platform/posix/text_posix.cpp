// Code-page conversion as Windows does it: each code page is turned into lookup tables once,
// from iconv, with the few places where Windows' tables differ from glibc's (undefined bytes,
// user-defined characters) filled in as Windows fills them. Lookups, with ASCII runs widened
// and narrowed 16 characters at a time, keep a 10 MB catalog load close to memcpy speed.
#include <iconv.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform {

namespace {

constexpr uint16_t kNoCode = 0xFFFF;

struct ByteMapping {
    uint8_t byte;
    char16_t unicode;
};

struct CodePageFixes {
    uint32_t codePage;
    // Single bytes that glibc leaves undefined and Windows maps (the C1 controls map to
    // themselves without being listed).
    std::initializer_list<ByteMapping> bytes;
};

const CodePageFixes kFixes[] = {
    {874,
     {{0xDB, 0xF8C1},
      {0xDC, 0xF8C2},
      {0xDD, 0xF8C3},
      {0xDE, 0xF8C4},
      {0xFC, 0xF8C5},
      {0xFD, 0xF8C6},
      {0xFE, 0xF8C7},
      {0xFF, 0xF8C8}}},
    {932, {{0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}}},
    {936, {{0xFF, 0xF8F5}}},
    {949, {{0x80, 0x0080}, {0xFF, 0xF8F7}}},
    {950, {{0xFF, 0xF8F8}}},
    {1253, {{0xAA, 0xF8F9}, {0xD2, 0xF8FA}, {0xFF, 0xF8FB}}},
    {1255,
     {{0xCA, 0x05BA},
      {0xD9, 0xF88D},
      {0xDA, 0xF88E},
      {0xDB, 0xF88F},
      {0xDC, 0xF890},
      {0xDD, 0xF891},
      {0xDE, 0xF892},
      {0xDF, 0xF893},
      {0xFB, 0xF894},
      {0xFC, 0xF895},
      {0xFF, 0xF896}}},
    {1257, {{0xA1, 0xF8FC}, {0xA5, 0xF8FD}}},
};

// Windows' user-defined characters: byte pairs first..last map to consecutive private-use
// characters from `unicode` on.
struct EudcRun {
    uint16_t first, last;
    char16_t unicode;
};

const EudcRun kEudc936[] = {
    {0xA140, 0xA17E, 0xE4C6}, {0xA180, 0xA1A0, 0xE505}, {0xA240, 0xA27E, 0xE526},
    {0xA280, 0xA2A0, 0xE565}, {0xA2AB, 0xA2B0, 0xE766}, {0xA2E3, 0xA2E4, 0xE76C},
    {0xA2EF, 0xA2F0, 0xE76E}, {0xA2FD, 0xA2FE, 0xE770}, {0xA340, 0xA37E, 0xE586},
    {0xA380, 0xA3A0, 0xE5C5}, {0xA440, 0xA47E, 0xE5E6}, {0xA480, 0xA4A0, 0xE625},
    {0xA4F4, 0xA4FE, 0xE772}, {0xA540, 0xA57E, 0xE646}, {0xA580, 0xA5A0, 0xE685},
    {0xA5F7, 0xA5FE, 0xE77D}, {0xA640, 0xA67E, 0xE6A6}, {0xA680, 0xA6A0, 0xE6E5},
    {0xA6B9, 0xA6C0, 0xE785}, {0xA6D9, 0xA6DF, 0xE78D}, {0xA6EC, 0xA6ED, 0xE794},
    {0xA6F3, 0xA6F3, 0xE796}, {0xA6F6, 0xA6FE, 0xE797}, {0xA740, 0xA77E, 0xE706},
    {0xA780, 0xA7A0, 0xE745}, {0xA7C2, 0xA7D0, 0xE7A0}, {0xA7F2, 0xA7FE, 0xE7AF},
    {0xA896, 0xA8A0, 0xE7BC}, {0xA8BC, 0xA8BC, 0xE7C7}, {0xA8BF, 0xA8BF, 0xE7C8},
    {0xA8C1, 0xA8C4, 0xE7C9}, {0xA8EA, 0xA8FE, 0xE7CD}, {0xA958, 0xA958, 0xE7E2},
    {0xA95B, 0xA95B, 0xE7E3}, {0xA95D, 0xA95F, 0xE7E4}, {0xA989, 0xA995, 0xE7E7},
    {0xA997, 0xA9A3, 0xE7F4}, {0xA9F0, 0xA9FE, 0xE801}, {0xAAA1, 0xAAFE, 0xE000},
    {0xABA1, 0xABFE, 0xE05E}, {0xACA1, 0xACFE, 0xE0BC}, {0xADA1, 0xADFE, 0xE11A},
    {0xAEA1, 0xAEFE, 0xE178}, {0xAFA1, 0xAFFE, 0xE1D6}, {0xD7FA, 0xD7FE, 0xE810},
    {0xF8A1, 0xF8FE, 0xE234}, {0xF9A1, 0xF9FE, 0xE292}, {0xFAA1, 0xFAFE, 0xE2F0},
    {0xFBA1, 0xFBFE, 0xE34E}, {0xFCA1, 0xFCFE, 0xE3AC}, {0xFDA1, 0xFDFE, 0xE40A},
    {0xFE50, 0xFE7E, 0xE815}, {0xFE80, 0xFEA0, 0xE844}, {0xFEA1, 0xFEFE, 0xE468},
};

const EudcRun kEudc949[] = {{0xC9A1, 0xC9FE, 0xE000}, {0xFEA1, 0xFEFE, 0xE05E}};

// Code page 950 gives each lead byte of three blocks 157 characters, in two trail ranges.
struct EudcBlock {
    uint8_t firstLead, lastLead;
    char16_t unicode;
};
const EudcBlock kEudc950[] = {{0x81, 0x8D, 0xEEB8}, {0x8E, 0xA0, 0xE311}, {0xFA, 0xFE, 0xE000}};

// Where glibc and Windows pick different byte pairs for a character that has two.
struct ReverseFix {
    char16_t unicode;
    uint16_t code;
};
const ReverseFix kReverse950[] = {
    {0x2550, 0xF9F9}, {0x255E, 0xF9E9}, {0x2561, 0xF9EB}, {0x256A, 0xF9EA}};

struct Table {
    uint32_t codePage = 0;
    bool doubleByte = false;
    bool asciiSame = true;       // bytes below 0x80 are the same characters
    char16_t defaultChar = '?';  // what an invalid byte pair becomes
    char16_t single[256] = {};
    bool lead[256] = {};
    uint8_t leadIndex[256] = {};
    std::vector<char16_t> pairs;  // leadIndex * 256 + trail; 0 when invalid
    std::once_flag reverseOnce;
    std::vector<uint16_t> reverse;  // per UTF-16 unit: byte, lead << 8 | trail, or kNoCode
    // Whether a byte, or a pair (leadIndex * 256 + trail), comes back from its character: the
    // load's exactness check in a few kilobytes instead of the reverse map's 128.
    std::vector<uint64_t> exactPairs;
    uint64_t exactSingle[4] = {};
    static bool Bit(const uint64_t* bits, size_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }
};

class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts one short sequence from a fresh state, flushing what the converter holds back
    // (glibc's CP1255 and CP1258 wait for combining marks). Returns bytes written, or -1 for
    // an invalid sequence and -2 for an incomplete one.
    int Convert(const void* in, size_t inSize, void* out, size_t outSize) {
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* ip = const_cast<char*>(static_cast<const char*>(in));
        char* op = static_cast<char*>(out);
        size_t il = inSize, ol = outSize;
        if (::iconv(cd_, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) {
            return errno == EINVAL ? -2 : -1;
        }
        if (::iconv(cd_, nullptr, nullptr, &op, &ol) == static_cast<size_t>(-1)) return -1;
        return static_cast<int>(outSize - ol);
    }

  private:
    iconv_t cd_;
};

// The UTF-16 character of one converted sequence, or 0 when it is not exactly one.
char16_t OneUnit(const unsigned char* out, int size) {
    if (size != 2) return 0;
    return static_cast<char16_t>(out[0] | (out[1] << 8));
}

std::string IconvName(uint32_t codePage) {
    switch (codePage) {
        case 20127:
            return "ASCII";
        case 20866:
            return "KOI8-R";
        case 21866:
            return "KOI8-U";
        case 1361:
            return "JOHAB";
        default:
            break;
    }
    if (codePage >= 28591 && codePage <= 28606) {
        return "ISO-8859-" + std::to_string(codePage - 28590);
    }
    return "CP" + std::to_string(codePage);
}

// Fills a byte pair that glibc leaves undefined.
void AddEudc(Table& t, uint32_t code, uint32_t unicode) {
    uint8_t leadByte = static_cast<uint8_t>(code >> 8);
    if (!t.lead[leadByte]) return;
    char16_t& slot = t.pairs[t.leadIndex[leadByte] * 256u + (code & 0xFF)];
    if (!slot) slot = static_cast<char16_t>(unicode);
}

std::unique_ptr<Table> BuildTable(uint32_t codePage) {
    Iconv in("UTF-16LE", IconvName(codePage).c_str());
    if (!in.ok()) return nullptr;
    auto t = std::make_unique<Table>();
    t->codePage = codePage;
    if (codePage == 932) t->defaultChar = 0x30FB;

    bool undefined[256] = {};
    for (int b = 0; b < 256; ++b) {
        unsigned char byte = static_cast<unsigned char>(b);
        unsigned char out[16];
        int size = in.Convert(&byte, 1, out, sizeof out);
        if (size == -2) {
            t->lead[b] = true;
        } else if (char16_t c = OneUnit(out, size)) {
            t->single[b] = c;
        } else if (b == 0 && size == 2) {
            t->single[b] = 0;
        } else {
            undefined[b] = true;
        }
    }
    // Windows makes lead bytes of the user-defined areas that glibc does not know.
    if (codePage == 949) t->lead[0xC9] = t->lead[0xFE] = true;
    if (codePage == 950) {
        for (const auto& block : kEudc950) {
            for (int l = block.firstLead; l <= block.lastLead; ++l) t->lead[l] = true;
        }
    }
    int leads = 0;
    for (int b = 0; b < 256; ++b) {
        if (!t->lead[b]) continue;
        if (b < 0x80) t->asciiSame = false;
        undefined[b] = false;
        t->leadIndex[b] = static_cast<uint8_t>(leads++);
    }
    if (leads) {
        // Only code pages of one or two bytes a character fit these tables.
        if (codePage != 932 && codePage != 936 && codePage != 949 && codePage != 950 &&
            codePage != 1361) {
            return nullptr;
        }
        t->doubleByte = true;
        t->pairs.assign(static_cast<size_t>(leads) * 256, 0);
        for (int b = 0; b < 256; ++b) {
            if (!t->lead[b]) continue;
            t->single[b] = t->defaultChar;
            for (int trail = 1; trail < 256; ++trail) {
                unsigned char pair[2] = {static_cast<unsigned char>(b),
                                         static_cast<unsigned char>(trail)};
                unsigned char out[16];
                int size = in.Convert(pair, 2, out, sizeof out);
                if (char16_t c = OneUnit(out, size)) t->pairs[t->leadIndex[b] * 256u + trail] = c;
            }
        }
    }
    for (int b = 0; b < 256; ++b) {
        if (!undefined[b]) continue;
        // Windows keeps an undefined byte of a one-byte code page as the character of the
        // same number; a two-byte code page gives its default.
        t->single[b] = t->doubleByte ? t->defaultChar : static_cast<char16_t>(b);
    }
    for (const auto& fix : kFixes) {
        if (fix.codePage != codePage) continue;
        for (const auto& m : fix.bytes) {
            if (undefined[m.byte]) t->single[m.byte] = m.unicode;
        }
    }
    auto addRuns = [&](const EudcRun* runs, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            for (uint32_t code = runs[i].first; code <= runs[i].last; ++code) {
                AddEudc(*t, code, runs[i].unicode + (code - runs[i].first));
            }
        }
    };
    if (codePage == 936) addRuns(kEudc936, std::size(kEudc936));
    if (codePage == 949) addRuns(kEudc949, std::size(kEudc949));
    if (codePage == 950) {
        for (const auto& block : kEudc950) {
            uint32_t unicode = block.unicode;
            for (uint32_t l = block.firstLead; l <= block.lastLead; ++l) {
                for (uint32_t trail = 0x40; trail <= 0xFE; ++trail) {
                    if (trail > 0x7E && trail < 0xA1) continue;
                    AddEudc(*t, l << 8 | trail, unicode++);
                }
            }
        }
    }
    for (int b = 0; b < 0x80; ++b) {
        if (t->single[b] != b) t->asciiSame = false;
    }
    return t;
}

void BuildReverse(Table& t) {
    std::vector<uint16_t> reverse(65536, kNoCode);
    reverse[0] = 0;
    // glibc's choice first, where it comes back to the same character.
    Iconv out(IconvName(t.codePage).c_str(), "UTF-16LE");
    if (out.ok()) {
        for (uint32_t c = 1; c < 0x10000; ++c) {
            if (c >= 0xD800 && c < 0xE000) continue;
            unsigned char unit[2] = {static_cast<unsigned char>(c),
                                     static_cast<unsigned char>(c >> 8)};
            unsigned char bytes[16];
            int size = out.Convert(unit, 2, bytes, sizeof bytes);
            if (size == 1 && !t.lead[bytes[0]] && t.single[bytes[0]] == c) {
                reverse[c] = bytes[0];
            } else if (size == 2 && t.doubleByte && t.lead[bytes[0]] &&
                       t.pairs[t.leadIndex[bytes[0]] * 256u + bytes[1]] == c) {
                reverse[c] = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
            }
        }
    }
    // Then whatever else the forward tables reach, the lowest code first.
    for (int b = 0; b < 256; ++b) {
        if (t.lead[b]) continue;
        if (reverse[t.single[b]] == kNoCode) reverse[t.single[b]] = static_cast<uint16_t>(b);
    }
    if (t.doubleByte) {
        for (int b = 0; b < 256; ++b) {
            if (!t.lead[b]) continue;
            for (int trail = 1; trail < 256; ++trail) {
                char16_t c = t.pairs[t.leadIndex[b] * 256u + trail];
                if (c && reverse[c] == kNoCode) reverse[c] = static_cast<uint16_t>(b << 8 | trail);
            }
        }
    }
    if (t.codePage == 950) {
        for (const auto& fix : kReverse950) reverse[fix.unicode] = fix.code;
    }
    for (int b = 0; b < 256; ++b) {
        if (!t.lead[b] && reverse[t.single[b]] == b)
            t.exactSingle[b >> 6] |= uint64_t{1} << (b & 63);
    }
    std::vector<uint64_t> exactPairs((t.pairs.size() + 63) / 64, 0);
    for (int b = 0; b < 256; ++b) {
        if (!t.lead[b]) continue;
        for (int trail = 0; trail < 256; ++trail) {
            const size_t i = t.leadIndex[b] * 256u + trail;
            const char16_t c = t.pairs[i];
            if (c && reverse[c] == (b << 8 | trail)) exactPairs[i >> 6] |= uint64_t{1} << (i & 63);
        }
    }
    t.reverse = std::move(reverse);
    t.exactPairs = std::move(exactPairs);
}

std::mutex gTablesMutex;
std::map<uint32_t, std::unique_ptr<Table>> gTables;  // never shrinks: pointers stay valid

// The table of a code page, or null (last error set) when it cannot be had.
Table* TableFor(uint32_t codePage) {
    std::lock_guard<std::mutex> lock(gTablesMutex);
    auto found = gTables.find(codePage);
    if (found != gTables.end()) {
        if (!found->second) posix::SetError(kErrorInvalidParameter, EINVAL);
        return found->second.get();
    }
    std::unique_ptr<Table> table;
    try {
        table = BuildTable(codePage);
    } catch (const std::bad_alloc&) {
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return nullptr;
    }
    Table* result = table.get();
    gTables.emplace(codePage, std::move(table));
    if (!result) posix::SetError(kErrorInvalidParameter, EINVAL);
    return result;
}

// The code page's tables with the reverse map built; null, with the last error set, when the
// code page is unknown or memory runs out.
Table* TableWithReverse(uint32_t codePage) {
    Table* t = TableFor(codePage);
    if (!t) return nullptr;
    try {
        std::call_once(t->reverseOnce, [t] { BuildReverse(*t); });
    } catch (const std::bad_alloc&) {
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return nullptr;
    }
    return t;
}

// The length of the ASCII run at the start of `s`, looked at 16 bytes at a time.
size_t AsciiRun(const unsigned char* s, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (int mask = _mm_movemask_epi8(block))
            return i + static_cast<size_t>(__builtin_ctz(mask));
    }
#endif
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

// Widens the ASCII run at the start of `s` into `out`, which has room for `room` characters;
// returns its length.
size_t WidenAscii(const unsigned char* s, size_t n, char16_t* out, size_t room) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    // Whole blocks are widened even where the run ends inside them: the characters past its
    // end are written over by what follows.
    for (; i + 16 <= n && i + 16 <= room; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(block, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(block, zero));
        if (int mask = _mm_movemask_epi8(block))
            return i + static_cast<size_t>(__builtin_ctz(mask));
    }
#endif
    for (; i < n && s[i] < 0x80; ++i) out[i] = s[i];
    return i;
}

// Characters that `bytes` convert to under a two-byte code page.
size_t CountDoubleByte(const Table& t, const unsigned char* s, size_t n) {
    size_t chars = 0, i = 0;
    while (i < n) {
        if (t.asciiSame) {
            size_t run = AsciiRun(s + i, n - i);
            i += run;
            chars += run;
            if (i >= n) break;
        }
        if (t.lead[s[i]] && i + 1 < n && s[i + 1] != 0) {
            i += 2;
        } else {
            ++i;
        }
        ++chars;
    }
    return chars;
}

// Converts into `out`, which has room for exactly the characters that the bytes give.
void ConvertBytes(const Table& t, const unsigned char* s, size_t n, char16_t* out, size_t chars) {
    char16_t* const end = out + chars;
    size_t i = 0;
    while (i < n) {
        if (t.asciiSame) {
            size_t run = WidenAscii(s + i, n - i, out, static_cast<size_t>(end - out));
            i += run;
            out += run;
            if (i >= n) break;
        }
        unsigned char b = s[i];
        if (t.doubleByte && t.lead[b] && i + 1 < n && s[i + 1] != 0) {
            char16_t c = t.pairs[t.leadIndex[b] * 256u + s[i + 1]];
            *out++ = c ? c : t.defaultChar;
            i += 2;
        } else {
            *out++ = t.single[b];
            ++i;
        }
    }
}

// The length of the run of characters below 0x80 at the start of `s`, 8 at a time; with `out`,
// they are written there as bytes.
size_t NarrowAscii(const char16_t* s, size_t n, char* out) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const int ascii = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(block, high), zero));
        if (ascii != 0xFFFF) {
            const size_t run = static_cast<size_t>(__builtin_ctz(~ascii & 0xFFFF)) / 2;
            if (out) {
                for (size_t k = 0; k < run; ++k) out[i + k] = static_cast<char>(s[i + k]);
            }
            return i + run;
        }
        if (out)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(block, block));
    }
#endif
    for (; i < n && s[i] < 0x80; ++i) {
        if (out) out[i] = static_cast<char>(s[i]);
    }
    return i;
}

// As NarrowAscii, into `out` with room for at least 8 bytes past the run: whole blocks are
// written even where the run ends inside them, and what follows writes over the rest.
size_t NarrowAsciiRun(const char16_t* s, size_t n, char* out) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(block, block));
        const int ascii = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(block, high), zero));
        if (ascii != 0xFFFF) return i + static_cast<size_t>(__builtin_ctz(~ascii & 0xFFFF)) / 2;
    }
#endif
    for (; i < n && s[i] < 0x80; ++i) out[i] = static_cast<char>(s[i]);
    return i;
}

bool Fill(TextBuffer& out, const char16_t* text, size_t count) {
    if (count > static_cast<size_t>(INT32_MAX)) {
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return false;
    }
    TextBuffer fresh;
    if (!fresh.Resize(static_cast<int32_t>(count))) {
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return false;
    }
    if (count) std::memcpy(fresh.data(), text, count * sizeof(char16_t));
    out.Swap(fresh);
    return true;
}

}  // namespace

bool CodePageToWide(uint32_t codePage, const char* bytes, size_t count, TextBuffer& out) {
    if (codePage == 0) codePage = AnsiCodePage();
    if (codePage == 65001) {
        CString text;
        try {
            text = FromUtf8(std::string_view(bytes, count));
        } catch (const std::bad_alloc&) {
            posix::SetError(kErrorNotEnoughMemory, ENOMEM);
            return false;
        }
        return Fill(out, text.data(), text.size());
    }
    const Table* t = TableFor(codePage);
    if (!t) return false;
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t chars = t->doubleByte ? CountDoubleByte(*t, s, count) : count;
    if (chars > static_cast<size_t>(INT32_MAX)) {
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return false;
    }
    TextBuffer fresh;
    if (!fresh.Resize(static_cast<int32_t>(chars))) {
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return false;
    }
    if (chars) ConvertBytes(*t, s, count, fresh.data(), chars);
    out.Swap(fresh);
    return true;
}

bool WideToCodePage(uint32_t codePage, const char16_t* text, size_t count, std::string& out,
                    bool& usedDefault) {
    usedDefault = false;
    if (codePage == 0) codePage = AnsiCodePage();
    try {
        if (codePage == 65001) {
            out = ToUtf8(std::u16string_view(text, count));
            return true;
        }
        Table* t = TableWithReverse(codePage);
        if (!t) return false;
        const uint16_t* reverse = t->reverse.data();
        const bool ascii = t->asciiSame;
        size_t bytes = count;
        if (t->doubleByte) {
            for (size_t i = 0; i < count; ++i) {
                if (ascii) {
                    i += NarrowAscii(text + i, count - i, nullptr);
                    if (i >= count) break;
                }
                uint16_t code = reverse[text[i]];
                if (code != kNoCode && code > 0xFF) ++bytes;
            }
        }
        out.resize(bytes);
        char* o = out.data();
        for (size_t i = 0; i < count; ++i) {
            if (ascii) {
                const size_t run = NarrowAscii(text + i, count - i, o);
                i += run;
                o += run;
                if (i >= count) break;
            }
            char16_t c = text[i];
            uint16_t code = reverse[c];
            if (code == kNoCode) {
                *o++ = '?';
                usedDefault = true;
            } else if (code > 0xFF) {
                *o++ = static_cast<char>(code >> 8);
                *o++ = static_cast<char>(code);
            } else {
                *o++ = static_cast<char>(code);
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        posix::SetError(kErrorNotEnoughMemory, ENOMEM);
        return false;
    }
}

bool AnsiToWide(const char* bytes, size_t count, TextBuffer& out) {
    return CodePageToWide(AnsiCodePage(), bytes, count, out);
}

namespace {

// The bytes of `s` up to the last UTF-8 sequence that the block may cut.
size_t WholeUtf8(const unsigned char* s, size_t n) {
    size_t start = n;
    for (int k = 0; k < 3 && start > 0 && (s[start - 1] & 0xC0) == 0x80; ++k) --start;
    if (start == 0) return n;
    const unsigned char lead = s[start - 1];
    const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return n - (start - 1) < need ? start - 1 : n;
}

}  // namespace

bool AnsiToWideBlock(const char* bytes, size_t count, bool last, char16_t* out, size_t& consumed,
                     size_t& produced, bool& exact) {
    return CodePageToWideBlock(0, bytes, count, last, out, consumed, produced, exact);
}

bool CodePageToWideBlock(uint32_t codePage, const char* bytes, size_t count, bool last,
                         char16_t* out, size_t& consumed, size_t& produced, bool& exact) {
    if (codePage == 0) codePage = AnsiCodePage();
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    consumed = produced = 0;
    if (codePage == 65001) {
        const size_t n = last ? count : WholeUtf8(s, count);
        try {
            const std::string_view in(bytes, n);
            const CString text = FromUtf8(in);
            if (ToUtf8(text) != in) exact = false;
            std::memcpy(out, text.data(), text.size() * sizeof(char16_t));
            produced = text.size();
        } catch (const std::bad_alloc&) {
            posix::SetError(kErrorNotEnoughMemory, ENOMEM);
            return false;
        }
        consumed = n;
        return true;
    }
    Table* t = TableWithReverse(codePage);
    if (!t) return false;
    // The table in locals: the stores below could otherwise be taken to change it.
    const bool asciiSame = t->asciiSame;
    const bool doubleByte = t->doubleByte;
    const bool* lead = t->lead;
    const uint8_t* leadIndex = t->leadIndex;
    const char16_t* pairs = t->pairs.data();
    const char16_t* single = t->single;
    const uint64_t* exactPairs = t->exactPairs.data();
    const uint64_t* exactSingle = t->exactSingle;
    const char16_t defaultChar = t->defaultChar;
    bool same = true;
    char16_t* o = out;
    size_t i = 0;
    while (i < count) {
        if (asciiSame) {
            const size_t run = WidenAscii(s + i, count - i, o, count - i);
            i += run;
            o += run;
            if (i >= count) break;
        }
        // The characters up to the next ASCII byte through the tables: the words of a catalog
        // name are mostly several two-byte characters in a row.
        do {
            const unsigned char b = s[i];
            if (doubleByte && lead[b]) {
                if (i + 1 >= count && !last) goto cut;  // the trail byte is in the next block
                if (i + 1 < count && s[i + 1] != 0) {
                    const size_t pair = leadIndex[b] * 256u + s[i + 1];
                    const char16_t c = pairs[pair];
                    same &= Table::Bit(exactPairs, pair);
                    *o++ = c ? c : defaultChar;
                    i += 2;
                    continue;
                }
            }
            same &= Table::Bit(exactSingle, b);
            *o++ = single[b];
            ++i;
        } while (i < count && (!asciiSame || s[i] >= 0x80));
    }
cut:
    if (!same) exact = false;
    consumed = i;
    produced = static_cast<size_t>(o - out);
    return true;
}

bool WideToAnsiBlock(const char16_t* text, size_t count, char* out, size_t& written,
                     bool& usedDefault) {
    const uint32_t codePage = AnsiCodePage();
    written = 0;
    if (codePage == 65001) {
        try {
            const std::string bytes = ToUtf8(std::u16string_view(text, count));
            std::memcpy(out, bytes.data(), bytes.size());
            written = bytes.size();
        } catch (const std::bad_alloc&) {
            posix::SetError(kErrorNotEnoughMemory, ENOMEM);
            return false;
        }
        return true;
    }
    Table* t = TableWithReverse(codePage);
    if (!t) return false;
    const uint16_t* reverse = t->reverse.data();
    const bool ascii = t->asciiSame;
    bool defaulted = false;
    char* o = out;
    size_t i = 0;
    while (i < count) {
        if (ascii) {
            // `out` has room for 3 bytes a character, more than the run's blocks need.
            const size_t run = NarrowAsciiRun(text + i, count - i, o);
            i += run;
            o += run;
            if (i >= count) break;
        }
        // The characters up to the next ASCII one through the table, in a row.
        do {
            const uint16_t code = reverse[text[i]];
            if (code == kNoCode) {
                *o++ = '?';
                defaulted = true;
            } else if (code > 0xFF) {
                *o++ = static_cast<char>(code >> 8);
                *o++ = static_cast<char>(code);
            } else {
                *o++ = static_cast<char>(code);
            }
            ++i;
        } while (i < count && (!ascii || text[i] >= 0x80));
    }
    if (defaulted) usedDefault = true;
    written = static_cast<size_t>(o - out);
    return true;
}

bool WideToAnsi(const char16_t* text, size_t count, std::string& out, bool& usedDefault) {
    return WideToCodePage(AnsiCodePage(), text, count, out, usedDefault);
}

}  // namespace platform
