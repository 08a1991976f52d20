// languages.cpp: the tags pack knows, with the ids Windows gives them.
#include "package/languages.h"

#include <cstdio>

namespace selfextr {

namespace {

struct Tag {
    const char *tag;
    uint16_t id;
};

// Languages alone take SUBLANG_NEUTRAL (the primary language id); languages
// with a region take the platform's id for that locale.
constexpr Tag kTags[] = {
    {"ar", 0x0001}, {"bg", 0x0002}, {"ca", 0x0003}, {"zh-CN", 0x0804}, {"zh-TW", 0x0404}, {"cs", 0x0005},
    {"da", 0x0006}, {"de", 0x0007}, {"de-DE", 0x0407}, {"de-AT", 0x0C07}, {"de-CH", 0x0807}, {"el", 0x0008},
    {"en", 0x0009}, {"en-GB", 0x0809}, {"en-AU", 0x0C09}, {"en-CA", 0x1009}, {"es", 0x000A}, {"es-ES", 0x0C0A},
    {"es-MX", 0x080A}, {"fi", 0x000B}, {"fr", 0x000C}, {"fr-FR", 0x040C}, {"fr-BE", 0x080C}, {"fr-CA", 0x0C0C},
    {"fr-CH", 0x100C}, {"he", 0x000D}, {"hu", 0x000E}, {"is", 0x000F}, {"it", 0x0010}, {"it-IT", 0x0410},
    {"it-CH", 0x0810}, {"ja", 0x0011}, {"ko", 0x0012}, {"nl", 0x0013}, {"nl-NL", 0x0413}, {"nl-BE", 0x0813},
    {"nb", 0x0414}, {"no", 0x0014}, {"pl", 0x0015}, {"pt", 0x0016}, {"pt-BR", 0x0416}, {"pt-PT", 0x0816},
    {"ro", 0x0018}, {"ru", 0x0019}, {"hr", 0x041A}, {"sk", 0x001B}, {"sq", 0x001C}, {"sv", 0x001D},
    {"sv-SE", 0x041D}, {"th", 0x001E}, {"tr", 0x001F}, {"id", 0x0021}, {"uk", 0x0022}, {"sl", 0x0024},
    {"et", 0x0025}, {"lv", 0x0026}, {"lt", 0x0027}, {"vi", 0x002A}, {"hi", 0x0039},
};

bool SameTag(const std::string &a, const char *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; i++) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i] == '_' ? '-' : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? char(b[i] - 'A' + 'a') : b[i];
        if (x != y)
            return false;
    }
    return i == a.size() && b[i] == 0;
}

}  // namespace

bool Language_Id(const std::string &tag, uint16_t &id, std::string &error)
{
    if (SameTag(tag, "en-US"))
        return error = "language \"" + tag + "\" is that of the default caption and prompt: give them at the top level", false;
    for (const Tag &t : kTags)
        if (SameTag(tag, t.tag))
            return id = t.id, true;
    return error = "language \"" + tag + "\" is not a BCP-47 tag selfextr knows (a language such as de, or a language and "
                   "region such as pt-BR)", false;
}

std::string Language_Tag(uint16_t id)
{
    for (const Tag &t : kTags)
        if (t.id == id)
            return t.tag;
    char text[8];
    snprintf(text, sizeof text, "0x%04X", id);
    return text;
}

}  // namespace selfextr
