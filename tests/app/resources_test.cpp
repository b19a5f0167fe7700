// The templates and strings the POSIX build carries (tables generated from brevlo.rc) against
// the resources windres compiled into the Windows executable from the same script, which also
// shows that the UTF-8 script reached the binary intact.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/resources.h"
#include "platform/platform.h"
#include "app/framework/framework.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct Control {
    CString windowClass;
    CString text;
    int id;
    int x, y, cx, cy;
    uint32_t style;  // without WS_CHILD and WS_VISIBLE, which every control has
    bool operator==(const Control&) const = default;
};

struct Dialog {
    CString caption;
    uint32_t style;  // without DS_SETFONT, which the font statement brings
    uint32_t exStyle;
    int cx, cy;
    CString font;
    int pointSize;
    std::vector<Control> controls;
    bool operator==(const Dialog&) const = default;
};

[[maybe_unused]] void PrintTo(const Dialog& d, std::ostream* os) {
    *os << platform::ToUtf8(d.caption) << " " << d.cx << "x" << d.cy << " style " << std::hex
        << d.style << " ex " << d.exStyle << std::dec << " font " << platform::ToUtf8(d.font) << " "
        << d.pointSize;
    for (const Control& c : d.controls) {
        *os << "\n  " << platform::ToUtf8(c.windowClass) << " \"" << platform::ToUtf8(c.text)
            << "\" " << c.id << " @" << c.x << "," << c.y << " " << c.cx << "x" << c.cy << " style "
            << std::hex << c.style << std::dec;
    }
}

constexpr uint32_t kEveryControl = WS_CHILD | WS_VISIBLE;

// Class names compare without regard to case (windres writes them in capitals).
CString Lower(CString text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    }
    return text;
}

Dialog Carried(UINT id) {
    for (size_t i = 0; i < kResourceModule.dialogCount; ++i) {
        const ui::DialogTemplate& t = kResourceModule.dialogs[i];
        if (t.id != id) continue;
        Dialog d{t.caption, t.style, t.exStyle, t.cx, t.cy, u"宋体", 9, {}};
        for (size_t k = 0; k < t.controlCount; ++k) {
            const ui::ControlTemplate& c = t.controls[k];
            d.controls.push_back(
                {Lower(c.windowClass), c.text, c.id, c.x, c.y, c.cx, c.cy, c.style});
        }
        return d;
    }
    ADD_FAILURE() << "no template " << id;
    return {};
}

#ifdef _WIN32

// ---- the compiled resources ---------------------------------------------------------------

class Reader {
  public:
    explicit Reader(const BYTE* at) : at_(at), begin_(at) {}
    uint16_t Word() {
        uint16_t v;
        memcpy(&v, at_, 2);
        at_ += 2;
        return v;
    }
    uint32_t Dword() { return Word() | (uint32_t(Word()) << 16); }
    int Short() { return static_cast<int16_t>(Word()); }
    CString Text() {
        CString s;
        while (uint16_t c = Word()) s += static_cast<char16_t>(c);
        return s;
    }
    // A name or an ordinal (0xFFFF followed by the number).
    CString NameOrOrdinal(int* ordinal = nullptr) {
        uint16_t first = Word();
        if (first == 0xFFFF) {
            const uint16_t n = Word();
            if (ordinal) *ordinal = n;
            return u"#" + platform::FromUtf8(std::to_string(n));
        }
        if (first == 0) return {};
        CString s(1, static_cast<char16_t>(first));
        while (uint16_t c = Word()) s += static_cast<char16_t>(c);
        return s;
    }
    void AlignDword() {
        while ((at_ - begin_) % 4) ++at_;
    }
    void Skip(size_t n) { at_ += n; }

  private:
    const BYTE* at_;
    const BYTE* begin_;
};

CString ClassName(const CString& raw) {
    static const std::map<CString, CString> atoms = {{u"#128", u"Button"}, {u"#130", u"Static"}};
    auto it = atoms.find(raw);
    return it == atoms.end() ? raw : it->second;
}

Dialog Compiled(UINT id) {
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    if (!found) {
        ADD_FAILURE() << "no dialog resource " << id;
        return {};
    }
    Reader r(static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found))));
    Dialog d{};
    const uint16_t version = r.Word();
    const uint16_t signature = r.Word();
    const bool extended = version == 1 && signature == 0xFFFF;
    if (extended) {
        r.Dword();  // help id
        d.exStyle = r.Dword();
        d.style = r.Dword();
    } else {
        d.style = version | (uint32_t(signature) << 16);
        d.exStyle = r.Dword();
    }
    const int count = r.Word();
    r.Short();
    r.Short();
    d.cx = r.Short();
    d.cy = r.Short();
    r.NameOrOrdinal();  // menu
    r.NameOrOrdinal();  // class
    d.caption = r.Text();
    if (d.style & DS_SETFONT) {
        d.pointSize = r.Word();
        if (extended) {
            r.Word();   // weight
            r.Skip(2);  // italic, character set
        }
        d.font = r.Text();
    }
    d.style &= ~DS_SETFONT;
    for (int i = 0; i < count; ++i) {
        r.AlignDword();
        Control c{};
        if (extended) {
            r.Dword();  // help id
            r.Dword();  // extended style
            c.style = r.Dword();
        } else {
            c.style = r.Dword();
            r.Dword();
        }
        c.x = r.Short();
        c.y = r.Short();
        c.cx = r.Short();
        c.cy = r.Short();
        c.id = extended ? static_cast<int>(r.Dword()) : r.Short();
        c.windowClass = Lower(ClassName(r.NameOrOrdinal()));
        int ordinal = -1;
        c.text = r.NameOrOrdinal(&ordinal);
        if (ordinal >= 0) c.text.clear();  // an icon's resource number
        r.Skip(r.Word());
        c.style &= ~kEveryControl;
        d.controls.push_back(c);
    }
    return d;
}

TEST(Resources, CarriedTemplatesMatchTheCompiledOnes) {
    for (UINT id : {IDD_ABOUTBOX, IDD_IMPORT_DIALOG}) EXPECT_EQ(Carried(id), Compiled(id)) << id;
}

TEST(Resources, StringsAndIcon) {
    EXPECT_EQ(ui::LoadResourceString(IDS_ABOUTBOX), kResourceModule.strings[0].text);
    EXPECT_EQ(ui::LoadResourceString(IDS_ABOUTBOX), u"关于 Brevlo(&A)...");
    EXPECT_NE(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME)), nullptr);
}

#endif

TEST(Resources, TheTextsTheUserReads) {
    const Dialog about = Carried(IDD_ABOUTBOX);
    EXPECT_EQ(about.caption, u"关于 Brevlo");
    EXPECT_EQ(about.cx, 235);
    EXPECT_EQ(about.cy, 55);
    ASSERT_EQ(about.controls.size(), 4u);
    EXPECT_EQ(about.controls[1].text, u"Brevlo 1.0 版");
    EXPECT_EQ(about.controls[3].text, u"确定");
    EXPECT_EQ(about.controls[3].id, IDOK);
    const Dialog import = Carried(IDD_IMPORT_DIALOG);
    EXPECT_EQ(import.caption, u"MirvoPix");
    EXPECT_EQ(import.cx, 208);
    EXPECT_EQ(import.cy, 43);
    ASSERT_EQ(import.controls.size(), 2u);
    EXPECT_EQ(import.controls[0].id, IDC_PROGRESS);  // first in the tab order
    EXPECT_EQ(import.controls[1].id, IDC_TEXT);
}

}  // namespace
