// orvel ls: a folder listing as a table or as JSON.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace orvelcli {
namespace {

struct Entry {
  int type = 1;
  int64_t size = 0;
  std::string id, parentId, name, modTime, sha1, version;
};

// Frees the list handle on every path.
struct FileListOwner {
  ORVEL_FILELIST h = nullptr;
  ~FileListOwner() {
    if (h != nullptr) ORVEL_DestoryFiles(h);
  }
};

HRESULT ReadEntries(ORVEL_FILELIST h, std::vector<Entry>& entries) {
  int count = 0;
  HRESULT hr = ORVEL_GetFilesNum(h, &count);
  if (hr < 0) return hr;
  for (unsigned i = 0; i < static_cast<unsigned>(count); ++i) {
    Entry e;
    OutString id, parent, name, modTime, sha1, version;
    if ((hr = ORVEL_GetFileType(h, i, &e.type)) < 0 || (hr = ORVEL_GetFileSize64(h, i, &e.size)) < 0 ||
        (hr = ORVEL_GetFileId(h, i, &id)) < 0 || (hr = ORVEL_GetParentId(h, i, &parent)) < 0 ||
        (hr = ORVEL_GetFileName(h, i, &name)) < 0 || (hr = ORVEL_GetModifyTime(h, i, &modTime)) < 0 ||
        (hr = ORVEL_GetFileSha1(h, i, &sha1)) < 0 || (hr = ORVEL_GetFileVersion(h, i, &version)) < 0)
      return hr;
    e.id = id.str();
    e.parentId = parent.str();
    e.name = name.str();
    e.modTime = modTime.str();
    e.sha1 = sha1.str();
    e.version = version.str();
    entries.push_back(std::move(e));
  }
  return S_OK;
}

}  // namespace

int CmdList(Context& ctx) {
  const auto& p = ctx.args.positional;
  if (p.size() > 1) return UsageError("usage: orvel ls [FOLDER_ID] [--json]");
  auto s = RequireSession(ctx);
  if (!s) return kExitFailure;
  const std::string folder = p.empty() ? "0" : p[0];

  FileListOwner list;
  HRESULT hr = ORVEL_EnumFiles(Wide(s->token).c_str(), Wide(folder).c_str(), &list.h);
  if (hr < 0) return Fail(ctx, "ls", hr);
  std::vector<Entry> entries;
  hr = ReadEntries(list.h, entries);
  if (hr < 0) return Fail(ctx, "ls", hr);

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
    PrintJson(nlohmann::json({{"folderId", folder}, {"items", items}}).dump());
    return kExitOk;
  }
  size_t idWidth = 2;
  for (const auto& e : entries) idWidth = std::max(idWidth, e.id.size());
  std::printf("%-6s %12s  %-19s  %7s  %-*s  %s\n", "TYPE", "SIZE", "MODIFIED", "VERSION", static_cast<int>(idWidth),
              "ID", "NAME");
  for (const auto& e : entries) {
    const std::string size = e.type == 0 ? "-" : std::to_string(e.size);
    std::printf("%-6s %12s  %-19s  %7s  %-*s  %s\n", e.type == 0 ? "folder" : "file", size.c_str(),
                e.modTime.c_str(), e.version.empty() ? "-" : e.version.c_str(), static_cast<int>(idWidth),
                e.id.c_str(), e.name.c_str());
  }
  if (entries.empty()) std::printf("(empty folder)\n");
  return kExitOk;
}

}  // namespace orvelcli
