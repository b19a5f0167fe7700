// The registry-file reader on any bytes: every key ParseAll lists is found again by FindKey
// with every value that section holds, and no value name appears twice in a found key.
#include "fuzz/fuzz_support.h"
#include "platform/posix/reg_file.h"

namespace regfile = platform::regfile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<regfile::Key> keys;
    const bool parsed = regfile::ParseAll(text, keys);
    if (!parsed) {
        FUZZ_CHECK(keys.empty(), "keys from a text without the header");
        regfile::Key key;
        FUZZ_CHECK(!regfile::FindKey(text, u"Software", key), "key without the header");
        return 0;
    }
    for (size_t i = 0; i < keys.size() && i < 64; ++i) {
        regfile::Key found;
        FUZZ_CHECK(regfile::FindKey(text, keys[i].path, found),
                   "listed key not found: " + fuzz::Narrow(keys[i].path));
        for (const regfile::Value& value : keys[i].values) {
            const regfile::Value* again = found.Find(value.name);
            FUZZ_CHECK(again, "value not found: " + fuzz::Narrow(value.name));
        }
        for (size_t a = 0; a < found.values.size(); ++a)
            for (size_t b = a + 1; b < found.values.size(); ++b)
                FUZZ_CHECK(!regfile::EqualNoCase(found.values[a].name, found.values[b].name),
                           "value listed twice in a key");
    }
    return 0;
}
