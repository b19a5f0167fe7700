#include "pugixml_merge.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace {

std::string Fold(const char* name) {
    std::string key(name);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return key;
}

bool IsBlank(const char* s) {
    for (; *s; ++s) {
        if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n') return false;
    }
    return true;
}

// Adds a copy of `element` after `after` as the catalog merge does: past the whitespace that
// runs up to the next markup, followed by a line break; at the end of `parent` when there is
// nothing to follow.
pugi::xml_node AddAfter(pugi::xml_node parent, pugi::xml_node after, pugi::xml_node element) {
    pugi::xml_node added;
    if (!after) {
        const bool empty = !parent.first_child();
        if (empty) parent.append_child(pugi::node_pcdata).set_value("\r\n");
        added = parent.append_copy(element);
        parent.append_child(pugi::node_pcdata).set_value("\r\n");
        return added;
    }
    pugi::xml_node next = after.next_sibling();
    pugi::xml_node place = after;
    while (next && next.type() == pugi::node_pcdata && IsBlank(next.value())) {
        place = next;
        next = next.next_sibling();
    }
    if (next && next.type() == pugi::node_pcdata) place = after;  // text follows: stay put
    added = parent.insert_copy_after(element, place);
    parent.insert_child_after(pugi::node_pcdata, added).set_value("\r\n");
    return added;
}

}  // namespace

void PugixmlMerge(pugi::xml_document& source, pugi::xml_document& target) {
    pugi::xml_node from = source.child("mirvo").child("albums");
    pugi::xml_node to = target.child("mirvo").child("albums");
    std::unordered_map<std::string, pugi::xml_node> albums;
    pugi::xml_node lastAlbum;
    for (pugi::xml_node album : to.children("album")) {
        albums.emplace(Fold(album.attribute("name").value()), album);
        lastAlbum = album;
    }
    struct Items {
        std::unordered_set<std::string> names;
        pugi::xml_node last;
    };
    std::unordered_map<pugi::xml_node_struct*, Items> items;
    for (pugi::xml_node album : from.children("album")) {
        auto found = albums.find(Fold(album.attribute("name").value()));
        if (found == albums.end()) {
            lastAlbum = AddAfter(to, lastAlbum, album);
            albums.emplace(Fold(album.attribute("name").value()), lastAlbum);
            continue;
        }
        pugi::xml_node into = found->second;
        auto [entry, fresh] = items.try_emplace(into.internal_object());
        Items& known = entry->second;
        if (fresh) {
            for (pugi::xml_node item : into.children("item")) {
                known.names.insert(Fold(item.attribute("name").value()));
                known.last = item;
            }
        }
        for (pugi::xml_node item : album.children("item")) {
            if (!known.names.insert(Fold(item.attribute("name").value())).second) continue;
            known.last = AddAfter(into, known.last, item);
        }
    }
}

void PugixmlUpdateItemCounts(pugi::xml_document& target) {
    for (pugi::xml_node album : target.child("mirvo").child("albums").children("album")) {
        int count = 0;
        for (pugi::xml_node item : album.children("item")) {
            (void)item;
            ++count;
        }
        const std::string digits = std::to_string(count);
        pugi::xml_node element = album.child("ElemCount");
        if (element) {
            if (element.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; }))
                continue;
            while (element.first_child()) element.remove_child(element.first_child());
            element.append_child(pugi::node_pcdata).set_value(digits.c_str());
            continue;
        }
        // A new count goes at the end of the album's content, followed by a line break.
        if (!album.first_child()) album.append_child(pugi::node_pcdata).set_value("\r\n");
        album.append_child("ElemCount").append_child(pugi::node_pcdata).set_value(digits.c_str());
        album.append_child(pugi::node_pcdata).set_value("\r\n");
    }
}
