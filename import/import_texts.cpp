#include "import/import_texts.h"

namespace {

constexpr char16_t kAdvice[] = u"请释放磁盘空间或修正权限后重新运行素材包。";

CString Failure(const char16_t* what, const CString& path, const CString& message,
                const char16_t* advice = kAdvice) {
    CString text = CString(u"导入未完成：") + what + u"“" + path + u"”";
    if (!message.empty()) text += u"：" + message;
    return text + u"。" + advice;
}

// “A”、“B”、“C”
CString Quoted(const std::vector<CString>& items) {
    CString text;
    for (const CString& item : items) text += (text.empty() ? u"“" : u"、“") + item + u"”";
    return text;
}

}  // namespace

CString CopyFailureText(const CString& path, const CString& message) {
    return Failure(u"无法复制", path, message);
}

CString CatalogReadFailureText(const CString& path, const CString& message) {
    return Failure(u"无法读取目录文件", path, message);
}

CString CatalogFormFailureText(const CString& path) {
    return Failure(u"无法合并目录文件", path, u"它不是以“mirvo”为根并含有“albums”的目录");
}

CString CatalogSaveFailureText(const CString& path, const CString& message) {
    return Failure(u"无法保存目录文件", path, message);
}

CString InterruptedText() {
    return u"导入未完成：导入已被中断，目录文件未作改动。请重新运行素材包。";
}

CString LinkRefusedText(const CString& link) {
    return Failure(u"未跟随链接", link,
                   u"它既不是本用户或 root 创建的，也不是其所在文件夹的所有者创建的",
                   u"请确认该链接无误并由文件夹的所有者重新创建后再运行素材包。");
}

CString LockFailureText(const CString& folder, const CString& message) {
    return Failure(u"无法锁定产品数据文件夹", folder, message);
}

CString CatalogNotAFileText(const CString& path) {
    return Failure(u"无法读取目录文件", path, u"它不是普通文件（而是管道、设备或文件夹）",
                   u"请换成正确的目录文件后重新运行素材包。");
}

CString DanglingCatalogText(const CString& path, const CString& target) {
    return Failure(u"无法读取目录文件", path, u"它是指向“" + target + u"”的链接，而该文件不存在",
                   u"请修正或删除该链接后重新运行素材包。");
}

CString CatalogReplaceFailureText(const CString& path, const CString& message) {
    return Failure(u"无法替换目录文件", path, message);
}

CString CatalogChangedText(const CString& path) {
    return Failure(u"无法保存目录文件", path, u"导入期间其他程序一再修改了它",
                   u"请关闭正在修改它的程序（例如 MirvoPix）后重新运行素材包。");
}

CString ReservedNamesText(const std::vector<CString>& paths) {
    return u"导入未完成：素材包中有 Windows 保留的名称，无法复制：" + Quoted(paths) +
           u"。请让素材包的作者改名后重新运行素材包。";
}

CString LostNamesText(const std::vector<CString>& folders) {
    return u"导入未完成：素材包的文件夹" + Quoted(folders) +
           u"中有名称无法读取的文件（不是 UTF-8 编码）。请在 Windows 中重新解压素材包后再运行。";
}

CString LeftoverText(const CString& entry) {
    return Failure(u"暂存文件夹中有不属于导入的项目", entry, CString(),
                   u"请移走它后重新运行素材包。");
}
