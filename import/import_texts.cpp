#include "import/import_texts.h"

#include "xml/XmlDocument.h"

namespace {

constexpr char16_t kAdvice[] = u"请释放磁盘空间或修正权限后重新运行素材包。";

CString Failure(const char16_t* what, const CString& path, const CString& message) {
    CString text = CString(u"导入未完成：") + what + u"“" + path + u"”";
    if (!message.empty()) text += u"：" + message;
    return text + u"。" + kAdvice;
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

CString CatalogEncodingFailureText(const CString& path, uint32_t codePage) {
    return Failure(u"无法读取目录文件", path,
                   u"文件似乎是 UTF-8 编码的文本，而目录文件必须是代码页 " +
                       DecimalText(static_cast<int32_t>(codePage)) + u" 的文本");
}

CString FirstCatalogFormFailureText(const CString& path) {
    return Failure(
        u"无法使用目录文件", path,
        u"产品还没有目录，而它不是以“mirvo”为根并含有“albums”的目录，不能成为产品的目录");
}

CString CatalogSaveFailureText(const CString& path, const CString& message) {
    return Failure(u"无法保存目录文件", path, message);
}

CString InterruptedText() {
    return u"导入未完成：导入已被中断，目录文件未作改动。请重新运行素材包。";
}
