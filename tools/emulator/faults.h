// Fault injection for tests: rules posted to /_emulator/faults pick requests
// by a substring of their path and give them one effect, a given number of
// times. Paths under /_emulator/ are never affected.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

struct FaultEffect {
    enum Kind { None, Status, Result, Delay, Drop, Corrupt };
    Kind kind = None;
    int status = 0;      // Status: the HTTP status to answer with
    std::string result;  // Result: the result code to answer with
    int delayMs = 0;     // Delay: wait this long, then answer normally
};

class Faults {
public:
    // Body: one rule object or {"rules":[...]}. A rule: "path" (substring),
    // "times" (default 1, 0 = every time) and exactly one of "status",
    // "result", "delayMs", "drop", "corrupt". Numbers may come as strings.
    bool Add(const nlohmann::json& body, std::string& error);
    void Clear();
    // The effect for this request, using up one of the rule's times.
    FaultEffect Take(std::string_view path);
    size_t Count() const;
    // The active rules as they were given, with the times left (0 = every time).
    nlohmann::json List() const;

private:
    struct Rule {
        std::string path;
        int64_t remaining = 1;  // -1: unlimited
        FaultEffect effect;
    };
    bool ParseRule(const nlohmann::json& j, Rule& rule, std::string& error) const;

    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
};

}  // namespace emu
