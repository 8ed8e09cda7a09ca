// Hardware fingerprint: MD5 over the first disk's identity and the machine's
// network adapter addresses. Never blocks start-up: anything unreadable just
// contributes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class HardwareInfo {
public:
    // sysRoot stands for "/sys" and devRoot for "/dev" (tests use fake trees).
    explicit HardwareInfo(std::string sysRoot = "/sys", std::string devRoot = "/dev");

    // Computes the fingerprint into the object (32 lower-case hex characters).
    void GetHardwareInfoMD5();
    const std::string& Fingerprint() const { return m_strHardwareMD5; }

    // First 4 characters of the model, first 4 of the firmware revision and
    // the 20 of the serial number, from the first disk that reports all three.
    std::string DiskIdentifier() const;
    // "XX-XX-XX-XX-XX-XX" addresses joined by "+", loopback and VMware-named
    // adapters skipped.
    std::string AdapterList() const;
    // The fallback: addresses scanned from the output of "ip link".
    std::string AdapterListFromTool() const;

    // The fallback command (argv) and its time limit in milliseconds.
    void SetAddressTool(std::vector<std::string> argv, int timeLimitMs);

    static std::string FormatMac(const uint8_t mac[6]);
    // Every 17-character run "hh-hh-hh-hh-hh-hh" (or with ':'), upper-cased,
    // joined by "+"; all-zero and broadcast addresses are left out.
    static std::string ScanAddressRuns(std::string_view text);
    // "model firmware serial" pieces padded with blanks and cut to 4 + 4 + 20.
    static std::string ComposeDiskId(std::string_view model, std::string_view firmware, std::string_view serial);
    // MD5 as 32 lower-case hex characters ("" when the digest is unavailable).
    static std::string Md5Hex(std::string_view data);

private:
    std::string DiskIdFromSysfs() const;
    std::string DiskIdFromIdentify() const;

    std::string m_strSysRoot;
    std::string m_strDevRoot;
    std::vector<std::string> m_toolArgv{"ip", "link"};
    int m_nToolTimeLimitMs = 2000;
    std::string m_strHardwareMD5;
};

// The library's version stands in for a file version resource.
inline constexpr std::string_view kLibraryFileVersion = "1.0.0.0";

// "ProgramVersion" of section "Tavik" when it compares (by UTF-16 code units)
// greater or equal to the file version, otherwise the file version.
std::string GetProgramVersion();
std::string ChooseProgramVersion(std::string_view setting, std::string_view fileVersion);
