// The PE version reader on any bytes: whatever it reports lies inside the file and inside
// the block, and the fixed record it points at carries the signature.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "platform/posix/pe_reader.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace pe = platform::pe;
    const pe::MemorySource file(data, size);
    uint64_t offset = 0;
    uint32_t length = 0;
    if (pe::FindVersionResource(file, offset, length)) {
        FUZZ_CHECK(offset <= size && length <= size - offset, "resource outside the file");
        FUZZ_CHECK(length <= pe::kMaxVersionResource, "resource too large");
        std::vector<uint8_t> block(length);
        FUZZ_CHECK(file.ReadAt(offset, block.data(), length), "resource unreadable");
        size_t fixed = 0;
        if (pe::FindFixedFileInfo(block.data(), block.size(), fixed)) {
            FUZZ_CHECK(fixed % 4 == 0 && fixed + 52 <= block.size(), "fixed record outside");
            uint32_t signature = 0;
            std::memcpy(&signature, block.data() + fixed, 4);
            FUZZ_CHECK(signature == platform::kFixedFileInfoSignature, "signature");
        }
    }
    // The block reader on its own, on any bytes.
    size_t fixed = 0;
    if (pe::FindFixedFileInfo(data, size, fixed)) {
        FUZZ_CHECK(fixed + 52 <= size, "fixed record outside the block");
        uint32_t signature = 0;
        std::memcpy(&signature, data + fixed, 4);
        FUZZ_CHECK(signature == platform::kFixedFileInfoSignature, "signature");
    }
    return 0;
}
