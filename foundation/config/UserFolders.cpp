#include "foundation/config/UserFolders.h"

#include <cstdio>
#include <mutex>

#include "foundation/core/AppEnvironment.h"
#include "foundation/files/FileSearch.h"
#include "foundation/files/Paths.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/SiteName.h"
#include "foundation/core/SystemErrorText.h"
#include "platform/LastError.h"

namespace Vel {
namespace {

std::mutex g_mutex;
std::string g_programDataFolder;
std::string g_parentFolder;
std::string g_privateFolder;
std::string g_dynamicContentFolder;

bool ReadBoolParameter(const std::string& key) {
    bool value = false;
    GetParameterStore().Get(key, ParameterType::Bool, value);
    return value;
}

// The setting's text made into a folder path with its letter case kept: white space trimmed,
// "\" read as "/", runs of "/" collapsed.
std::string CleanFolderText(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n\v\f");
    std::string out;
    for (char c : text.substr(first, last - first + 1)) {
        if (c == '\\') c = '/';
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    return out;
}

std::string ReadParentFolderSetting() { return CleanFolderText(Settings::PublicUsersDataParentFolder.Read()); }

// Creates the folder; false (and a line on stderr) when it cannot.
bool CreateFolder(const std::string& folder) {
    if (EnsureParentDirectory(folder)) return true;
    const std::string reason = SystemErrorText(Platform::GetLastError());
    std::fprintf(stderr, "Trailstarter: cannot create the folder \"%s\": %s\n", folder.c_str(), reason.c_str());
    return false;
}

}  // namespace

std::string GetPublicUsersDataFolder() {
    if (ReadBoolParameter("client.store_public_user_files_locally"))
        return GetOutputFolder() + kPublicUsersDataFolderName;
    return JoinPath(GetPublicUsersDataParentFolder(), kPublicUsersDataFolderName);
}

std::string GetPublicUsersDataParentFolder() {
    std::lock_guard lock(g_mutex);
    return g_parentFolder;
}

std::string GetPrivateUserDataFolder() {
    std::lock_guard lock(g_mutex);
    return g_privateFolder;
}

std::string GetProgramDataFolder() {
    std::lock_guard lock(g_mutex);
    return g_programDataFolder;
}

std::string MakeDynamicContentFolderPath() { return GetPublicUsersDataFolder() + kDynamicContentFolderName; }

std::string MakeParticipantContentFolderPath() { return GetPublicUsersDataFolder() + kParticipantContentFolderName; }

std::string GetDynamicContentFolder() {
    std::lock_guard lock(g_mutex);
    return g_dynamicContentFolder;
}

void SetDynamicContentFolder(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_dynamicContentFolder = folder;
}

void SetContentAndResourceRoots() {
    SetDynamicContentFolder(MakeDynamicContentFolderPath());
    SetResourceRoot(GetPublicUsersDataFolder());
}

void ReloadPublicUsersDataParentFolder() {
    const std::string parent = ReadParentFolderSetting();
    {
        std::lock_guard lock(g_mutex);
        g_parentFolder = parent;
    }
    SetContentAndResourceRoots();
}

void InitUserFolders(unsigned flags) {
    std::string programData = GetOutputFolder() + kProgramDataFolderName;
    if (!IsDirectory(programData)) programData = kProgramDataFolderName;

    const std::string parent = ReadParentFolderSetting();

    std::string privateFolder;
    if (ReadBoolParameter("client.store_private_user_files_locally")) {
        privateFolder = GetOutputFolder() + kPrivateUserDataFolderName;
    } else {
        privateFolder = SiteFolder(GetDocumentsFolder() + kProductFolderName);
    }

    {
        std::lock_guard lock(g_mutex);
        g_programDataFolder = programData;
        g_parentFolder = parent;
        g_privateFolder = privateFolder;
    }

    if (flags & kUserFoldersCreate) {
        // Each only when the one before could be created.
        const std::string folders[] = {privateFolder, MakeDynamicContentFolderPath(),
                                       MakeParticipantContentFolderPath()};
        for (const std::string& folder : folders)
            if (!CreateFolder(folder)) break;
    }
    if (flags & kUserFoldersPublish) SetContentAndResourceRoots();
}

std::vector<std::string> ListPakFiles() {
    return FileSearch(MakeDynamicContentFolderPath(), "*.pak").GetPaths(false);
}

}  // namespace Vel
