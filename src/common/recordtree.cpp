#include "common/recordtree.h"

#include "log/log.h"
#include "platform/strings.h"

RecordTree::RecordTree(std::string_view name) : Key(name) {}

void RecordTree::SetAttr(std::string_view k, std::string_view v) { Attrs.insert_or_assign(std::string(k), std::string(v)); }

std::string RecordTree::GetAttr(std::string_view k) const {
  const auto it = Attrs.find(std::string(k));
  return it == Attrs.end() ? std::string() : it->second;
}

void RecordTree::GetAttrs(std::vector<std::pair<std::string, std::string>>& vtAttrs) const {
  ORVEL_ASSERT(vtAttrs.empty());
  for (const auto& [k, v] : Attrs) vtAttrs.emplace_back(k, v);
}

void RecordTree::AddValue(std::string_view k, std::string_view v) { Values.push_back({std::string(k), std::string(v)}); }

std::string RecordTree::GetValue(std::string_view k) const {
  for (const auto& pair : Values)
    if (EqualsNoCase(pair.Key, k)) return pair.Value;
  return {};
}

RecordTree& RecordTree::AddChild(std::string_view name) { return Children.emplace_back(name); }

bool RecordTree::IsEmpty() const { return Key.empty() && Attrs.empty() && Values.empty() && Children.empty(); }
