// Items (folders and files) as the handlers see them. Every account has a
// root folder with the id "0" that is not stored; other ids are global.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server.h"

namespace emu {

enum ItemState : int64_t { kLive = 0, kRecycled = 1, kDeleted = 2 };

struct Item {
    int64_t id = 0;
    int64_t owner = 0;
    int64_t parent = 0;
    std::string name;
    bool folder = true;
    int64_t size = 0;
    std::string sha1;
    std::string modTime;
    int64_t ver = 0;
    int64_t state = kLive;
    int64_t opVer = 0;
};

// All of these run under the store lock.
std::optional<Item> LoadItem(Store& db, int64_t id);

// The live item `idText` of `user`: root for "0". Empty result when found,
// else "targetNotExist" or "permissionDenied" (another account's item).
std::string ResolveItem(Store& db, int64_t user, std::string_view idText, Item& out);
// The same for a folder that is to hold something: "parentNotExist" when it
// is missing or not a folder.
std::string ResolveParent(Store& db, int64_t user, std::string_view idText, Item& out);
// Id of the live item named `name` in `parent`, or 0.
int64_t FindByName(Store& db, int64_t user, int64_t parent, std::string_view name);
// The item's answer values: type, name, fileName, fileId, parentId, sha1,
// modTime, fileVer, size, opVer.
void PutItem(XmlNode& node, const Item& item);
// "YYYY-MM-DD HH:MM:SS" (UTC) for times the service sets itself.
std::string FormatTime(int64_t epochSeconds);

}  // namespace emu
