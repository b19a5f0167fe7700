// Load and save: whole files in the ANSI code page. A save writes a temporary file beside the
// target and moves it into place, so a catalog is never left half-written.
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "xml/XmlDocument.h"

namespace {

// Keeps the system's message of a failure while the cleanup that follows runs more calls.
CString FailureText() {
    return platform::SystemErrorText();
}

// The reading behind ReadTextFile; `exact` tells whether the bytes come back from the text.
bool ReadText(const char16_t* path, TextBuffer& text, CString& result, bool* exact);

}  // namespace

CString CXmlDocument::SystemErrorText() {
    return platform::SystemErrorText();
}

bool CXmlDocument::ReadTextFile(const char16_t* path, TextBuffer& text, CString& result) {
    return ReadText(path, text, result, nullptr);
}

namespace {

bool ReadText(const char16_t* path, TextBuffer& text, CString& result, bool* exact) {
    platform::FileSystem& files = platform::Files();
    platform::File* file = files.OpenRead(path);
    if (!file) {
        result = FailureText();
        return false;
    }
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
    std::string bytes;
    size_t done = 0;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        platform::SetLastError(platform::kErrorNotEnoughMemory);
        result = FailureText();
        files.Close(file);
        return false;
    }
    if (size && !files.Read(file, bytes.data(), bytes.size(), done)) {
        result = FailureText();
        files.Close(file);
        return false;
    }
    files.Close(file);
    // A file that delivers less than its size is not the whole catalog: refuse it rather
    // than merge into a truncated text and save that over the original.
    if (done != bytes.size()) {
        result = FormatMessageText(u"Short read: %d of %d bytes", static_cast<int32_t>(done),
                                   static_cast<int32_t>(size));
        return false;
    }
    TextBuffer converted;
    if (!platform::AnsiToWide(bytes.data(), bytes.size(), converted)) {
        result = FailureText();
        return false;
    }
    if (exact) {
        std::string back;
        bool usedDefault = false;
        *exact = platform::WideToAnsi(converted.c_str(), static_cast<size_t>(converted.length()),
                                      back, usedDefault) &&
                 !usedDefault && back == bytes;
    }
    text.Swap(converted);
    result = FormatMessageText(u"%s%d bytes to %d wide chars", u"", static_cast<int32_t>(size),
                               text.length());
    return true;
}

}  // namespace

bool CXmlDocument::WriteTextFile(const char16_t* path, const TextBuffer& text, CString& result) {
    std::string bytes;
    bool usedDefault = false;
    if (!text.empty() && !platform::WideToAnsi(text.c_str(), static_cast<size_t>(text.length()),
                                               bytes, usedDefault)) {
        result = FailureText();
        return false;
    }
    // A stand-in character would silently rename albums and items: refuse to write.
    if (usedDefault) {
        result = FormatMessageText(
            u"Not saved: the text has characters that code page %d cannot represent",
            static_cast<int32_t>(platform::AnsiCodePage()));
        return false;
    }
    platform::FileSystem& files = platform::Files();
    CString temporary;
    platform::File* file = files.CreateTemporary(path, temporary);
    if (!file) {
        result = FailureText();
        return false;
    }
    bool ok = bytes.empty() || files.Write(file, bytes.data(), bytes.size());
    ok = ok && files.Flush(file);
    if (!ok) {
        result = FailureText();
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
                               static_cast<int32_t>(bytes.size()));
    return true;
}

bool CXmlDocument::LoadFile(const char16_t* path) {
    TextBuffer text;
    CString note;
    bool exact = false;
    if (!ReadText(path, text, note, &exact)) {
        resultText = std::move(note);
        loadedExactly = false;
        return false;
    }
    documentText.Swap(text);
    loadedExactly = exact;
    resultText = std::move(note);
    return ParseDocument();
}

bool CXmlDocument::SaveFile(const char16_t* path) {
    return WriteTextFile(path, documentText, resultText);
}
