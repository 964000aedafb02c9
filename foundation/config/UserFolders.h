#pragma once
// The launcher's data folders: program data, the public user data folder (shared by every
// user of the machine; it holds the planet content), the private user data folder (per user,
// under the documents folder), and below the public one the dynamic content folder (the
// ".pak" archives) and the participant content folder.
//
// Contract:
// - InitUserFolders computes the folders once at start-up (UI thread); the parent folder and
//   the published roots change again only through ReloadPublicUsersDataParentFolder (after a
//   content move). Every folder text ends in "/" (the parent folder only when its setting
//   does).
// - Paths keep their letter case: the parent folder setting is trimmed, "\" is read as "/"
//   and runs of "/" collapse, nothing more. Lower-cased forms are only lookup keys.
// - GetPublicUsersDataFolder, MakeDynamicContentFolderPath and MakeParticipantContentFolderPath
//   follow the current parameter and parent folder at each call; the cached dynamic content
//   folder and the resource root keep the values of the last publication.
// - Nothing here throws. A folder that cannot be created is reported on stderr and leaves the
//   folders after it uncreated.
// - Any thread may read; the texts are guarded by one small lock and returned as copies.

#include <string>
#include <vector>

namespace Vel {

inline constexpr const char* kProgramDataFolderName = "program_data/";
inline constexpr const char* kPublicUsersDataFolderName = "public_users_data/";
inline constexpr const char* kPrivateUserDataFolderName = "private_user_data/";
inline constexpr const char* kDynamicContentFolderName = "dynamic_content/";
inline constexpr const char* kParticipantContentFolderName = "participant_content/";
inline constexpr const char* kProductFolderName = "Solvenda Frontier/";

// Flags of InitUserFolders; start-up passes both.
inline constexpr unsigned kUserFoldersPublish = 1;
inline constexpr unsigned kUserFoldersCreate = 2;

void InitUserFolders(unsigned flags);
// Re-reads the parent folder setting, then publishes the roots again.
void ReloadPublicUsersDataParentFolder();
// Dynamic content folder := MakeDynamicContentFolderPath; resource root :=
// GetPublicUsersDataFolder.
void SetContentAndResourceRoots();

std::string GetPublicUsersDataFolder();
std::string GetPublicUsersDataParentFolder();
std::string GetPrivateUserDataFolder();
std::string GetProgramDataFolder();
std::string MakeDynamicContentFolderPath();
std::string MakeParticipantContentFolderPath();

std::string GetDynamicContentFolder();
void SetDynamicContentFolder(const std::string& folder);

// The "*.pak" files directly in MakeDynamicContentFolderPath (no sub-folders): the folder
// followed by each name as the file system holds it.
std::vector<std::string> ListPakFiles();

}  // namespace Vel
