// peres.h: the resources of a PE32 image read from its file's bytes, as the
// platform's loader finds them, for a program that must not load the image:
// the runner reads its stub's marker and settings through the one handle it
// opened. Every header field, directory entry, offset and RVA is checked
// against the bytes there before it is used; a lookup walks exactly three
// directories, so it ends in time bounded by their entries whatever the bytes.
// Portable C++, nothing allocated.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace selfextr {

struct PeBytes {
    const uint8_t *data;
    uint32_t size;
};

// An image's headers, checked: where its resource directory lies in the bytes.
struct PeImage {
    const uint8_t *bytes;
    uint64_t size;
    uint32_t sectionTable;  // file offset of the first section header
    uint32_t sectionCount;
    uint32_t rsrcOffset;    // the resource directory's file offset
    uint32_t rsrcBytes;     // the bytes of its section from there on that the file holds; 0: no resources
    bool rsrcLost;          // the image names a resource directory that no section's bytes hold
};

enum PeStatus : int {
    PE_FOUND = 0,
    PE_MISSING,  // no such resource, or an empty string: what a lookup of a well-formed image may say
    PE_DAMAGED,  // the directory points outside its bytes, at itself, or at data where a directory belongs
};

// Reads the headers of a PE32 i386 image: false when bytes are not one whose
// headers and section table lie within them. An image without a resource
// directory opens, and holds no resources.
bool PeRes_Open(const uint8_t *bytes, uint64_t size, PeImage *image);

// The languages the loader tries, in order, for a user whose UI language is
// user: neutral, the user's, the user's primary language with a neutral
// sublanguage, English (United States). When a resource has none of them, it
// takes the lowest it has.
constexpr uint32_t kPeLangOrder = 4;
constexpr uint16_t kPeLangEnUs = 0x0409;
void PeRes_LangOrder(uint16_t user, uint16_t order[kPeLangOrder]);

// Resource id of type type, in the language the loader picks for user: its bytes.
PeStatus PeRes_Find(const PeImage *image, uint16_t type, uint16_t id, uint16_t user, PeBytes *data);

// String id as LoadStringW gives it to user: the string-table block (id >> 4) + 1
// in the language the loader picks, its 16 counted strings walked within the
// block's bytes. text: the string's UTF-16LE bytes (text->size / 2 units, no
// terminator, never empty: an empty string is PE_MISSING).
PeStatus PeRes_String(const PeImage *image, uint16_t id, uint16_t user, PeBytes *text);

}  // namespace selfextr
