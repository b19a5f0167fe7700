// The ANSI code page of the locale, chosen as Wine chooses it: LC_ALL as it stands, LC_CTYPE
// or LANG only when the C library has that locale, and the language's Windows code page.
#include <locale.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

namespace {

struct LanguageCodePage {
    const char* language;
    uint32_t codePage;
};

// Languages whose Windows locales use another code page than 1252.
const LanguageCodePage kLanguages[] = {
    {"ja", 932},  {"ko", 949},  {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251},
    {"mk", 1251}, {"sr", 1251}, {"kk", 1251}, {"ky", 1251}, {"tt", 1251}, {"mn", 1251},
    {"tg", 1251}, {"ba", 1251}, {"pl", 1250}, {"cs", 1250}, {"sk", 1250}, {"hu", 1250},
    {"hr", 1250}, {"sl", 1250}, {"ro", 1250}, {"sq", 1250}, {"bs", 1250}, {"el", 1253},
    {"tr", 1254}, {"az", 1254}, {"he", 1255}, {"iw", 1255}, {"ar", 1256}, {"fa", 1256},
    {"ur", 1256}, {"et", 1257}, {"lv", 1257}, {"lt", 1257}, {"vi", 1258}, {"th", 874},
};

uint32_t CodePageOfLocale(std::string_view name) {
    size_t end = name.find_first_of(".@");
    std::string_view base = name.substr(0, end);
    std::string_view modifier;
    if (size_t at = name.find('@'); at != std::string_view::npos) modifier = name.substr(at + 1);
    size_t underscore = base.find('_');
    std::string_view language = base.substr(0, underscore);
    std::string_view territory =
        underscore == std::string_view::npos ? std::string_view() : base.substr(underscore + 1);
    if (language == "zh") {
        if (territory == "TW" || territory == "HK" || territory == "MO") return 950;
        return 936;
    }
    if (language == "sr" && modifier == "latin") return 1250;
    for (const auto& entry : kLanguages) {
        if (language == entry.language) return entry.codePage;
    }
    return 1252;
}

std::mutex gLocaleMutex;
std::string gLocaleName;
uint32_t gLocaleCodePage = 0;

}  // namespace

uint32_t AnsiCodePage() {
    // Wine takes LC_ALL as it stands; LC_CTYPE or LANG only when the C library has that
    // locale, and otherwise runs in the C locale.
    const char* all = std::getenv("LC_ALL");
    if (all && *all) return CodePageOfLocale(all);
    const char* name = std::getenv("LC_CTYPE");
    if (!name || !*name) name = std::getenv("LANG");
    if (!name || !*name) return 1252;
    std::lock_guard<std::mutex> lock(gLocaleMutex);
    if (gLocaleCodePage && gLocaleName == name) return gLocaleCodePage;
    uint32_t codePage = 1252;
    if (locale_t locale = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0))) {
        ::freelocale(locale);
        codePage = CodePageOfLocale(name);
    }
    gLocaleName = name;
    gLocaleCodePage = codePage;
    return codePage;
}

}  // namespace platform
