#include "blocks/transfer/speed_reporter.h"

#include <cstdio>
#include <mutex>

#include "blocks/transfer/rate_query.h"
#include "blocks/transfer/speed_reporter_testing.h"
#include "infocollection/info_collection.h"

namespace {
std::mutex g_reporterLock;
bool g_bDecided = false;
SpeedReporter g_reporter = &NoSpeed;
}  // namespace

void NoSpeed(const std::string&, const std::string&) {}

std::string SpeedKeyFromUrl(std::string_view url) {
    size_t last = url.rfind('/');
    if (last == std::string_view::npos) return std::string(url);
    if (last == 0) return std::string(url.substr(1));
    size_t prev = url.rfind('/', last - 1);
    if (prev == std::string_view::npos) return std::string(url.substr(last + 1));
    return std::string(url.substr(prev + 1, last - prev - 1));
}

void NetSpeed(const std::string& requesterUrl, const std::string& text) {
    CInfoCollection::Instance().CollectInfo(SpeedKeyFromUrl(requesterUrl), "NetSpeed", text);
}

SpeedReporter GetSpeedReporter() {
    std::lock_guard<std::mutex> guard(g_reporterLock);
    if (!g_bDecided) {
        g_bDecided = true;
        g_reporter = QueryRateDecision() ? &NetSpeed : &NoSpeed;
    }
    return g_reporter;
}

void ReportSpeedText(SpeedReporter reporter, const std::string& url, int n, std::string_view text) {
    if (!reporter) return;
    std::string line = std::to_string(n);
    line += ' ';
    line += text;
    reporter(url, line);
}

void ReportSpeedNumbers(SpeedReporter reporter, const std::string& url, int a, int b) {
    if (!reporter) return;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d %d", a, b);
    reporter(url, buf);
}

namespace orvel::infotest {
void ResetSpeedReporter() {
    std::lock_guard<std::mutex> guard(g_reporterLock);
    g_bDecided = false;
    g_reporter = &NoSpeed;
}
}  // namespace orvel::infotest
