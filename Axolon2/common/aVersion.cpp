#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t sMAJOR = 2;
constexpr uint8_t sMINOR = 12;
constexpr uint8_t sPATCH = 1;

} // namespace

const aVersionFeature FEATS[NUM_FEATS] = {{"VERSION", "Version Query API"}};

bool aVersion_IsLegacyFormat(uint32_t v) {
    uint32_t major = v >> 28, minor = (v >> 24) & 0xF;
    return major < 2 || (major == 2 && minor < 15);
}

uint32_t aVersion_ParseMajor(uint32_t v) { return aVersion_IsLegacyFormat(v) ? v >> 28 : (v >> 16) & 0xFF; }

uint32_t aVersion_ParseMinor(uint32_t v) { return aVersion_IsLegacyFormat(v) ? (v >> 24) & 0xF : (v >> 8) & 0xFF; }

uint32_t aVersion_ParsePatch(uint32_t v) { return aVersion_IsLegacyFormat(v) ? v & 0xFFFFFF : v & 0xFF; }

int aVersion_ParseString(uint32_t v, char *buffer, size_t size) {
    return snprintf(buffer, size, "%u.%u.%u", static_cast<unsigned>(aVersion_ParseMajor(v) & 0xFF),
                    static_cast<unsigned>(aVersion_ParseMinor(v) & 0xFF),
                    static_cast<unsigned>(aVersion_ParsePatch(v)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | uint32_t{major} << 16 | uint32_t{minor} << 8 | patch;
    return uint32_t{major} << 28 | uint32_t(minor & 0xF) << 24 | patch;
}

uint8_t aVersion_GetMajor() { return sMAJOR; }
uint8_t aVersion_GetMinor() { return sMINOR; }
uint8_t aVersion_GetPatch() { return sPATCH; }

const char *aVersion_GetString() {
    static char text[15];
    // A function-local static initialises once, also with several threads asking at once.
    static const char *built = [] {
        snprintf(text, sizeof text, "%d.%d%s%d", sMAJOR, sMINOR, aVERSION_PHASE, sPATCH);
        return text;
    }();
    return built;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    if (sMAJOR != major)
        return sMAJOR > major;
    if (sMINOR != minor)
        return sMINOR > minor;
    return sPATCH >= patch;
}

bool aVersion_HasFeature(const char *name) {
    if (name == nullptr)
        return false;
    for (const aVersionFeature &feature : FEATS)
        if (strcmp(feature.name, name) == 0)
            return true;
    return false;
}

char *aVersion_GetFeatureList() {
    static const char separator[] = " - ";
    size_t total = 1;
    for (const aVersionFeature &feature : FEATS)
        total += strlen(feature.name) + strlen(separator) + strlen(feature.description) + 1;
    char *list = static_cast<char *>(malloc(total));
    if (list == nullptr)
        return nullptr;
    size_t used = 0;
    for (size_t i = 0; i < NUM_FEATS; ++i)
        used += static_cast<size_t>(snprintf(list + used, total - used, "%s%s%s%s", i > 0 ? "\n" : "", FEATS[i].name,
                                             separator, FEATS[i].description));
    return list;
}

void aVersion_DestroyFeatureList(char **list) {
    if (list == nullptr)
        return;
    free(*list);
    *list = nullptr;
}
