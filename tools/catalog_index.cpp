#include "tools/catalog_index.h"

#include "xml/internal/XmlInternals.h"

std::string RecordLines(const CXmlDocument& doc) {
    std::string out;
    for (int32_t h = 1; h < XmlInternals(doc).NextRecord(); ++h)
        out += XmlInternals::RecordLine(doc, static_cast<ElementHandle>(h)) + "\n";
    return out;
}
