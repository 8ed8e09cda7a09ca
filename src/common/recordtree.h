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

// The memory a tree read from an answer takes, counted before each addition as
// it grows (a vector that must grow counts its old and new buffer at once), so
// that a reader can stop a hostile answer before it exhausts memory.
class TreeBudget {
public:
    explicit TreeBudget(size_t limit) : m_left(limit) {}
    // Each is called before the matching RecordTree call; false once over the limit.
    bool Child(const RecordTree& parent, std::string_view name);
    bool Value(const RecordTree& parent, std::string_view key, std::string_view value);
    bool Attr(std::string_view key, std::string_view value);
    // Called before reserving count elements in an empty vector; counted as growing it would be.
    bool Reserve(size_t count, size_t elementSize);
    bool Exceeded() const { return m_exceeded; }

private:
    bool Grow(size_t size, size_t capacity, size_t elementSize);
    bool Spend(size_t bytes);
    size_t m_left;
    bool m_exceeded = false;
};
