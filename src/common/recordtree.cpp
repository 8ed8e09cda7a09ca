#include "common/recordtree.h"

#include "log/log.h"
#include "platform/strings.h"

RecordTree::RecordTree(std::string_view name) : Key(name) {}

void RecordTree::SetAttr(std::string_view k, std::string_view v) {
    Attrs.insert_or_assign(std::string(k), std::string(v));
}

std::string RecordTree::GetAttr(std::string_view k) const {
    const auto it = Attrs.find(std::string(k));
    return it == Attrs.end() ? std::string() : it->second;
}

void RecordTree::GetAttrs(std::vector<std::pair<std::string, std::string>>& vtAttrs) const {
    ORVEL_ASSERT(vtAttrs.empty());
    for (const auto& [k, v] : Attrs) vtAttrs.emplace_back(k, v);
}

void RecordTree::AddValue(std::string_view k, std::string_view v) {
    Values.push_back({std::string(k), std::string(v)});
}

std::string RecordTree::GetValue(std::string_view k) const {
    for (const auto& pair : Values)
        if (EqualsNoCase(pair.Key, k)) return pair.Value;
    return {};
}

RecordTree& RecordTree::AddChild(std::string_view name) { return Children.emplace_back(name); }

bool RecordTree::IsEmpty() const { return Key.empty() && Attrs.empty() && Values.empty() && Children.empty(); }

namespace {
// Heap bytes of a string's text beyond the small-string buffer, with the allocator's overhead.
size_t TextBytes(std::string_view text) { return text.size() < 16 ? 0 : text.size() + 1 + 16; }
}  // namespace

bool TreeBudget::Spend(size_t bytes) {
    if (bytes > m_left) {
        m_exceeded = true;
        return false;
    }
    m_left -= bytes;
    return true;
}

bool TreeBudget::Grow(size_t size, size_t capacity, size_t elementSize) {
    if (size < capacity) return !m_exceeded;
    // The vector doubles: its new buffer exists beside the old one while the elements move.
    const size_t newCapacity = capacity == 0 ? 1 : capacity * 2;
    if (newCapacity * elementSize > m_left) {
        m_exceeded = true;
        return false;
    }
    return Spend((newCapacity - capacity) * elementSize);
}

bool TreeBudget::Reserve(size_t count, size_t elementSize) {
    // Counted as the doubling vector would have been, so that a reader sizing its vectors
    // up front is held to the same limit as one growing them (the last growth's buffer).
    size_t capacity = count == 0 ? 0 : 1;
    while (capacity < count && capacity <= m_left) capacity *= 2;
    if (elementSize != 0 && capacity > m_left / elementSize) {
        m_exceeded = true;
        return false;
    }
    return Spend(capacity * elementSize);
}

bool TreeBudget::Child(const RecordTree& parent, std::string_view name) {
    return Grow(parent.Children.size(), parent.Children.capacity(), sizeof(RecordTree)) && Spend(TextBytes(name));
}

bool TreeBudget::Value(const RecordTree& parent, std::string_view key, std::string_view value) {
    return Grow(parent.Values.size(), parent.Values.capacity(), sizeof(ValuePair)) &&
           Spend(TextBytes(key) + TextBytes(value));
}

bool TreeBudget::Attr(std::string_view key, std::string_view value) {
    // A map node: its header and both strings.
    return Spend(32 + 2 * sizeof(std::string) + 16 + TextBytes(key) + TextBytes(value));
}
