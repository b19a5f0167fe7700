#include "import/import_texts.h"

#include <string>

namespace {

// What the user can do, by cause. Each ends the text.
constexpr char16_t kFreeSpace[] = u"请释放磁盘空间或修正权限后重新运行素材包。";
constexpr char16_t kPermissions[] = u"请修正此文件的权限后重新运行素材包。";
constexpr char16_t kPackAuthor[] = u"请联系素材包的作者更正此文件。";
constexpr char16_t kProductCatalog[] = u"请更正此文件或从备份恢复后重新运行素材包。";
constexpr char16_t kShorterInstall[] = u"请将MirvoPix安装到路径较短的文件夹后重新运行素材包。";
constexpr char16_t kShorterPack[] = u"请将素材包移到路径较短的文件夹后重新运行。";
constexpr char16_t kUnpack[] = u"请完整解压素材包，使素材文件夹与本程序位于同一文件夹后重新运行。";
constexpr char16_t kLater[] = u"请稍后重新运行素材包；仍不成功时，请重新启动计算机后再试。";
constexpr char16_t kMemory[] = u"请关闭其他程序后重新运行素材包。";
constexpr char16_t kReport[] = u"请将此问题告知素材包的作者。";
constexpr char16_t kRunAgain[] = u"请重新运行素材包。";
constexpr char16_t kLinkOwner[] = u"请确认该链接无误并由文件夹的所有者重新创建后再运行素材包。";
constexpr char16_t kOtherFile[] = u"请换成正确的目录文件后重新运行素材包。";
constexpr char16_t kFixLink[] = u"请修正或删除该链接后重新运行素材包。";
constexpr char16_t kCloseWriter[] = u"请关闭正在修改它的程序（例如 MirvoPix）后重新运行素材包。";
constexpr char16_t kRename[] = u"请让素材包的作者改名后重新运行素材包。";
constexpr char16_t kUnpackOnWindows[] = u"请在 Windows 中重新解压素材包后再运行。";
constexpr char16_t kMoveAway[] = u"请移走它后重新运行素材包。";
constexpr char16_t kNoRemoval[] = u"以后将无法用 brevlo-catalog remove 取出此素材包。";

// A sentence end, or a blank or line break after one.
bool IsSentenceEnd(char16_t c) {
    return c == u'。' || c == u'.' || c == u'．' || c == u'!' || c == u'！' || c == u' ' ||
           c == u'\t' || c == u'\r' || c == u'\n' || c == u'\u3000';
}

CString Quoted(const CString& name) {
    return u"“" + ShownName(name) + u"”";
}

// Names one after another, as a list is written in Chinese: “A”、“B”.
CString QuotedList(const std::vector<CString>& names) {
    CString list;
    for (const CString& name : names) list += (list.empty() ? u"" : u"、") + Quoted(name);
    return list;
}

CString Number(uint32_t n) {
    const std::string digits = std::to_string(n);
    return CString(digits.begin(), digits.end());
}

CString CatalogName(CatalogOf whose, const CString& path) {
    return (whose == CatalogOf::Pack ? u"素材包的目录文件" : u"MirvoPix的目录文件") + Quoted(path);
}

const char16_t* CatalogAdvice(CatalogOf whose) {
    return whose == CatalogOf::Pack ? kPackAuthor : kProductCatalog;
}

// `start` (by default "导入未完成："), what failed, the system's message after "：" when there
// is one, one sentence end whatever the message ended with, and the advice.
CString Failure(const CString& what, const CString& message, const char16_t* advice,
                const char16_t* start = u"导入未完成：") {
    CString text = start + what;
    std::u16string_view reason = message;
    while (!reason.empty() && IsSentenceEnd(reason.back())) reason.remove_suffix(1);
    if (!reason.empty()) text += u"：" + ShownName(reason);
    return text + u"。" + advice;
}

}  // namespace

CString ShownName(std::u16string_view name) {
    CString shown;
    shown.reserve(name.size());
    for (char16_t c : name) {
        if (c >= 0x20 && (c < 0x7F || c > 0x9F)) {
            shown += c;
        } else if (c == u'\n') {
            shown += u"\\n";
        } else if (c == u'\r') {
            shown += u"\\r";
        } else if (c == u'\t') {
            shown += u"\\t";
        } else {
            constexpr char16_t kHex[] = u"0123456789abcdef";
            shown += {u'\\', u'x', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return shown;
}

// One function a cause, and one call in it: what failed (names through Quoted), the system's
// message if any, and the advice that fits the cause.
CString ProductPathTooLongText(const CString& path) {
    return Failure(u"路径" + Quoted(path) + u"太长", {}, kShorterInstall);
}
CString PackPathTooLongText(const CString& path) {
    return Failure(u"路径" + Quoted(path) + u"太长", {}, kShorterPack);
}
CString WindowsFolderFailureText(const CString& message) {
    return Failure(u"无法确定Windows文件夹", message, kLater);
}
CString ToolPathFailureText(const CString& message) {
    return Failure(u"无法确定本程序的路径", message, kLater);
}
CString MaterialFolderMissingText(const std::vector<CString>& looked) {
    CString where;
    for (const CString& folder : looked) where += (where.empty() ? u"" : u"或") + Quoted(folder);
    return Failure(u"找不到素材文件夹" + where, {}, kUnpack);
}
CString LockFailureText(const CString& folder, const CString& message) {
    return Failure(u"无法锁定产品数据文件夹" + Quoted(folder), message, kLater);
}
CString CopyFailureText(const CString& path, const CString& message) {
    return Failure(u"无法复制" + Quoted(path), message, kFreeSpace);
}
CString CatalogReadFailureText(CatalogOf whose, const CString& path, const CString& message) {
    return Failure(u"无法读取" + CatalogName(whose, path), message, kPermissions);
}
CString CatalogSyntaxFailureText(CatalogOf whose, const CString& path, const CString& message) {
    return Failure(CatalogName(whose, path) + u"不是格式正确的XML", message, CatalogAdvice(whose));
}
CString CatalogFormFailureText(CatalogOf whose, const CString& path) {
    return Failure(CatalogName(whose, path) + u"不是以“mirvo”为根并含有“albums”的目录", {},
                   CatalogAdvice(whose));
}
CString CatalogCodePageFailureText(CatalogOf whose, const CString& path, uint32_t codePage) {
    return Failure(CatalogName(whose, path) + u"不是代码页 " + Number(codePage) + u" 的文本", {},
                   CatalogAdvice(whose));
}
CString MergeMemoryFailureText(const CString& path) {
    return Failure(u"内存不足，无法合并" + CatalogName(CatalogOf::Product, path), {}, kMemory);
}
CString MergeCheckFailureText(const CString& path) {
    return Failure(CatalogName(CatalogOf::Product, path) + u"合并后未通过校验，未作改动", {},
                   kReport);
}
CString CatalogEncodingFailureText(CatalogOf whose, const CString& path, uint32_t codePage) {
    return Failure(CatalogName(whose, path) + u"似乎是 UTF-8 编码的文本，而目录文件必须是代码页 " +
                       Number(codePage) + u" 的文本",
                   {}, CatalogAdvice(whose));
}
CString FirstCatalogFormFailureText(const CString& path) {
    return Failure(u"MirvoPix还没有目录文件，而" + CatalogName(CatalogOf::Pack, path) +
                       u"不是以“mirvo”为根并含有“albums”的目录，不能作为MirvoPix的目录",
                   {}, kPackAuthor);
}
CString CatalogSaveFailureText(const CString& path, const CString& message) {
    return Failure(u"无法保存" + CatalogName(CatalogOf::Product, path), message, kFreeSpace);
}
CString WorkerStartFailureText() {
    return Failure(u"无法启动导入", {}, kMemory);
}
CString InterruptedText() {
    return Failure(u"导入已被中断，目录文件未作改动", {}, kRunAgain);
}
CString LinkRefusedText(const CString& link) {
    return Failure(u"未跟随链接" + Quoted(link),
                   u"它既不是本用户或 root 创建的，也不是其所在文件夹的所有者创建的", kLinkOwner);
}
CString CatalogNotAFileText(CatalogOf whose, const CString& path) {
    return Failure(u"无法读取" + CatalogName(whose, path),
                   u"它不是普通文件（而是管道、设备或文件夹）", kOtherFile);
}
CString DanglingCatalogText(const CString& path, const CString& target) {
    return Failure(u"无法读取" + CatalogName(CatalogOf::Product, path),
                   u"它是指向" + Quoted(target) + u"的链接，而该文件不存在", kFixLink);
}
CString CatalogReplaceFailureText(const CString& path, const CString& message) {
    return Failure(u"无法替换" + CatalogName(CatalogOf::Product, path), message, kPermissions);
}
CString CatalogChangedText(const CString& path) {
    return Failure(u"无法保存" + CatalogName(CatalogOf::Product, path),
                   u"导入期间其他程序一再修改了它", kCloseWriter);
}
CString ReservedNamesText(const std::vector<CString>& paths) {
    return Failure(u"素材包中有 Windows 保留的名称，无法复制", QuotedList(paths), kRename);
}
CString LostNamesText(const std::vector<CString>& folders) {
    return Failure(
        u"素材包的文件夹" + QuotedList(folders) + u"中有名称无法读取的文件（不是 UTF-8 编码）", {},
        kUnpackOnWindows);
}
CString LeftoverText(const CString& entry) {
    return Failure(u"暂存文件夹中有不属于导入的项目" + Quoted(entry), {}, kMoveAway);
}
CString ReceiptFailureText(const CString& folder, const CString& message) {
    return Failure(u"但导入记录未能保存到" + Quoted(folder), message, kNoRemoval, u"导入已完成，");
}
