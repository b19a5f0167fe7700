// The pack author's check: what the import and Windows will make of a pack folder, found
// before the pack ships.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct PackFinding {
    std::string file;  // relative to the pack folder, with "/"
    int32_t line = 0;  // 0: the finding is about the whole file
    int32_t column = 0;
    bool error = true;
    std::string message;
};

// One entry of the pack folder, as the import's copy will meet it (platform::ListTree).
using PackEntry = platform::TreeEntry;

// Checks the pack in `folder`, whose own name is the command word, reading its catalog in
// `codePage`. Findings come in the order they are printed.
std::vector<PackFinding> CheckPack(const CString& folder, uint32_t codePage);

// "config.xml:3:5: error: ...", the form compilers use.
std::string FormatFinding(const PackFinding& finding);
