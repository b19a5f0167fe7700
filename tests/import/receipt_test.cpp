// Receipts: what is written reads back the same, whatever the names hold.
#include <gtest/gtest.h>

#include <random>

#include "import/receipt.h"

namespace {

// Names with what a receipt must carry through: markup, quotes, line breaks, controls,
// Chinese, a surrogate pair, and a lone surrogate (a host name kept byte for byte).
CString RandomText(std::mt19937& random) {
    static const char16_t kPieces[][6] = {u"a", u"Z",      u"&",     u"<",  u">",    u"\"",
                                          u"'", u" ",      u"\r\n",  u"\t", u"\x1b", u"夏",
                                          u"😀", u"\xdc81", u"&amp;", u"]]>"};
    CString text;
    const int n = static_cast<int>(random() % 12);
    for (int i = 0; i < n; ++i) text += kPieces[random() % std::size(kPieces)];
    return text;
}

TEST(Receipt, WhatIsWrittenReadsBackTheSame) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        Receipt r;
        r.productFolder = u"C:\\p\\data\\" + RandomText(random);
        r.packFolder = RandomText(random);
        r.packCatalogSha256 = round % 3 ? std::string(64, 'a') : "";
        r.date = u"2026-12-07T18:00:00Z";
        r.catalogCreated = round % 2;
        for (int i = static_cast<int>(random() % 4); i > 0; --i) {
            r.folders.push_back(RandomText(random));
            r.files.push_back({RandomText(random), random() * 4096ull, std::string(64, 'f')});
            r.foundFiles.push_back(RandomText(random));
            r.foundItems.push_back({RandomText(random), i % 2 ? RandomText(random) : CString()});
            Receipt::Change c;
            c.kind = static_cast<Receipt::Kind>(random() % 3);
            c.album = RandomText(random);
            if (c.kind == Receipt::Kind::Item) c.item = RandomText(random);
            c.created = c.kind == Receipt::Kind::Count && random() % 2;
            if (c.kind != Receipt::Kind::Count || c.created)
                c.parent = static_cast<ParentForm>(random() % 3);
            if (c.kind == Receipt::Kind::Count && !c.created) c.before = RandomText(random);
            c.text = RandomText(random);
            r.changes.push_back(c);
        }
        // Found items name no empty album here: an empty item marks a found album.
        for (Receipt::Found& f : r.foundItems)
            if (f.album.empty() && f.item.empty()) f.album = u"x";
        // Found files are never empty paths.
        for (CString& f : r.foundFiles)
            if (f.empty()) f = u"f";
        const CString text = ReceiptText(r);
        for (char16_t c : text)
            ASSERT_TRUE(c == u'\r' || c == u'\n' || c == u'\t' || (c >= 0x20 && c < 0x7F));
        Receipt back;
        std::string problem;
        ASSERT_TRUE(ParseReceipt(text, back, problem)) << problem;
        EXPECT_EQ(back.productFolder, r.productFolder);
        EXPECT_EQ(back.packFolder, r.packFolder);
        EXPECT_EQ(back.packCatalogSha256, r.packCatalogSha256);
        EXPECT_EQ(back.catalogCreated, r.catalogCreated);
        EXPECT_EQ(back.folders, r.folders);
        ASSERT_EQ(back.files.size(), r.files.size());
        for (size_t i = 0; i < r.files.size(); ++i) {
            EXPECT_EQ(back.files[i].path, r.files[i].path);
            EXPECT_EQ(back.files[i].size, r.files[i].size);
        }
        ASSERT_EQ(back.changes.size(), r.changes.size());
        for (size_t i = 0; i < r.changes.size(); ++i) {
            const Receipt::Change &a = back.changes[i], &b = r.changes[i];
            EXPECT_TRUE(a.kind == b.kind && a.album == b.album && a.item == b.item &&
                        a.parent == b.parent && a.created == b.created && a.before == b.before &&
                        a.text == b.text);
        }
        EXPECT_EQ(back.foundFiles, r.foundFiles);
        ASSERT_EQ(back.foundItems.size(), r.foundItems.size());
    }
}

TEST(Receipt, RefusesWhatIsNotOne) {
    const struct {
        const char16_t* text;
        const char* problem;
    } cases[] = {
        {u"", "not a receipt"},
        {u"<catalog/>", "not a receipt"},
        {u"<receipt version=\"2\"/>", "a receipt of version 2, which this build does not know"},
    };
    for (const auto& c : cases) {
        Receipt r;
        std::string problem;
        EXPECT_FALSE(ParseReceipt(c.text, r, problem));
        EXPECT_EQ(problem, c.problem);
    }
}

}  // namespace
