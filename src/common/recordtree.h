// The named tree in which requests are composed and answers delivered: attributes, ordered
// key/value pairs (elements holding text) and child trees (elements holding none).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ValuePair {
  std::string Key, Value;
};

class RecordTree {
 public:
  std::string Key;
  std::map<std::string, std::string> Attrs;
  std::vector<ValuePair> Values;
  std::vector<RecordTree> Children;

  explicit RecordTree(std::string_view name = {});

  // Inserts or overwrites.
  void SetAttr(std::string_view k, std::string_view v);
  // Exact, case-sensitive; "" when absent.
  std::string GetAttr(std::string_view k) const;
  // Appends every attribute in key order; out must be empty (asserted).
  void GetAttrs(std::vector<std::pair<std::string, std::string>>& out) const;
  void AddValue(std::string_view k, std::string_view v);
  // First pair whose key matches without regard to ASCII case; "" when none.
  std::string GetValue(std::string_view k) const;
  size_t ValueCount() const { return Values.size(); }
  const ValuePair& operator[](size_t i) const { return Values[i]; }
  // Appends a new empty child and returns it (valid until the next AddChild on this tree).
  RecordTree& AddChild(std::string_view name);
  bool IsEmpty() const;
};
