// The hardware fingerprint from fake sysfs trees and helper programs, and the
// program version choice.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>

#include "hwinfo/hardware_info.h"
#include "hwinfo/tool_runner.h"
#include "support/log_capture.h"

namespace fs = std::filesystem;
using orvel::testsupport::TempDir;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool IsMd5Hex(const std::string& text) { return std::regex_match(text, std::regex("[0-9a-f]{32}")); }

// A sysfs tree with disks and adapters of every kind the scan meets.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string root = m_dir.Path();
        fs::create_directories(root + "/block/loop0");                          // no device at all
        WriteFile(root + "/block/sda/device/model", "ST1000DM003-1CH162  \n");  // no serial: skipped
        WriteFile(root + "/block/sda/device/rev", "CC47\n");
        WriteFile(root + "/block/sdb/device/model", "WDC WD10EZEX\n");
        WriteFile(root + "/block/sdb/device/rev", "01.01A01\n");
        WriteFile(root + "/block/sdb/device/serial", "WD-WCC6Y0123456\n");

        Adapter("lo", "00:00:00:00:00:00", "772");
        Adapter("eth0", "52:54:00:ab:cd:ef", "1");
        Adapter("VMware0", "00:50:56:c0:00:01", "1");
        Adapter("vmnet8", "00:50:56:c0:00:08", "1");
        Adapter("tun0", "", "65534");
        Adapter("wlan0", "a4:5e:60:01:02:03", "1");
    }
    void Adapter(const std::string& name, const std::string& mac, const std::string& type) {
        WriteFile(m_dir.Path() + "/class/net/" + name + "/address", mac + "\n");
        WriteFile(m_dir.Path() + "/class/net/" + name + "/type", type + "\n");
    }
    TempDir m_dir;
};

}  // namespace

TEST(HardwareInfoPieces, Md5AndFormatting) {
    EXPECT_EQ(HardwareInfo::Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(HardwareInfo::Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
    EXPECT_EQ(HardwareInfo::FormatMac(mac), "00-1A-2B-C3-D4-FF");
    EXPECT_EQ(HardwareInfo::ComposeDiskId("WDC WD10EZEX", "01.01A01", "WD-WCC6Y0123456"),
              "WDC 01.0WD-WCC6Y0123456     ");
    EXPECT_EQ(HardwareInfo::ComposeDiskId("ab", "1", "s"), "ab  1   s                   ");
    EXPECT_EQ(HardwareInfo::ComposeDiskId("m", "f", std::string(30, 'S')).size(), 28u);
}

TEST(HardwareInfoPieces, AddressRunsFromToolOutput) {
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("   Physical Address. . . : 00-1A-2B-3C-4D-5E\r\n"), "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("link/ether 52:54:00:ab:cd:ef brd ff:ff:ff:ff:ff:ff"), "52-54-00-AB-CD-EF");
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("a 11-22-33-44-55-66 b 77-88-99-AA-BB-CC"),
              "11-22-33-44-55-66+77-88-99-AA-BB-CC");
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("link/loopback 00:00:00:00:00:00 brd 00:00:00:00:00:00"), "");
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("inet6 fe80:0000:1111:2222:3333:4444:5555"), "");  // part of a longer run
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("11:22-33:44-55:66"), "");                         // mixed separators
    EXPECT_EQ(HardwareInfo::ScanAddressRuns("11-22-33-44-55-6"), "");
}

TEST_F(FakeSysfs, DiskFromFirstCompleteDisk) {
    HardwareInfo info(m_dir.Path(), m_dir.File("dev"));
    EXPECT_EQ(info.DiskIdentifier(), "WDC 01.0WD-WCC6Y0123456     ");
}

TEST_F(FakeSysfs, NvmeFirmwareAndScsiSerialPage) {
    TempDir other;
    WriteFile(other.Path() + "/class/block/nvme0n1/device/model", "Samsung SSD 970\n");
    WriteFile(other.Path() + "/class/block/nvme0n1/device/firmware_rev", "2B2QEXM7\n");
    WriteFile(other.Path() + "/class/block/nvme0n1/device/serial", "S4EWNX0N123456\n");
    HardwareInfo nvme(other.Path(), other.File("dev"));
    EXPECT_EQ(nvme.DiskIdentifier(), "Sams2B2QS4EWNX0N123456      ");

    TempDir scsi;
    WriteFile(scsi.Path() + "/block/sda/device/model", "QEMU HARDDISK\n");
    WriteFile(scsi.Path() + "/block/sda/device/rev", "2.5+\n");
    WriteFile(scsi.Path() + "/block/sda/device/vpd_pg80", std::string("\0\x80\0\x08", 4) + "QM0001  ");
    HardwareInfo vpd(scsi.Path(), scsi.File("dev"));
    EXPECT_EQ(vpd.DiskIdentifier(), "QEMU2.5+QM0001              ");
}

TEST_F(FakeSysfs, AdaptersSkipLoopbackVmwareAndEmpty) {
    HardwareInfo info(m_dir.Path(), m_dir.File("dev"));
    EXPECT_EQ(info.AdapterList(), "52-54-00-AB-CD-EF+A4-5E-60-01-02-03");
}

TEST_F(FakeSysfs, FingerprintIsMd5OfDiskAndAdapters) {
    HardwareInfo info(m_dir.Path(), m_dir.File("dev"));
    info.SetAddressTool({"/nonexistent/ip"}, 500);
    EXPECT_TRUE(info.Fingerprint().empty());
    info.GetHardwareInfoMD5();
    EXPECT_TRUE(IsMd5Hex(info.Fingerprint()));
    EXPECT_EQ(info.Fingerprint(),
              HardwareInfo::Md5Hex("WDC 01.0WD-WCC6Y0123456     52-54-00-AB-CD-EF+A4-5E-60-01-02-03"));
}

TEST_F(FakeSysfs, OnlyVmwareAdaptersFallBackToTheTool) {
    TempDir vm;
    WriteFile(vm.Path() + "/class/net/vmware1/address", "00:50:56:c0:00:01\n");
    WriteFile(vm.Path() + "/class/net/lo/address", "00:00:00:00:00:00\n");
    HardwareInfo info(vm.Path(), vm.File("dev"));
    EXPECT_EQ(info.AdapterList(), "");
    const char* output =
        "1: lo: <LOOPBACK,UP> mtu 65536\\n    link/loopback 00:00:00:00:00:00 brd 00:00:00:00:00:00\\n"
        "2: eth0: <BROADCAST> mtu 1500\\n    link/ether 08:00:27:aa:bb:cc brd ff:ff:ff:ff:ff:ff\\n"
        "3: vmnet8: <BROADCAST> mtu 1500\\n    link/ether 00:50:56:c0:00:08 brd ff:ff:ff:ff:ff:ff\\n"
        "4: eth1@if9: <BROADCAST> mtu 1500\\n    link/ether 0a:0b:0c:0d:0e:0f brd ff:ff:ff:ff:ff:ff\\n";
    info.SetAddressTool({"/bin/sh", "-c", std::string("printf '") + output + "'"}, 2000);
    EXPECT_EQ(info.AdapterListFromTool(), "08-00-27-AA-BB-CC+0A-0B-0C-0D-0E-0F");
    info.GetHardwareInfoMD5();
    EXPECT_EQ(info.Fingerprint(), HardwareInfo::Md5Hex("08-00-27-AA-BB-CC+0A-0B-0C-0D-0E-0F"));
}

TEST(HardwareInfoTool, MissingOrSlowToolContributesNothingInTime) {
    TempDir empty;
    HardwareInfo missing(empty.Path(), empty.File("dev"));
    missing.SetAddressTool({"/nonexistent/ip", "link"}, 2000);
    missing.GetHardwareInfoMD5();
    EXPECT_EQ(missing.Fingerprint(), HardwareInfo::Md5Hex(""));

    const auto start = std::chrono::steady_clock::now();
    HardwareInfo slow(empty.Path(), empty.File("dev"));
    slow.SetAddressTool({"/bin/sh", "-c", "echo 'link/ether 02:00:00:00:00:01'; exec sleep 30"}, 300);
    slow.GetHardwareInfoMD5();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // What the tool wrote before the limit still counts.
    EXPECT_EQ(slow.Fingerprint(), HardwareInfo::Md5Hex("02-00-00-00-00-01"));
}

TEST(HardwareInfoTool, OutputIsBoundedTo4096Bytes) {
    std::string out = RunToolOutput({"/bin/sh", "-c", "head -c 100000 /dev/zero"}, 2000, 4096);
    EXPECT_EQ(out.size(), 4096u);
    EXPECT_EQ(RunToolOutput({}, 100, 4096), "");
}

TEST(HardwareInfoReal, ThisMachineGivesA32CharacterFingerprint) {
    HardwareInfo info;
    info.GetHardwareInfoMD5();
    EXPECT_TRUE(IsMd5Hex(info.Fingerprint())) << info.Fingerprint();
}

TEST(ProgramVersion, SettingWinsOnlyWhenNotSmallerByCharacters) {
    EXPECT_EQ(ChooseProgramVersion("9.0.0.0", "1.2.3.4"), "9.0.0.0");
    EXPECT_EQ(ChooseProgramVersion("", "1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(ChooseProgramVersion("1.10.0.0", "1.9.0.0"), "1.9.0.0");
    EXPECT_EQ(ChooseProgramVersion("1.2.3.4", "1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(ChooseProgramVersion("1.2.3.4a", "1.2.3.4"), "1.2.3.4a");
}

TEST(ProgramVersion, ReadsTheSettingsFile) {
    TempDir dir;
    const std::string ini = dir.File("s.ini");
    ::setenv("ORVEL_SETTINGS_FILE", ini.c_str(), 1);
    EXPECT_EQ(GetProgramVersion(), "1.0.0.0");
    WriteFile(ini, "[Tavik]\nProgramVersion=9.0.0.0\n");
    EXPECT_EQ(GetProgramVersion(), "9.0.0.0");
    WriteFile(ini, "[Tavik]\nProgramVersion=0.9.9.9\n");
    EXPECT_EQ(GetProgramVersion(), "1.0.0.0");
    ::unsetenv("ORVEL_SETTINGS_FILE");
}
