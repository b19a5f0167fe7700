// Wine writes each key as a line "[Path\\To\\Key] <time stamp>" followed by its values, one
// a line: @="text", "name"="text", "n"=str(2):"...", "n"=dword:0000001a, "n"=hex(b):01,02
// (a long hex list goes on over lines that end in a backslash). Strings escape the backslash,
// the quote, control characters (\n, \0017, ...) and every character above 127 (\x4e2d, at
// most four hex digits). Older files may hold raw UTF-8 instead.
#include "platform/posix/reg_file.h"

#include <cerrno>
#include <cstdio>
#include <unordered_map>

namespace platform::regfile {

namespace {

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
constexpr uint32_t kTypeSz = 1;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;
constexpr size_t kMaxFileSize = size_t{256} << 20;

// Upper case as the registry folds names, for the scripts names are written in: Latin, Greek,
// Cyrillic and the full-width Latin letters. Other characters compare as they are.
char16_t Upper(char16_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? char16_t(c - 32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        bool evenUpper = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
        if (evenUpper && (c & 1)) return char16_t(c - 1);
        if (oddUpper && !(c & 1)) return char16_t(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? char16_t(0x3A3) : char16_t(c - 32);
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return char16_t(c - 37);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return char16_t(c - 63);
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 32);
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 80);
    if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 32);
    return c;
}

std::u16string Folded(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = Upper(c);
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendCodePoint(std::u16string& out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(char16_t(0xD800 + (c >> 10)));
        out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(char16_t(c));
    }
}

// One UTF-8 sequence at s[i]; an invalid one yields U+FFFD and consumes a single byte.
char32_t DecodeUtf8(std::string_view s, size_t& i) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = b(i);
    size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t min = extra == 3 ? 0x10000 : extra == 2 ? 0x800 : 0x80;
    if (extra == 0 || lead > 0xF4 || s.size() - i <= extra) {
        ++i;
        return 0xFFFD;
    }
    char32_t c = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (b(i + k) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += extra + 1;
    return c;
}

// Reads an escaped string from line[i] up to the unescaped `end`, leaving i after it. False
// when the line ends first.
bool Unescape(std::string_view line, size_t& i, char end, std::u16string& out) {
    out.clear();
    while (i < line.size()) {
        char c = line[i];
        if (c == end) {
            ++i;
            return true;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            AppendCodePoint(out, DecodeUtf8(line, i));
            continue;
        }
        ++i;
        if (c != '\\') {
            out.push_back(char16_t(static_cast<unsigned char>(c)));
            continue;
        }
        if (i >= line.size()) return false;
        c = line[i++];
        switch (c) {
            case 'a':
                out.push_back(u'\a');
                break;
            case 'b':
                out.push_back(u'\b');
                break;
            case 'e':
                out.push_back(char16_t(0x1B));
                break;
            case 'f':
                out.push_back(u'\f');
                break;
            case 'n':
                out.push_back(u'\n');
                break;
            case 'r':
                out.push_back(u'\r');
                break;
            case 't':
                out.push_back(u'\t');
                break;
            case 'v':
                out.push_back(u'\v');
                break;
            case 'x': {
                uint32_t v = 0;
                int digits = 0;
                for (; digits < 4 && i < line.size() && HexDigit(line[i]) >= 0; ++digits, ++i) {
                    v = v * 16 + uint32_t(HexDigit(line[i]));
                }
                out.push_back(digits ? char16_t(v) : u'x');
                break;
            }
            default:
                if (c >= '0' && c <= '7') {
                    uint32_t v = uint32_t(c - '0');
                    for (int k = 0; k < 2 && i < line.size() && line[i] >= '0' && line[i] <= '7';
                         ++k, ++i) {
                        v = v * 8 + uint32_t(line[i] - '0');
                    }
                    out.push_back(char16_t(v));
                } else if (static_cast<unsigned char>(c) >= 0x80) {
                    --i;
                    AppendCodePoint(out, DecodeUtf8(line, i));
                } else {
                    out.push_back(char16_t(c));
                }
        }
    }
    return false;
}

class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}

    bool Next(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        line = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return true;
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
};

bool ReadHeader(LineReader& reader) {
    std::string_view line;
    if (!reader.Next(line)) return false;
    if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    return line == kHeader;
}

bool StartsWith(std::string_view s, size_t i, std::string_view prefix) {
    return s.size() - i >= prefix.size() && s.substr(i, prefix.size()) == prefix;
}

// A hex number of 1 to 8 digits at line[i].
bool ParseHexNumber(std::string_view line, size_t& i, uint32_t& value) {
    value = 0;
    size_t start = i;
    while (i < line.size() && HexDigit(line[i]) >= 0) {
        if (i - start == 8) return false;
        value = value * 16 + uint32_t(HexDigit(line[i++]));
    }
    return i > start;
}

void SkipBlanks(std::string_view line, size_t& i) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
}

bool OnlyBlanksFrom(std::string_view line, size_t i) {
    SkipBlanks(line, i);
    return i == line.size();
}

// "01,02,\" lines: bytes of one or two hex digits, commas between, a backslash at the end of a
// line continuing the list on the next one.
bool ParseHexList(LineReader& reader, std::string_view line, size_t i, std::string& data) {
    for (;;) {
        SkipBlanks(line, i);
        if (i == line.size()) return true;
        if (line[i] == '\\' && OnlyBlanksFrom(line, i + 1)) {
            if (!reader.Next(line)) return true;
            i = 0;
            continue;
        }
        int hi = HexDigit(line[i]);
        if (hi < 0) return false;
        ++i;
        int byte = hi;
        if (i < line.size() && HexDigit(line[i]) >= 0) byte = byte * 16 + HexDigit(line[i++]);
        data.push_back(static_cast<char>(byte));
        SkipBlanks(line, i);
        if (i < line.size() && line[i] == ',')
            ++i;
        else if (i < line.size() && line[i] != '\\')
            return false;
    }
}

void AppendUtf16Le(std::string& data, std::u16string_view text) {
    data.reserve(data.size() + text.size() * 2 + 2);
    for (char16_t c : text) {
        data.push_back(static_cast<char>(c & 0xFF));
        data.push_back(static_cast<char>(c >> 8));
    }
}

// One value line (and, for hex data, its continuation lines).
bool ParseValue(LineReader& reader, std::string_view line, Value& value) {
    size_t i = 0;
    value.name.clear();
    value.data.clear();
    if (line[0] == '@') {
        i = 1;
    } else if (line[0] == '"') {
        i = 1;
        if (!Unescape(line, i, '"', value.name)) return false;
    } else {
        return false;
    }
    SkipBlanks(line, i);
    if (i >= line.size() || line[i] != '=') return false;
    ++i;
    SkipBlanks(line, i);

    value.type = kTypeSz;
    bool isString = false;
    if (StartsWith(line, i, "\"")) {
        isString = true;
    } else if (StartsWith(line, i, "str:")) {
        i += 4;
        isString = true;
    } else if (StartsWith(line, i, "str(")) {
        i += 4;
        if (!ParseHexNumber(line, i, value.type) || !StartsWith(line, i, "):")) return false;
        i += 2;
        isString = true;
    }
    if (isString) {
        if (!StartsWith(line, i, "\"")) return false;
        ++i;
        std::u16string text;
        if (!Unescape(line, i, '"', text)) return false;
        AppendUtf16Le(value.data, text);
        value.data.append(2, '\0');
        return true;
    }
    if (StartsWith(line, i, "dword:")) {
        i += 6;
        uint32_t v;
        if (!ParseHexNumber(line, i, v) || !OnlyBlanksFrom(line, i)) return false;
        value.type = kTypeDword;
        for (int k = 0; k < 4; ++k) value.data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
        return true;
    }
    if (StartsWith(line, i, "hex:")) {
        value.type = kTypeBinary;
        return ParseHexList(reader, line, i + 4, value.data);
    }
    if (StartsWith(line, i, "hex(")) {
        i += 4;
        if (!ParseHexNumber(line, i, value.type) || !StartsWith(line, i, "):")) return false;
        return ParseHexList(reader, line, i + 2, value.data);
    }
    return false;
}

bool ParseSection(std::string_view line, std::u16string& path) {
    size_t i = 1;
    return Unescape(line, i, ']', path);
}

// `parent` names a key above `path`.
bool IsAncestor(std::u16string_view parent, std::u16string_view path) {
    return path.size() > parent.size() && path[parent.size()] == u'\\' &&
           EqualNoCase(parent, path.substr(0, parent.size()));
}

}  // namespace

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

const Value* Key::Find(std::u16string_view name) const {
    for (const Value& v : values) {
        if (EqualNoCase(v.name, name)) return &v;
    }
    return nullptr;
}

bool FindKey(std::string_view text, std::u16string_view path, Key& key) {
    key.path.assign(path);
    key.values.clear();
    LineReader reader(text);
    if (!ReadHeader(reader)) return false;

    // Folded name -> index, so that a section with many values stays linear.
    std::unordered_map<std::u16string, size_t> index;
    bool found = path.empty();
    bool inKey = false;
    std::u16string section;
    Value value;
    std::string_view line;
    while (reader.Next(line)) {
        if (line.empty()) continue;
        if (line[0] == '[') {
            inKey = ParseSection(line, section) && EqualNoCase(section, path);
            if (inKey || IsAncestor(path, section)) found = true;
            continue;
        }
        if (!inKey || (line[0] != '"' && line[0] != '@')) continue;
        if (!ParseValue(reader, line, value)) continue;
        auto [it, added] = index.try_emplace(Folded(value.name), key.values.size());
        if (added)
            key.values.push_back(std::move(value));
        else
            key.values[it->second] = std::move(value);
        value = Value();
    }
    return found;
}

bool ParseAll(std::string_view text, std::vector<Key>& keys) {
    keys.clear();
    LineReader reader(text);
    if (!ReadHeader(reader)) return false;
    bool inKey = false;
    Value value;
    std::string_view line;
    while (reader.Next(line)) {
        if (line.empty()) continue;
        if (line[0] == '[') {
            keys.emplace_back();
            inKey = ParseSection(line, keys.back().path);
            if (!inKey) keys.pop_back();
            continue;
        }
        if (!inKey || (line[0] != '"' && line[0] != '@')) continue;
        if (ParseValue(reader, line, value)) keys.back().values.push_back(std::move(value));
        value = Value();
    }
    return true;
}

bool ReadFile(const std::string& path, std::string& text) {
    text.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got == 0) {
            ok = !std::ferror(file);
            break;
        }
        if (text.size() + got > kMaxFileSize) {
            errno = EFBIG;
            ok = false;
            break;
        }
        text.append(buffer, got);
    }
    int saved = errno;
    std::fclose(file);
    errno = saved;
    return ok;
}

}  // namespace platform::regfile
