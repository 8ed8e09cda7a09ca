#include "hwinfo/hardware_info.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "hwinfo/tool_runner.h"
#include "log/log.h"
#include "platform/digest.h"
#include "platform/strings.h"

namespace fs = std::filesystem;

namespace {

// Small sysfs attribute, trimmed of surrounding white space.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    char buf[256];
    in.read(buf, sizeof buf);
    std::string text(buf, static_cast<size_t>(in.gcount()));
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && (std::isspace(static_cast<unsigned char>(text[end - 1])) || text[end - 1] == '\0')) --end;
    return text.substr(begin, end - begin);
}

// SCSI unit serial number page: 4-byte header, then the serial.
std::string SerialFromVpd80(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    char buf[256];
    in.read(buf, sizeof buf);
    size_t got = static_cast<size_t>(in.gcount());
    if (got < 4 || static_cast<unsigned char>(buf[1]) != 0x80) return {};
    size_t len = std::min<size_t>(static_cast<unsigned char>(buf[3]), got - 4);
    std::string serial(buf + 4, len);
    while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0')) serial.pop_back();
    size_t first = serial.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : serial.substr(first);
}

std::vector<fs::path> SortedEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string Padded(std::string_view text, size_t width) {
    std::string out(text.substr(0, width));
    out.resize(width, ' ');
    return out;
}

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// "vmware" anywhere in the name, or VMware's host adapters "vmnet<N>".
bool IsVmwareName(std::string_view name) {
    std::string lower = ToLowerAscii(name);
    return lower.find("vmware") != std::string::npos || lower.rfind("vmnet", 0) == 0;
}

// Parses "xx:xx:xx:xx:xx:xx"; false for anything else.
bool ParseMac(std::string_view text, uint8_t mac[6]) {
    if (text.size() != 17) return false;
    for (int i = 0; i < 6; ++i) {
        char hi = text[i * 3], lo = text[i * 3 + 1];
        if (!IsHex(hi) || !IsHex(lo) || (i < 5 && text[i * 3 + 2] != ':')) return false;
        mac[i] = static_cast<uint8_t>(std::stoi(std::string{hi, lo}, nullptr, 16));
    }
    return true;
}

}  // namespace

HardwareInfo::HardwareInfo(std::string sysRoot, std::string devRoot)
    : m_strSysRoot(std::move(sysRoot)), m_strDevRoot(std::move(devRoot)) {}

void HardwareInfo::SetAddressTool(std::vector<std::string> argv, int timeLimitMs) {
    m_toolArgv = std::move(argv);
    m_nToolTimeLimitMs = timeLimitMs;
}

void HardwareInfo::GetHardwareInfoMD5() {
    try {
        std::string disk = DiskIdentifier();
        std::string adapters = AdapterList();
        if (adapters.empty()) adapters = AdapterListFromTool();
        m_strHardwareMD5 = Md5Hex(disk + adapters);
    } catch (...) {
        LogWrite(0, "*ASSERT*: !L\"GetHardwareInfoMD5 throw Exception!\"", __FILE__, __LINE__);
    }
}

std::string HardwareInfo::ComposeDiskId(std::string_view model, std::string_view firmware, std::string_view serial) {
    return Padded(model, 4) + Padded(firmware, 4) + Padded(serial, 20);
}

std::string HardwareInfo::DiskIdentifier() const {
    std::string id = DiskIdFromSysfs();
    return id.empty() ? DiskIdFromIdentify() : id;
}

std::string HardwareInfo::DiskIdFromSysfs() const {
    for (const char* sub : {"block", "class/block"}) {
        for (const fs::path& disk : SortedEntries(fs::path(m_strSysRoot) / sub)) {
            const fs::path dev = disk / "device";
            std::string model = ReadAttribute(dev / "model");
            std::string firmware = ReadAttribute(dev / "rev");
            if (firmware.empty()) firmware = ReadAttribute(dev / "firmware_rev");
            std::string serial = ReadAttribute(dev / "serial");
            if (serial.empty()) serial = SerialFromVpd80(dev / "vpd_pg80");
            if (!model.empty() && !firmware.empty() && !serial.empty()) return ComposeDiskId(model, firmware, serial);
        }
    }
    return {};
}

// ATA IDENTIFY DEVICE through the drive's ioctl, for drives 0 to 3. The
// kernel hands the text fields back already in reading order.
std::string HardwareInfo::DiskIdFromIdentify() const {
    for (char letter = 'a'; letter <= 'd'; ++letter) {
        std::string path = m_strDevRoot + "/sd" + letter;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        unsigned char identify[512] = {};
        int rc = ::ioctl(fd, HDIO_GET_IDENTITY, identify);
        ::close(fd);
        if (rc != 0) continue;
        auto field = [&](size_t offset, size_t length) {
            std::string text(reinterpret_cast<const char*>(identify) + offset, length);
            size_t first = text.find_first_not_of(' ');
            return first == std::string::npos ? std::string() : text.substr(first);
        };
        std::string serial = field(20, 20), firmware = field(46, 8), model = field(54, 40);
        if (!model.empty() && !firmware.empty() && !serial.empty()) return ComposeDiskId(model, firmware, serial);
    }
    return {};
}

std::string HardwareInfo::FormatMac(const uint8_t mac[6]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

std::string HardwareInfo::AdapterList() const {
    std::string list;
    for (const fs::path& adapter : SortedEntries(fs::path(m_strSysRoot) / "class" / "net")) {
        const std::string name = adapter.filename().string();
        if (name == "lo" || ReadAttribute(adapter / "type") == "772") continue;  // loopback
        if (IsVmwareName(name)) continue;
        uint8_t mac[6];
        if (!ParseMac(ReadAttribute(adapter / "address"), mac)) continue;
        if (std::all_of(mac, mac + 6, [](uint8_t b) { return b == 0; })) continue;
        if (!list.empty()) list += '+';
        list += FormatMac(mac);
    }
    return list;
}

std::string HardwareInfo::ScanAddressRuns(std::string_view text) {
    static constexpr size_t kRun = 17;
    std::string list;
    size_t i = 0;
    while (i + kRun <= text.size()) {
        const char sep = text[i + 2];
        bool match = (sep == '-' || sep == ':');
        for (size_t k = 0; match && k < kRun; ++k) match = (k % 3 == 2) ? text[i + k] == sep : IsHex(text[i + k]);
        // A run inside a longer address (IPv6, long hardware addresses) does not count.
        if (match && i > 0 && (IsHex(text[i - 1]) || text[i - 1] == sep)) match = false;
        if (match && i + kRun < text.size() && (IsHex(text[i + kRun]) || text[i + kRun] == sep)) match = false;
        if (!match) {
            ++i;
            continue;
        }
        std::string run(text.substr(i, kRun));
        for (char& c : run) c = (c == ':') ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (run != "00-00-00-00-00-00" && run != "FF-FF-FF-FF-FF-FF") {
            if (!list.empty()) list += '+';
            list += run;
        }
        i += kRun;
    }
    return list;
}

// "ip link" prints one block per interface ("2: eth0: <...>" then its
// "link/ether" line); blocks of VMware-named interfaces are left out.
std::string HardwareInfo::AdapterListFromTool() const {
    std::string output = RunToolOutput(m_toolArgv, m_nToolTimeLimitMs, 4096);
    std::string list;
    bool skip = false;
    size_t pos = 0;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos) end = output.size();
        std::string_view line(output.data() + pos, end - pos);
        pos = end + 1;
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
            size_t colon = line.find(": ");
            std::string_view name = colon == std::string_view::npos ? line : line.substr(colon + 2);
            name = name.substr(0, name.find_first_of(":@ "));
            skip = IsVmwareName(name);
        }
        if (skip) continue;
        std::string found = ScanAddressRuns(line);
        if (found.empty()) continue;
        if (!list.empty()) list += '+';
        list += found;
    }
    return list;
}

std::string HardwareInfo::Md5Hex(std::string_view data) {
    std::string hex = platform::Digest::Hex(platform::DigestKind::Md5, data.data(), data.size());
    if (hex.empty()) ERROR_CHECK_BOOL(!"MD5 digest failed");
    return hex;
}
