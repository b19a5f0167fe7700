// Structural invariants of a document's element index, checked by tests after every parse
// and every edit.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/XmlDocument.h"

testing::AssertionResult CheckStructure(const CXmlDocument& doc);

// The raw tag name at the start of a span ("<" then characters up to whitespace, "/", ">").
std::u16string NameAt(const CXmlDocument& doc, ElementHandle handle);

std::string Narrow(std::u16string_view text);  // UTF-8, for messages
std::u16string Widen(std::string_view utf8);

// One line per record from 1 to nextRecord - 1:
// "handle start length startTagLength endTagLength level 0xflags parent firstChild next prev".
std::string DumpRecords(const CXmlDocument& doc);
std::string DumpRecord(const CXmlDocument& doc, ElementHandle handle);

// Every element in document order.
std::vector<ElementHandle> DocumentOrder(const CXmlDocument& doc);
// IndexDifference as a test assertion.
testing::AssertionResult MatchesFreshParse(const CXmlDocument& doc);
