// manifest.cpp: caption, prompt, date, time, [version] and [[file]] tables.
#include "manifest.h"

#include <set>

#include <toml++/toml.h>

namespace selfextr {

bool Manifest_Read(const std::filesystem::path &path, PackRequest &request, std::string &error)
{
    toml::table doc;
    try {
        doc = toml::parse_file(path.string());
    } catch (const toml::parse_error &e) {
        error = path.string() + ": " + std::string(e.description()) + " (line " +
                std::to_string(e.source().begin.line) + ")";
        return false;
    }
    static const std::set<std::string> known = {"caption", "prompt", "date", "time", "allow_non_ascii", "version", "file"};
    for (auto &[key, value] : doc)
        if (!known.count(std::string(key.str())))
            return error = path.string() + ": unknown key \"" + std::string(key.str()) + "\"", false;

    request.caption = doc["caption"].value_or(std::string());
    request.prompt = doc["prompt"].value_or(std::string());
    if (auto d = doc["date"].value<toml::date>()) {
        char text[16];
        snprintf(text, sizeof text, "%04d-%02u-%02u", int(d->year), unsigned(d->month), unsigned(d->day));
        request.date = text;
    } else {
        request.date = doc["date"].value_or(std::string());
    }
    if (auto t = doc["time"].value<toml::time>())
        request.time = std::to_string(t->hour) + ":" + (t->minute < 10 ? "0" : "") + std::to_string(t->minute);
    else
        request.time = doc["time"].value_or(std::string());
    request.allowNonAscii = doc["allow_non_ascii"].value_or(false);

    if (auto *v = doc["version"].as_table()) {
        VersionRecord r;
        r.product = (*v)["product"].value_or(std::string());
        r.version = (*v)["version"].value_or(std::string());
        r.company = (*v)["company"].value_or(std::string());
        r.description = (*v)["description"].value_or(std::string());
        r.copyright = (*v)["copyright"].value_or(std::string());
        request.version = r;
    }
    std::filesystem::path base = path.parent_path();
    if (auto *files = doc["file"].as_array()) {
        for (auto &node : *files) {
            auto *t = node.as_table();
            auto source = t ? (*t)["source"].value<std::string>() : std::nullopt;
            if (!source)
                return error = path.string() + ": every [[file]] needs a source", false;
            PackFile f;
            f.source = base / *source;
            f.name = (*t)["name"].value_or(f.source.filename().string());
            request.files.push_back(f);
        }
    }
    return true;
}

}  // namespace selfextr
