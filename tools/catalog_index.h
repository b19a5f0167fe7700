// What `brevlo-catalog index` prints of a document: its element records, the one part of the
// tools that reads the XML class's internals.
#pragma once

#include <string>

class CXmlDocument;

// One line per element record, from record 1 on.
std::string RecordLines(const CXmlDocument& doc);
