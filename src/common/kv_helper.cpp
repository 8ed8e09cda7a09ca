#include "common/kv_helper.h"

#include "log/log.h"

namespace {
bool IsStrEmpty(const std::string& s) { return s.empty(); }
}  // namespace

std::string ToKv(const RecordTree& RecordTree) {
    ORVEL_ASSERT(!RecordTree.IsEmpty());
    std::string out;
    for (size_t i = 0; i < RecordTree.ValueCount(); ++i) {
        ORVEL_ASSERT(!IsStrEmpty(RecordTree[i].Key));
        if (i) out += '&';
        out += RecordTree[i].Key;
        out += '=';
        out += RecordTree[i].Value;
    }
    return out;
}
