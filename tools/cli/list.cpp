// orvel ls: a folder listing as a table or as JSON.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace orvelcli {
namespace {

// The service keeps modify times as the uploading computer's local wall
// clock, without a zone: shown as this computer's local time, with its zone.
std::string WithZone(const std::string& modTime) {
    std::tm tm{};
    if (std::sscanf(modTime.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec) != 6)
        return modTime.empty() ? "-" : modTime;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    if (std::mktime(&tm) == -1) return modTime;
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &tm);
    return text;
}

}  // namespace

int CmdList(Context& ctx) {
    const auto& p = ctx.args.positional;
    auto session = OpenSession(ctx);
    if (!session) return kExitFailure;
    RemoteItem folder;
    std::string detail;
    HRESULT hr = Resolve(*session, p.empty() ? "0" : p[0], folder, detail);
    if (hr == E_INVALIDARG) return UsageError(detail);
    if (hr < 0) return Fail(ctx, "ls", hr, detail);

    std::vector<Entry> entries;
    if (folder.type == 1 && folder.entry) {
        // A file named by path lists as itself, as ls(1) does.
        entries.push_back(*folder.entry);
    } else if (folder.type == 1) {
        std::vector<Entry> siblings;
        hr = ListFolder(*session, folder.parentId, siblings);
        for (const Entry& e : siblings)
            if (e.id == folder.id) entries.push_back(e);
    } else {
        hr = ListFolder(*session, folder.id, entries);
    }
    if (hr < 0) return Fail(ctx, "ls", hr, folder.path);

    if (ctx.json) {
        nlohmann::json items = nlohmann::json::array();
        for (const auto& e : entries)
            items.push_back({{"type", e.type == 0 ? "folder" : "file"},
                             {"id", e.id},
                             {"parentId", e.parentId},
                             {"name", e.name},
                             {"size", e.size},
                             {"modTime", e.modTime},
                             {"version", e.version},
                             {"sha1", e.sha1}});
        PrintJson(nlohmann::json({{"folderId", folder.id}, {"items", items}}).dump());
        return kExitOk;
    }
    const bool human = ctx.args.Has("-h");
    size_t idWidth = 2;
    for (const auto& e : entries) idWidth = std::max(idWidth, e.id.size());
    std::printf("%-6s %12s  %-25s  %7s  %-*s  %s\n", "TYPE", "SIZE", "MODIFIED", "VERSION", static_cast<int>(idWidth),
                "ID", "NAME");
    for (const auto& e : entries) {
        const std::string size = e.type == 0 ? "-"
                                 : human     ? HumanSize(static_cast<double>(e.size))
                                             : std::to_string(e.size);
        std::printf("%-6s %12s  %-25s  %7s  %-*s  %s\n", e.type == 0 ? "folder" : "file", size.c_str(),
                    WithZone(e.modTime).c_str(), e.version.empty() ? "-" : e.version.c_str(), static_cast<int>(idWidth),
                    e.id.c_str(), e.name.c_str());
    }
    if (entries.empty()) std::printf("(empty folder)\n");
    return kExitOk;
}

}  // namespace orvelcli
