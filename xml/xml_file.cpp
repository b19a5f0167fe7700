// Load and save: whole files in the ANSI code page. A save writes a temporary file beside the
// target and moves it into place, so a catalog is never left half-written; the import opens and
// keeps its files by handle and hands them in.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"
#include "xml/XmlDocument.h"
#include "xml/internal/utf8_text.h"

namespace {

// Keeps the system's message of a failure while the cleanup that follows runs more calls.
CString FailureText() {
    return platform::SystemErrorText();
}

}  // namespace

CString CXmlDocument::SystemErrorText() {
    return platform::SystemErrorText();
}

namespace {

// Files move through memory in blocks of this many bytes (and characters on saving): the
// text is converted straight into its buffer and out of it, with no copy of the whole file.
constexpr size_t kBlock = 1 << 20;

// A byte-order mark is not part of the catalog's text in the code page, though it converts:
// a file that starts with one is never read exactly.
bool StartsWithByteOrderMark(const char* bytes, size_t count) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    if (count >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return true;
    return count >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
}

}  // namespace

namespace {

// ReadTextFile's work on a file already open, which it closes.
bool ReadOpenFile(platform::File* file, TextBuffer& text, CString& result, TextFileCheck* check) {
    if (check) check->exact = check->utf8 = false;
    const uint32_t codePage = check && check->codePage ? check->codePage : platform::AnsiCodePage();
    platform::FileSystem& files = platform::Files();
    int64_t size = 0;
    if (!files.Size(file, size)) {
        result = FailureText();
        files.Close(file);
        return false;
    }
    if (size < 0 || size > INT32_MAX / 2) {
        result = FormatMessageText(u"File too large to load: %s bytes",
                                   platform::FromUtf8(std::to_string(size)).c_str());
        files.Close(file);
        return false;
    }
    // Every code page gives at most one character per byte. The room beyond is what an edit
    // would grow the text to (address space only until written): a merge's additions then
    // fit, and the text is not moved, which would split its large pages and leave every
    // later pass over it missing the TLB.
    TextBuffer converted;
    std::unique_ptr<char[]> block(new (std::nothrow) char[kBlock + 4]);
    if (block && !converted.Reallocate(static_cast<int32_t>(size + size / 2 + 128)))
        converted.Reallocate(static_cast<int32_t>(size));
    if (!block || !converted.Resize(static_cast<int32_t>(size))) {
        platform::SetLastError(platform::kErrorNotEnoughMemory);
        result = FailureText();
        files.Close(file);
        return false;
    }
    bool same = true;
    Utf8TextCheck utf8(codePage);
    size_t total = 0;
    size_t chars = 0;
    size_t held = 0;  // bytes of a character cut at the end of the last block
    for (;;) {
        size_t done = 0;
        const size_t want = std::min(kBlock, static_cast<size_t>(size) - total);
        if (want && !files.Read(file, block.get() + held, want, done)) {
            result = FailureText();
            files.Close(file);
            return false;
        }
        if (total == 0 && StartsWithByteOrderMark(block.get(), done)) same = false;
        utf8.Feed(block.get() + held, done);
        total += done;
        const bool last = done == 0 || total >= static_cast<size_t>(size);
        const size_t have = held + done;
        size_t consumed = 0;
        size_t produced = 0;
        if (have &&
            !platform::CodePageToWideBlock(codePage, block.get(), have, last,
                                           converted.data() + chars, consumed, produced, same)) {
            result = FailureText();
            files.Close(file);
            return false;
        }
        chars += produced;
        held = have - consumed;
        if (held) std::memmove(block.get(), block.get() + consumed, held);
        if (last) break;
    }
    files.Close(file);
    // A file that delivers less than its size is not the whole catalog: refuse it rather
    // than merge into a truncated text and save that over the original.
    if (total != static_cast<size_t>(size)) {
        result = FormatMessageText(u"Short read: %d of %d bytes", static_cast<int32_t>(total),
                                   static_cast<int32_t>(size));
        return false;
    }
    converted.Resize(static_cast<int32_t>(chars));
    text.Swap(converted);
    if (check) {
        check->exact = same;
        check->utf8 = utf8.IsUtf8Text();
    }
    result = FormatMessageText(u"%s%d bytes to %d wide chars", u"", static_cast<int32_t>(size),
                               text.length());
    return true;
}

// Writes the text converted to the code page into an open file and forces it to the disk;
// `bytes` gets the count written.
bool WriteOpenFile(platform::File* file, const TextBuffer& text, CString& result, size_t& bytes) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[3 * kBlock]);
    if (!block) {
        platform::SetLastError(platform::kErrorNotEnoughMemory);
        result = FailureText();
        return false;
    }
    platform::FileSystem& files = platform::Files();
    auto fail = [&](CString message) {
        result = std::move(message);
        return false;
    };
    const char16_t* chars = text.c_str();
    const size_t length = static_cast<size_t>(text.length());
    bytes = 0;
    for (size_t pos = 0; pos < length;) {
        size_t n = std::min(kBlock, length - pos);
        // A surrogate pair stays in one block.
        if (pos + n < length && n > 1 && chars[pos + n - 1] >= 0xD800 &&
            chars[pos + n - 1] < 0xDC00)
            --n;
        size_t written = 0;
        bool usedDefault = false;
        if (!platform::WideToAnsiBlock(chars + pos, n, block.get(), written, usedDefault))
            return fail(FailureText());
        // A stand-in character would silently rename albums and items: refuse to write.
        if (usedDefault)
            return fail(FormatMessageText(
                u"Not saved: the text has characters that code page %d cannot represent",
                static_cast<int32_t>(platform::AnsiCodePage())));
        if (written && !files.Write(file, block.get(), written)) return fail(FailureText());
        bytes += written;
        pos += n;
    }
    if (!files.Flush(file)) return fail(FailureText());
    return true;
}

}  // namespace

bool CXmlDocument::ReadTextFile(const char16_t* path, TextBuffer& text, CString& result,
                                TextFileCheck* check) {
    if (check) check->exact = check->utf8 = false;
    platform::File* file = platform::Files().OpenRead(path);
    if (!file) {
        result = SystemErrorText();
        return false;
    }
    return ReadOpenFile(file, text, result, check);
}

bool CXmlDocument::WriteTextFile(const char16_t* path, const TextBuffer& text, CString& result) {
    platform::FileSystem& files = platform::Files();
    CString temporary;
    platform::File* file = files.CreateTemporary(path, temporary);
    if (!file) {
        result = FailureText();
        return false;
    }
    size_t bytes = 0;
    if (!WriteOpenFile(file, text, result, bytes)) {
        files.Close(file);
        files.Remove(temporary.c_str());
        return false;
    }
    if (!files.Close(file) || !files.Replace(temporary.c_str(), path)) {
        result = FailureText();
        files.Remove(temporary.c_str());
        return false;
    }
    result = FormatMessageText(u"%d wide chars to %s%d bytes", text.length(), u"",
                               static_cast<int32_t>(bytes));
    return true;
}

bool CXmlDocument::LoadFile(const char16_t* path) {
    loadedExactly = loadedUtf8 = false;
    platform::File* file = platform::Files().OpenRead(path);
    if (!file) {
        resultText = SystemErrorText();
        return false;
    }
    return LoadFile(file);
}

bool CXmlDocument::SaveFile(const char16_t* path) {
    return WriteTextFile(path, documentText, resultText);
}

bool CXmlDocument::LoadFile(platform::File* file) {
    TextBuffer text;
    CString note;
    TextFileCheck check;
    loadedExactly = loadedUtf8 = false;
    if (!ReadOpenFile(file, text, note, &check)) {
        resultText = std::move(note);
        return false;
    }
    documentText.Swap(text);
    resultText = std::move(note);
    loadedExactly = check.exact;
    loadedUtf8 = check.utf8;
    return ParseDocument();
}

bool CXmlDocument::SaveFile(platform::TempFile& temporary) {
    platform::File* file = temporary.Handle();
    size_t bytes = 0;
    if (!file) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        resultText = FailureText();
        return false;
    }
    if (!WriteOpenFile(file, documentText, resultText, bytes)) return false;
    resultText = FormatMessageText(u"%d wide chars to %s%d bytes", documentText.length(), u"",
                                   static_cast<int32_t>(bytes));
    return true;
}
