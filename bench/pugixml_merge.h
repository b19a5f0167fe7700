// The peer of the import's catalog step: the same merge and counts written plainly over
// pugixml's tree, with std::unordered_map keyed on the folded names, giving the same text.
#pragma once

#include <pugixml.hpp>

// Keeps whitespace, the declaration, comments and line breaks as they are, so that a catalog
// saves back unchanged.
constexpr unsigned kPugixmlKeepText =
    (pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_declaration | pugi::parse_comments |
     pugi::parse_pi) &
    ~pugi::parse_eol;

void PugixmlMerge(pugi::xml_document& source, pugi::xml_document& target);
void PugixmlUpdateItemCounts(pugi::xml_document& target);
