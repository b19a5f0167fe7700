// Reader of Wine's registry files (user.reg, system.reg): "WINE REGISTRY Version 2" text with
// one [section] per key and one line per value. Portable and free of I/O, so that it can be
// fed arbitrary bytes; malformed lines are skipped, never trusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::regfile {

struct Value {
    std::u16string name;  // empty for the default value ("@")
    uint32_t type = 0;
    std::string data;  // the bytes Windows would return: strings as UTF-16LE with terminator
};

struct Key {
    std::u16string path;  // as written in the file, unescaped
    std::vector<Value> values;

    // The value of that name, compared without regard to case; null when missing.
    const Value* Find(std::u16string_view name) const;
};

// True when the two names are equal without regard to case, as the registry compares them.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Looks up the key at `path` (relative to the file's root, "\"-separated, compared without
// regard to case). A key that has no section of its own but is the parent of one exists too,
// without values. Values of repeated sections are merged, the later one winning. False when
// the text lacks the header or the key.
bool FindKey(std::string_view text, std::u16string_view path, Key& key);

// Every section of the text, in file order. False when the text lacks the header.
bool ParseAll(std::string_view text, std::vector<Key>& keys);

// Reads a whole file (at most 256 MiB). False when it cannot be read; errno tells why.
bool ReadFile(const std::string& path, std::string& text);

}  // namespace platform::regfile
