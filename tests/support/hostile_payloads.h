// hostile_payloads.h: payloads that pack never writes, crafted by hand; each
// row is made into a package and refused alike by verify, extract and the
// runner under Wine, in the same words. Plain data, for both compilers.
#pragma once

struct HostileEntry {
    const char *path;  // null ends the list
    char type;         // '0' a file of size bytes, '5' a folder, '1' a copy (hard link), '2' a symbolic link
    unsigned size;
    const char *mtime;  // a pax mtime record's value; null: none
    const char *link;   // a link's target (a pax linkpath record past 100 bytes); null: none
};

enum HostileForm {
    kHostileTar,         // the entries as a tar archive, in one xz block
    kHostileNoBlocks,    // an xz stream with no block at all
    kHostileEmptyBlock,  // one block of no bytes
    kHostileHugeIndex,   // the entries, with the index stating 1 PiB expanded
    kHostileLongName,    // one file whose name is 256 UTF-16 units
    kHostileLongPath,    // one file whose path is more than 32,000 UTF-16 units
    kHostileLargeBlock,  // one file in one block of more than 64 MiB: verify and extract take it, the runner does not
};

struct HostilePayload {
    const char *id;  // the package is runner-hostile-<id>.exe
    int form;
    HostileEntry entries[4];
    const char *says;        // in verify's and extract's message, and in the runner's box
    const char *runnerSays;  // where the runner says something else; null: says
};

// 1 PiB: more than any disk holds, stated by an index of a few bytes.
#define HOSTILE_HUGE_BYTES "1,125,899,906,842,624"

static const HostilePayload kHostilePayloads[] = {
    // Order: parents before children, no file used as a folder, nothing twice.
    {"nodir", kHostileTar, {{"nodir/x.txt", '0', 3}},
     "payload path \"nodir/x.txt\": its folder \"nodir\" does not come before it", 0},
    {"deep-nodir", kHostileTar, {{"d", '5', 0}, {"d/e/f.txt", '0', 3}},
     "payload path \"d/e/f.txt\": its folder \"d/e\" does not come before it", 0},
    {"file-as-folder", kHostileTar, {{"a", '0', 1}, {"a/b.txt", '0', 1}},
     "payload path \"a/b.txt\": its folder \"a\" is a file, not a folder", 0},
    {"file-as-folder2", kHostileTar, {{"a", '0', 1}, {"a/sub", '5', 0}},
     "payload path \"a/sub\": its folder \"a\" is a file, not a folder", 0},
    {"twice-file", kHostileTar, {{"x.txt", '0', 2}, {"x.txt", '0', 1}}, "payload path \"x.txt\" appears twice", 0},
    {"twice-folder", kHostileTar, {{"d", '5', 0}, {"d", '5', 0}}, "payload path \"d\" appears twice", 0},
    {"file-then-folder", kHostileTar, {{"x", '0', 1}, {"x", '5', 0}}, "payload path \"x\" appears twice", 0},
    {"case", kHostileTar, {{"Readme.txt", '0', 1}, {"README.TXT", '0', 1}},
     "payload paths \"README.TXT\" and \"Readme.txt\" differ only in case", 0},
    // The folder as first written holds both; the second file's folder is spelt otherwise.
    {"case-folder", kHostileTar, {{"D", '5', 0}, {"d/x", '0', 1}, {"D/X", '0', 1}},
     "payload paths \"D/X\" and \"D/x\" differ only in case", 0},
    // A copy names an earlier regular file of the payload, and nothing else.
    {"copy-folder", kHostileTar, {{"d", '5', 0}, {"c.dll", '1', 0, 0, "d"}},
     "payload path \"c.dll\" is a copy of \"d\", which is a folder, not a file", 0},
    {"copy-later", kHostileTar, {{"c.dll", '1', 0, 0, "b.dll"}, {"b.dll", '0', 3}},
     "payload path \"c.dll\" is a copy of \"b.dll\", which does not come before it as a file", 0},
    {"copy-missing", kHostileTar, {{"a.dll", '0', 3}, {"c.dll", '1', 0, 0, "z.dll"}},
     "payload path \"c.dll\" is a copy of \"z.dll\", which does not come before it", 0},
    {"copy-itself", kHostileTar, {{"c.dll", '1', 0, 0, "c.dll"}},
     "payload path \"c.dll\" is a copy of \"c.dll\", which does not come before it", 0},
    {"copy-of-copy", kHostileTar, {{"a.dll", '0', 3}, {"b.dll", '1', 0, 0, "a.dll"}, {"c.dll", '1', 0, 0, "B.DLL"}},
     "payload path \"c.dll\" is a copy of \"B.DLL\", which is itself a copy; a copy names the file it copies", 0},
    {"copy-long-missing", kHostileTar,
     {{"a.dll", '0', 3},
      {"c.dll", '1', 0, 0,
       "a-target-name-longer-than-the-hundred-bytes-a-ustar-link-field-holds-so-it-goes-in-a-pax-linkpath-record.dll"}},
     "is a copy of \"a-target-name-longer-than-the-hundred-bytes-a-ustar-link-field-holds-so-it-goes-in-a-pax-linkpath-record.dll\", which does not come before it", 0},
    {"copy-twice", kHostileTar, {{"a.dll", '0', 3}, {"A.DLL", '1', 0, 0, "a.dll"}},
     "payload paths \"A.DLL\" and \"a.dll\" differ only in case", 0},
    {"copy-no-folder", kHostileTar, {{"a.dll", '0', 3}, {"d/c.dll", '1', 0, 0, "a.dll"}},
     "payload path \"d/c.dll\": its folder \"d\" does not come before it", 0},
    {"copy-target-dot-dot", kHostileTar, {{"a.dll", '0', 3}, {"c.dll", '1', 0, 0, "../a.dll"}},
     "payload path \"../a.dll\": the name \"..\" is \".\" or \"..\"", 0},
    {"copy-sized", kHostileTar, {{"a.dll", '0', 3}, {"c.dll", '1', 3, 0, "a.dll"}}, "a link entry has a size", 0},
    {"symlink", kHostileTar, {{"a.dll", '0', 3}, {"c.dll", '2', 0, 0, "a.dll"}}, "the archive holds a symbolic link", 0},
    // Names Windows reserves or changes.
    {"con", kHostileTar, {{"CON", '0', 1}}, "payload path \"CON\": the name \"CON\" is a reserved device name", 0},
    {"lpt-ext", kHostileTar, {{"dir", '5', 0}, {"dir/lpt1.log", '0', 1}},
     "payload path \"dir/lpt1.log\": the name \"lpt1.log\" is a reserved device name", 0},
    {"nul-blank", kHostileTar, {{"nul .txt", '0', 1}}, "the name \"nul .txt\" is a reserved device name", 0},
    {"trailing-dot", kHostileTar, {{"x.", '0', 1}}, "the name \"x.\" ends with a dot or a blank, which Windows drops", 0},
    {"trailing-blank", kHostileTar, {{"d ", '5', 0}}, "the name \"d \" ends with a dot or a blank", 0},
    {"star", kHostileTar, {{"a*b", '0', 1}}, "the name \"a*b\" holds a backslash, a colon or another character that Windows forbids", 0},
    {"colon", kHostileTar, {{"a:stream", '0', 1}}, "the name \"a:stream\" holds a backslash, a colon", 0},
    {"look-alike", kHostileTar, {{"a\xEF\xBC\x8F" "b", '0', 1}}, "reads as a separator or forbidden character", 0},
    {"yen", kHostileTar, {{"a\xC2\xA5" "b", '0', 1}}, "the name \"a\\u00A5b\" holds a character that the target's code page reads", 0},
    {"won", kHostileTar, {{"d", '5', 0}, {"d/a\xE2\x82\xA9" "b", '0', 1}}, "the name \"a\\u20A9b\" holds a character that the target's", 0},
    {"fullwidth-dot", kHostileTar, {{"a\xEF\xBC\x8E" "exe", '0', 1}}, "\"a\\uFF0Eexe\" holds a character that the target's code page", 0},
    {"small-colon", kHostileTar, {{"c\xEF\xB9\x95x", '0', 1}}, "\"c\\uFE55x\" holds a character that the target's code page", 0},
    {"ratio", kHostileTar, {{"c\xE2\x88\xB6x", '0', 1}}, "\"c\\u2236x\" holds a character that the target's code page", 0},
    {"stand-in", kHostileTar, {{"a\xEF\x80\xBA" "b", '0', 1}},
     "payload path \"a\\uF03Ab\": the name \"a\\uF03Ab\" holds a private-use stand-in", 0},
    // What a person cannot see, and names spelt two ways that look as one.
    {"zero-width", kHostileTar, {{"a\xE2\x80\x8B" "b", '0', 1}},
     "payload path \"a\\u200Bb\": the name \"a\\u200Bb\" holds an invisible or format character, which a person cannot see", 0},
    {"bom", kHostileTar, {{"\xEF\xBB\xBF" "x.txt", '0', 1}}, "the name \"\\uFEFFx.txt\" holds an invisible or format character", 0},
    {"soft-hyphen", kHostileTar, {{"d", '5', 0}, {"d/a\xC2\xAD" "b", '0', 1}}, "the name \"a\\u00ADb\" holds an invisible", 0},
    {"word-joiner", kHostileTar, {{"a\xE2\x81\xA0" "b", '0', 1}}, "the name \"a\\u2060b\" holds an invisible", 0},
    {"line-separator", kHostileTar, {{"a\xE2\x80\xA8" "b", '0', 1}}, "the name \"a\\u2028b\" holds an invisible", 0},
    {"decomposed", kHostileTar, {{"e\xCC\x81.txt", '0', 1}},
     "payload path \"e\\u0301.txt\": the name \"e\\u0301.txt\" is not in Unicode's composed form (NFC)", 0},
    {"kelvin", kHostileTar, {{"K", '0', 1}, {"\xE2\x84\xAA", '0', 1}}, "the name \"\\u212A\" is not in Unicode's composed form", 0},
    // Twins by the one folding table, whatever the volume thinks of them: final and medial sigma.
    {"sigma", kHostileTar, {{"\xCF\x83.txt", '0', 1}, {"\xCF\x82.txt", '0', 1}}, ".txt\" differ only in case", 0},
    // Names that Windows may resolve to another file: an 8.3 alias.
    {"short-alias", kHostileTar, {{"LONGFI~1.TXT", '0', 1}},
     "the name \"LONGFI~1.TXT\" is shaped like a short 8.3 name (a tilde and digits), which Windows may resolve to another file", 0},
    {"short-alias-folder", kHostileTar, {{"PROGRA~1", '5', 0}, {"PROGRA~1/x.txt", '0', 1}},
     "payload path \"PROGRA~1\": the name \"PROGRA~1\" is shaped like a short 8.3 name", 0},
    // Times Windows cannot set: 0 leaves the time as it is, larger values wrap.
    {"time-1601", kHostileTar, {{"old.txt", '0', 1, "-11644473600"}},
     "payload path \"old.txt\" has a time outside the years 1601 to 30827, which Windows cannot set", 0},
    {"time-wraps", kHostileTar, {{"d", '5', 0}, {"d/new.txt", '0', 1, "144115176431382272"}},
     "payload path \"d/new.txt\" has a time outside the years 1601 to 30827", 0},
    // What a terminal or a reader would take for something else: escaped wherever a name is shown.
    {"tab", kHostileTar, {{"a\tb", '0', 1}}, "payload path \"a\\x09b\": the name \"a\\x09b\" holds a control character", 0},
    {"c1", kHostileTar, {{"a\xC2\x9B" "b", '0', 1}}, "payload path \"a\\u009Bb\": the name \"a\\u009Bb\" holds a control character", 0},
    {"rlo", kHostileTar, {{"photo\xE2\x80\xAEgpj.exe", '0', 1}},
     "payload path \"photo\\u202Egpj.exe\": the name \"photo\\u202Egpj.exe\" holds a bidirectional mark", 0},
    {"lrm", kHostileTar, {{"a\xE2\x80\x8E.txt", '0', 1}}, "the name \"a\\u200E.txt\" holds a bidirectional mark", 0},
    {"isolate", kHostileTar, {{"d", '5', 0}, {"d/\xE2\x81\xA6x", '0', 1}}, "the name \"\\u2066x\" holds a bidirectional mark", 0},
    // Leaving the folder.
    {"dot-dot", kHostileTar, {{"../evil.txt", '0', 1}}, "the name \"..\" is \".\" or \"..\"", 0},
    {"dot", kHostileTar, {{"./x.txt", '0', 1}}, "the name \".\" is \".\" or \"..\"", 0},
    {"absolute", kHostileTar, {{"/tmp/x.txt", '0', 1}}, "payload path \"/tmp/x.txt\" is absolute", 0},
    {"empty-name", kHostileTar, {{"a//b", '0', 1}}, "payload path \"a//b\" has an empty name", 0},
    {"long-name", kHostileLongName, {}, "is longer than 255 UTF-16 units", 0},
    {"long-path", kHostileLongPath, {}, "is longer than 32,000 UTF-16 units", 0},
    // No archive at all: damaged, never an allocation of nothing.
    {"no-blocks", kHostileNoBlocks, {}, "the archive is empty", 0},
    {"empty-block", kHostileEmptyBlock, {}, "the archive is empty", 0},
    // The runner weighs the size the index states against the free space before
    // writing; the tool decodes the whole stream first and finds it short.
    {"huge", kHostileHugeIndex, {{"a.txt", '0', 100}}, "the payload is damaged",
     "it needs " HOSTILE_HUGE_BYTES " bytes"},
};
