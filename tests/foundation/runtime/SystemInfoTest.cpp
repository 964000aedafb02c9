// The machine description from a fixture root laid out like /etc, /proc and /sys.

#include <filesystem>

#include <gtest/gtest.h>

#include "foundation/runtime/SystemInfo.h"
#include "tests/support/TempDir.h"

namespace Vel {
namespace {

TEST(SystemInfoTest, MemoryIsRoundedUpToMultiplesOf32MiB) {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const struct {
        std::uint64_t bytes;
        std::uint32_t mb;
    } cases[] = {{4095 * kMiB, 4096}, {4096 * kMiB, 4096}, {100 * kMiB, 128}, {0, 0}, {kMiB - 1, 0}};
    for (const auto& c : cases) EXPECT_EQ(RoundUpMemoryMB(c.bytes), c.mb) << c.bytes;
}

TEST(SystemInfoTest, ReadsTheMachineFromItsFiles) {
    Vel::Test::TempDir root("sysinfo");
    root.Write("etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
    root.Write("proc/meminfo", "MemTotal:        4193280 kB\nMemFree: 1 kB\n");
    root.Write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Test CPU @ 3.00GHz\n\nprocessor\t: 1\nmodel name\t: Test CPU @ 3.00GHz\n");
    root.Write("sys/class/drm/card0-HDMI-A-1/status", "connected\n");
    root.Write("sys/class/drm/card0/device/vendor", "0x8086\n");
    root.Write("sys/class/drm/card0/device/device", "0x46a6\n");
    std::filesystem::create_directories(root / "sys/bus/pci/drivers/i915");
    std::filesystem::create_symlink(root / "sys/bus/pci/drivers/i915", root / "sys/class/drm/card0/device/driver");
    root.Write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    root.Write("usr/share/misc/pci.ids",
               "# comment\n1002  Advanced Micro Devices\n\t46a6  Not this one\n8086  Intel Corporation\n"
               "\t1234  Other\n\t46a6  Alder Lake-P GT2 & more\n\t\t1028 0b19  Subsystem\n");
    root.Write("proc/asound/cards", " 0 [PCH            ]: HDA-Intel - HDA Intel PCH\n                      HDA Intel PCH at 0x1\n");
    root.Write("proc/asound/version", "Advanced Linux Sound Architecture Driver Version k6.1.0-18-amd64.\n");

    const SystemInfo info = CollectSystemInfoFrom(root.Path().string());
    EXPECT_EQ(info.osName, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(info.osCode, 199u);
    EXPECT_EQ(RoundUpMemoryMB(info.totalPhysicalMemory), 4096u);
    EXPECT_EQ(info.processorNames.size(), 2u);
    EXPECT_EQ(info.adapter.vendorId, 0x8086u);
    EXPECT_EQ(info.adapter.deviceId, 0x46a6u);
    EXPECT_EQ(info.adapter.description, "Intel Corporation Alder Lake-P GT2 & more");
    EXPECT_EQ(info.graphicsDriver, "i915");
    EXPECT_EQ(info.graphicsDriverVersion.ToString(), "6.1.0.18");
    EXPECT_EQ(info.directXVersion.ToString(), "0.0.0.0");
    EXPECT_EQ(info.soundDeviceName, "HDA Intel PCH");
    EXPECT_EQ(info.soundDriverVersion.ToString(), "6.1.0.18");
}

TEST(SystemInfoTest, AnEmptyRootLeavesEveryFieldEmpty) {
    Vel::Test::TempDir root("sysinfo");
    const SystemInfo info = CollectSystemInfoFrom(root.Path().string());
    EXPECT_EQ(info.osName, "Linux");
    EXPECT_EQ(info.osCode, 0u);
    EXPECT_EQ(info.totalPhysicalMemory, 0u);
    EXPECT_TRUE(info.adapter.description.empty());
    EXPECT_TRUE(info.graphicsDriverVersion.IsNull());
    EXPECT_TRUE(info.soundDeviceName.empty());
    EXPECT_TRUE(info.soundDriverVersion.IsNull());
}

TEST(SystemInfoTest, ThisMachineIsCollectedOnce) {
    const SystemInfo* first = &GetSystemInfo();
    EXPECT_TRUE(CollectSystemInfo());
    EXPECT_EQ(first, &GetSystemInfo());
    EXPECT_GT(GetPhysicalMemoryMB(), 0u);
    EXPECT_GT(GetDiskFreeBytes("/"), 0u);
    EXPECT_EQ(GetDiskFreeBytes("/no/such/folder"), 0u);
}

}  // namespace
}  // namespace Vel
