// manifest.cpp: caption, prompt, date, time, allow_non_ascii, execution_level, [version],
// [payload] (dir, run, block_size, threads, memory_limit, runner) and [[file]]. Every key must be known and every value of its type and form.
#include "cli/manifest.h"

#include <set>

#include <toml++/toml.h>

namespace selfextr {

namespace {

struct Reader {
    const std::filesystem::path &path;
    std::string &error;

    bool Fail(const toml::node &node, const std::string &key, const std::string &what)
    {
        error = path.string() + ": line " + std::to_string(node.source().begin.line) + ": " + key + " " + what;
        return false;
    }

    bool OnlyKnown(const toml::table &table, const std::string &where, const std::set<std::string> &known)
    {
        for (auto &[key, value] : table)
            if (!known.count(std::string(key.str())))
                return Fail(value, where + std::string(key.str()), "is not a key selfextr knows");
        return true;
    }

    bool String(const toml::table &table, const char *key, const std::string &where, std::string &out)
    {
        const toml::node *node = table.get(key);
        if (node == nullptr)
            return true;
        if (!node->is_string())
            return Fail(*node, where + key, "must be a string");
        out = *node->value<std::string>();
        return true;
    }
};

// "512MiB", "1GiB", "800 KiB" or "123456": bytes, 0 when not a size. Units
// are binary, as on the command line.
uint64_t SizeBytes(const std::string &text)
{
    size_t i = 0;
    uint64_t n = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        if (n > (uint64_t(1) << 50))
            return 0;
        n = n * 10 + uint64_t(text[i] - '0');
    }
    if (i == 0)
        return 0;
    while (i < text.size() && text[i] == ' ')
        i++;
    std::string unit;
    for (; i < text.size(); i++)
        unit += char(text[i] >= 'A' && text[i] <= 'Z' ? text[i] - 'A' + 'a' : text[i]);
    static const std::pair<const char *, int> kUnits[] = {{"", 0}, {"b", 0}, {"k", 10}, {"kb", 10}, {"kib", 10},
                                                          {"m", 20}, {"mb", 20}, {"mib", 20}, {"g", 30}, {"gb", 30},
                                                          {"gib", 30}};
    for (auto [name, shift] : kUnits)
        if (unit == name)
            return n <= (UINT64_MAX >> shift) ? n << shift : 0;
    return 0;
}

}  // namespace

bool Manifest_Read(const std::filesystem::path &path, PackRequest &request, std::string &error)
{
    // Only a regular file: a FIFO would block the parser, a device never end.
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        return error = "cannot read " + path.string() + ": " + (ec ? ec.message() : "No such file or directory"), false;
    if (!std::filesystem::is_regular_file(status))
        return error = path.string() + ": not a regular file", false;
    toml::table doc;
    try {
        doc = toml::parse_file(path.string());
    } catch (const toml::parse_error &e) {
        error = path.string() + ": line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    }
    Reader r{path, error};
    if (!r.OnlyKnown(doc, "", {"caption", "prompt", "date", "time", "allow_non_ascii", "execution_level", "version", "file", "payload", "language"}))
        return false;
    if (!r.String(doc, "caption", "", request.caption) || !r.String(doc, "prompt", "", request.prompt) ||
        !r.String(doc, "execution_level", "", request.executionLevel))
        return false;

    if (const toml::node *d = doc.get("date")) {
        if (auto date = d->value_exact<toml::date>()) {
            char text[16];
            snprintf(text, sizeof text, "%04d-%02u-%02u", int(date->year), unsigned(date->month), unsigned(date->day));
            request.date = text;
        } else if (d->is_string()) {
            request.date = *d->value<std::string>();
        } else {
            return r.Fail(*d, "date", "must be a date such as 2026-12-08 (no time of day: that is the key time)");
        }
    }
    if (const toml::node *t = doc.get("time")) {
        if (auto time = t->value_exact<toml::time>()) {
            if (time->second != 0 || time->nanosecond != 0)
                return r.Fail(*t, "time", "has seconds; the stub stamps whole minutes");
            request.time = std::to_string(time->hour) + ":" + (time->minute < 10 ? "0" : "") + std::to_string(time->minute);
        } else if (t->is_string()) {
            request.time = *t->value<std::string>();
        } else {
            return r.Fail(*t, "time", "must be a time such as 04:00 or \"4:00\"");
        }
    }
    if (const toml::node *a = doc.get("allow_non_ascii")) {
        if (!a->is_boolean())
            return r.Fail(*a, "allow_non_ascii", "must be true or false");
        request.allowNonAscii = *a->value<bool>();
    }

    if (const toml::node *v = doc.get("version")) {
        const toml::table *t = v->as_table();
        if (t == nullptr)
            return r.Fail(*v, "version", "must be a table ([version])");
        if (!r.OnlyKnown(*t, "version.", {"product", "version", "company", "description", "copyright"}))
            return false;
        VersionRecord record;
        if (!r.String(*t, "product", "version.", record.product) || !r.String(*t, "version", "version.", record.version) ||
            !r.String(*t, "company", "version.", record.company) ||
            !r.String(*t, "description", "version.", record.description) ||
            !r.String(*t, "copyright", "version.", record.copyright))
            return false;
        request.version = record;
    }
    if (const toml::node *l = doc.get("language")) {
        const toml::table *t = l->as_table();
        if (t == nullptr)
            return r.Fail(*l, "language", "must hold tables such as [language.de]");
        for (auto &[tag, node] : *t) {
            const std::string where = "language." + std::string(tag.str()) + ".";
            const toml::table *lt = node.as_table();
            if (lt == nullptr)
                return r.Fail(node, "language." + std::string(tag.str()), "must be a table with caption and prompt");
            Translation tr;
            tr.tag = std::string(tag.str());
            if (!r.OnlyKnown(*lt, where, {"caption", "prompt"}) || !r.String(*lt, "caption", where, tr.caption) ||
                !r.String(*lt, "prompt", where, tr.prompt))
                return false;
            request.translations.push_back(tr);
        }
    }
    std::filesystem::path base = path.parent_path();
    if (const toml::node *p = doc.get("payload")) {
        const toml::table *t = p->as_table();
        if (t == nullptr)
            return r.Fail(*p, "payload", "must be a table ([payload])");
        if (!r.OnlyKnown(*t, "payload.", {"dir", "run", "block_size", "threads", "memory_limit", "runner"}))
            return false;
        std::string dir, runner;
        if (!r.String(*t, "dir", "payload.", dir) || !r.String(*t, "run", "payload.", request.run) ||
            !r.String(*t, "runner", "payload.", runner))
            return false;
        if (t->contains("runner") && runner.empty())
            return r.Fail(*p, "payload.runner", "is empty: name the runner to carry as SETUP.EXE");
        if (!runner.empty())
            request.runnerFile = base / runner;
        if (dir.empty())
            return r.Fail(*p, "payload.dir", "is missing: name the folder whose tree the payload holds");
        request.payloadDir = base / dir;
        if (const toml::node *b = t->get("block_size")) {
            auto mib = b->value_exact<int64_t>();
            if (!mib || *mib < kPayloadMinBlockMiB || *mib > kPayloadMaxBlockMiB)
                return r.Fail(*b, "payload.block_size", "must be a whole number of MiB from " +
                              std::to_string(kPayloadMinBlockMiB) + " to " + std::to_string(kPayloadMaxBlockMiB));
            request.payloadOptions.blockBytes = uint32_t(*mib) << 20;
        }
        if (const toml::node *n = t->get("threads")) {
            auto threads = n->value_exact<int64_t>();
            if (!threads || *threads < kPayloadMinThreads || *threads > kPayloadMaxThreads)
                return r.Fail(*n, "payload.threads", "must be a whole number from " + std::to_string(kPayloadMinThreads) +
                              " to " + std::to_string(kPayloadMaxThreads));
            request.payloadOptions.threads = uint32_t(*threads);
        }
        if (const toml::node *m = t->get("memory_limit")) {
            uint64_t bytes = 0;
            if (auto n = m->value_exact<int64_t>(); n && *n > 0)
                bytes = uint64_t(*n);
            else if (m->is_string())
                bytes = SizeBytes(*m->value<std::string>());
            if (bytes < kPayloadMinMemoryBytes || bytes > kPayloadMaxMemoryBytes)
                return r.Fail(*m, "payload.memory_limit", "must be a size from " +
                              std::to_string(kPayloadMinMemoryBytes >> 20) + "MiB to " +
                              std::to_string(kPayloadMaxMemoryBytes >> 30) + "GiB, in bytes or such as \"512MiB\"");
            request.payloadOptions.memoryLimit = bytes;
        }
    }
    if (const toml::node *f = doc.get("file")) {
        const toml::array *files = f->as_array();
        if (files == nullptr)
            return r.Fail(*f, "file", "must be an array of tables: write each as [[file]]");
        for (const toml::node &node : *files) {
            const toml::table *t = node.as_table();
            if (t == nullptr)
                return r.Fail(node, "file", "entries must be tables with source and name");
            if (!r.OnlyKnown(*t, "file.", {"source", "name", "dir"}))
                return false;
            std::string source, name, dir;
            if (!r.String(*t, "source", "file.", source) || !r.String(*t, "name", "file.", name) ||
                !r.String(*t, "dir", "file.", dir))
                return false;
            if (t->contains("dir")) {
                // A folder: each regular file in it, in the byte order of the names.
                if (t->contains("source") || t->contains("name"))
                    return r.Fail(node, "file.dir", "goes alone: a [[file]] names a source or a folder, not both");
                if (dir.empty())
                    return r.Fail(node, "file.dir", "is empty");
                request.files.push_back({base / dir, "", true});
                continue;
            }
            if (source.empty())
                return r.Fail(node, "file.source", "is missing: every [[file]] needs a source or a dir");
            PackFile pf;
            pf.source = base / source;
            pf.name = t->contains("name") ? name : pf.source.filename().string();
            request.files.push_back(pf);
        }
    }
    return true;
}

}  // namespace selfextr

namespace selfextr {

bool Manifest_ReadTranslation(const std::string &given, Translation &translation, std::string &error)
{
    size_t eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size())
        return error = "--translation \"" + given + "\" is not TAG=FILE (such as de=de.toml)", false;
    translation.tag = given.substr(0, eq);
    const std::filesystem::path path = given.substr(eq + 1);
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::is_regular_file(status))
        return error = "cannot read " + path.string() + ": " + (std::filesystem::exists(status) ? "not a regular file" : "No such file or directory"), false;
    toml::table doc;
    try {
        doc = toml::parse_file(path.string());
    } catch (const toml::parse_error &e) {
        return error = path.string() + ": line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description()), false;
    }
    Reader r{path, error};
    return r.OnlyKnown(doc, "", {"caption", "prompt"}) && r.String(doc, "caption", "", translation.caption) &&
           r.String(doc, "prompt", "", translation.prompt);
}

}  // namespace selfextr
