#pragma once
// Packed firmware versions and the library's own version and features.
//
// A firmware version is one 32-bit word. Legacy layout: major in bits 31..28, minor in 27..24,
// patch in 23..0. Current layout: 0x2F in the top byte (2.15 read as legacy), then major,
// minor and patch of 8 bits each.

#include <cstddef>
#include <cstdint>

// True when the legacy reading of v is below 2.15.
bool aVersion_IsLegacyFormat(uint32_t v);
uint32_t aVersion_ParseMajor(uint32_t v);
uint32_t aVersion_ParseMinor(uint32_t v);
uint32_t aVersion_ParsePatch(uint32_t v);

// Prints "major.minor.patch" with snprintf and returns its result.
int aVersion_ParseString(uint32_t v, char *buffer, size_t size);

// The current layout from 2.15 on, the legacy one (minor 4 bits, patch 8 bits) below.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The library's version.
constexpr const char *aVERSION_PHASE = ".";
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
// "2.12.1"; a static string, built on first use.
const char *aVersion_GetString();
// True when the library is at or above major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// Named features of the library.
struct aVersionFeature {
    const char *name;
    const char *description;
};
constexpr size_t NUM_FEATS = 1;
extern const aVersionFeature FEATS[NUM_FEATS];

// True when `name` is exactly the name of a feature.
bool aVersion_HasFeature(const char *name);
// "NAME - description" per feature, one per line; the caller frees it with
// aVersion_DestroyFeatureList. Null without memory.
char *aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char **list);
