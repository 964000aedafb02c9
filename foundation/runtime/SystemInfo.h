#pragma once
// A description of the player's machine, for the news page's query and the crash report.
//
// Contract:
// - CollectSystemInfo fills the process-wide record once (std::call_once), from
//   /etc/os-release, sysinfo(2), /proc/cpuinfo, /sys/class/drm (the first card with a PCI
//   vendor id: ids, driver, names from the PCI id list when one is installed) and /proc/asound
//   (the first sound card and the ALSA driver version). Every source is optional: what is
//   missing stays empty or zero. The getters call it first, so any thread may call them; the
//   record never changes afterwards.
// - There is no DirectX: its version is 0.0.0.0, and the graphics driver version is the kernel
//   module's version, else the running kernel's release.
// - CollectSystemInfoFrom reads the same sources below another root folder (tests).

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/core/VersionNumber.h"

namespace Vel {

struct GraphicsAdapterInfo {
    std::string description;
    std::uint32_t driverVersionLow = 0;  // the low 32 bits of the driver version
    std::uint32_t vendorId = 0;
    std::uint32_t deviceId = 0;
    std::string pixelShaderVersion = "0.0";
};

struct SystemInfo {
    std::string osName = "Linux";
    std::uint32_t osCode = 0;  // 199 when the system named itself, 0 when unknown
    std::uint64_t totalPhysicalMemory = 0;
    std::vector<std::string> processorNames;
    GraphicsAdapterInfo adapter;
    std::string graphicsDriver;  // the kernel driver's name
    VersionNumber graphicsDriverVersion;
    VersionNumber directXVersion;
    std::string soundDeviceName;
    VersionNumber soundDriverVersion;
};

// Reads every source below root ("/" for this machine).
SystemInfo CollectSystemInfoFrom(const std::string& root);

bool CollectSystemInfo();
const SystemInfo& GetSystemInfo();

std::string GetOsName();
bool IsOlderThanVista();
bool IsVistaOrLater();
// Total physical memory in MiB, rounded up to a multiple of 32.
std::uint32_t GetPhysicalMemoryMB();
std::uint32_t RoundUpMemoryMB(std::uint64_t bytes) noexcept;
GraphicsAdapterInfo GetGraphicsAdapterInfo();
VersionNumber GetGraphicsDriverVersion();
VersionNumber GetDirectXVersion();
std::string GetSoundDeviceName();
VersionNumber GetSoundDriverVersion();
// Bytes free to the calling user on the volume holding path; 0 when the query fails.
std::uint64_t GetDiskFreeBytes(const std::string& path);

}  // namespace Vel
