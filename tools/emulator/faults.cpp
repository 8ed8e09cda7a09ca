#include "faults.h"

#include "wire.h"

namespace emu {
namespace {

// Accepts 5, "5", true, "true" alike: test scripts write what is handy.
bool AsInt(const nlohmann::json& v, int64_t lo, int64_t hi, int64_t& out) {
    if (v.is_number_integer()) {
        out = v.get<int64_t>();
        return out >= lo && out <= hi;
    }
    return v.is_string() && ParseInt(v.get<std::string>(), lo, hi, out);
}

bool AsTrue(const nlohmann::json& v) {
    return (v.is_boolean() && v.get<bool>()) || (v.is_string() && v.get<std::string>() == "true") ||
           (v.is_number_integer() && v.get<int64_t>() != 0);
}

}  // namespace

bool Faults::ParseRule(const nlohmann::json& j, Rule& rule, std::string& error) const {
    if (!j.is_object() || !j.contains("path") || !j["path"].is_string()) {
        error = "a rule needs a string \"path\"";
        return false;
    }
    rule.path = j["path"].get<std::string>();
    int64_t n = 1;
    if (j.contains("times") && !AsInt(j["times"], 0, 1000000, n)) {
        error = "\"times\" wants 0..1000000";
        return false;
    }
    rule.remaining = n == 0 ? -1 : n;
    int effects = 0;
    if (j.contains("status")) {
        ++effects;
        if (!AsInt(j["status"], 100, 599, n)) {
            error = "\"status\" wants 100..599";
            return false;
        }
        rule.effect.kind = FaultEffect::Status;
        rule.effect.status = static_cast<int>(n);
    }
    if (j.contains("result")) {
        ++effects;
        if (!j["result"].is_string() || j["result"].get<std::string>().empty()) {
            error = "\"result\" wants a result code";
            return false;
        }
        rule.effect.kind = FaultEffect::Result;
        rule.effect.result = j["result"].get<std::string>();
    }
    if (j.contains("delayMs")) {
        ++effects;
        if (!AsInt(j["delayMs"], 0, 600000, n)) {
            error = "\"delayMs\" wants 0..600000";
            return false;
        }
        rule.effect.kind = FaultEffect::Delay;
        rule.effect.delayMs = static_cast<int>(n);
    }
    if (j.contains("drop") && AsTrue(j["drop"])) {
        ++effects;
        rule.effect.kind = FaultEffect::Drop;
    }
    if (j.contains("corrupt") && AsTrue(j["corrupt"])) {
        ++effects;
        rule.effect.kind = FaultEffect::Corrupt;
    }
    if (effects != 1) {
        error = "a rule wants exactly one of status, result, delayMs, drop, corrupt";
        return false;
    }
    return true;
}

bool Faults::Add(const nlohmann::json& body, std::string& error) {
    std::vector<Rule> parsed;
    if (body.is_object() && body.contains("rules")) {
        const auto& list = body["rules"];
        if (!list.is_array()) {
            error = "\"rules\" wants an array";
            return false;
        }
        for (const auto& r : list) {
            Rule rule;
            if (!ParseRule(r, rule, error)) return false;
            parsed.push_back(std::move(rule));
        }
    } else {
        Rule rule;
        if (!ParseRule(body, rule, error)) return false;
        parsed.push_back(std::move(rule));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& r : parsed) rules_.push_back(std::move(r));
    return true;
}

void Faults::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

size_t Faults::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.size();
}

nlohmann::json Faults::List() const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json rules = nlohmann::json::array();
    for (const Rule& r : rules_) {
        nlohmann::json j = {{"path", r.path}, {"times", r.remaining < 0 ? 0 : r.remaining}};
        switch (r.effect.kind) {
            case FaultEffect::Status:
                j["status"] = r.effect.status;
                break;
            case FaultEffect::Result:
                j["result"] = r.effect.result;
                break;
            case FaultEffect::Delay:
                j["delayMs"] = r.effect.delayMs;
                break;
            case FaultEffect::Drop:
                j["drop"] = true;
                break;
            case FaultEffect::Corrupt:
                j["corrupt"] = true;
                break;
            case FaultEffect::None:
                break;
        }
        rules.push_back(std::move(j));
    }
    return rules;
}

FaultEffect Faults::Take(std::string_view path) {
    if (path.substr(0, 11) == "/_emulator/") return {};
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (path.find(it->path) == std::string_view::npos) continue;
        FaultEffect effect = it->effect;
        if (it->remaining > 0 && --it->remaining == 0) rules_.erase(it);
        return effect;
    }
    return {};
}

}  // namespace emu
