// Who may use the platform's files and devices.
//
// When the platform runs as root and the group `orvex` exists, root and the
// members of that group share the root folder, the registry and the device
// sockets; everybody else is kept out. Otherwise each file is its owner's
// alone. Modes are set explicitly, so neither the umask nor an installer
// decides them. A member of the group may configure the panel, but nothing
// the group can write ever makes root run code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex {

inline constexpr char PlatformGroup[] = "orvex";

// The modes when shared with the group. Owner-only keeps the owner's bits
// and the sticky bit, nothing else.
// The root is root's alone to change: members enter it and use what root
// made there (the registry's files, the device sockets, their own window
// sockets in windows/), but cannot create, rename or replace its entries.
inline constexpr uint32_t RootFolderMode = 02750;  // new files keep the group
inline constexpr uint32_t DeviceFolderMode = 0750;
// Sticky, so no member removes another's socket; set-group-id, so every
// socket carries the group and a host that holds the group but cannot
// override modes may send to it.
inline constexpr uint32_t WindowFolderMode = 03770;
inline constexpr uint32_t RegistryFileMode = 0660;  // and its journal files
inline constexpr uint32_t DeviceSocketMode = 0660;

// The registry under the root: the database first, then the journal files
// SQLite keeps beside it.
inline constexpr const char* RegistryFiles[] = {"registry.db", "registry.db-wal", "registry.db-shm",
                                                "registry.db-journal"};

struct FileSharing {
    bool AsRoot = false;     // the effective user is root: other users are a threat
    bool WithGroup = false;  // group modes; as root also root and the group as owners
    uint32_t Group = 0;      // the group's id when WithGroup
};

// This process's sharing of the platform root: as root, with the group when
// the group exists; as another user, with the group when the root folder is
// already shared with it (set-group-id and open to the group), as root made it.
FileSharing CurrentFileSharing(const std::string& root, const std::string& group = PlatformGroup);

uint32_t EffectiveMode(uint32_t sharedMode, const FileSharing& s);

// Creates the folder when missing (missing parents get 0755) and gives it
// its mode and, when shared, root and the group as owners. A folder of
// another owner, or a shared sticky one such as /tmp, keeps what it has, and
// so does whatever a symbolic link that somebody else made points to.
bool PrepareFolder(const std::string& path, uint32_t sharedMode, const FileSharing& s,
                   std::string* error);
// The same for an existing file of ours; a missing one is no error.
bool PrepareFile(const std::string& path, uint32_t sharedMode, const FileSharing& s,
                 std::string* error);

// The root folder, the registry file and its write-ahead log and shared
// memory (each created empty with its final mode when missing, so there is
// never a moment with the umask's, and members never need to create them).
// As root, a registry file another user made (an older layout let members
// create them) is taken over: only a regular file with no other link.
// Never closes an ordinary descriptor of a registry file, so the registry
// connections this process holds keep their locks.
bool PreparePlatformRoot(const std::string& root, const FileSharing& s, std::string* error);

// As root: false, with *why naming the entry, when the root folder or one of
// the entries the platform relies on (the registry's files, dev/, windows/)
// is a symbolic link or belongs to anybody but root. Not root: always true.
bool RootOwnsPlatformEntries(const std::string& root, const FileSharing& s, std::string* why);

// As root: false, with *why naming the path, when the path or a folder above
// it can be written by a user who is neither root nor in the group. Shared
// sticky folders (/tmp) above are fine as long as what lies in them is
// trusted. Not root: always true.
bool OnlyTrustedWriters(const std::string& path, const FileSharing& s, std::string* why);

// The device module as root: a regular file owned by root that only root can
// write, lying directly in one of the folders, on a path of folders that
// only root can change (so the file cannot be swapped after the check).
// Returns the module's real path, or an empty string with *why.
std::string TrustedModulePath(const std::string& path, const std::vector<std::string>& folders,
                              std::string* why);

// Whether the peer of a connected Unix socket may use the devices: root,
// this process's own user, or (when shared) a member of the group. *uid
// gets the peer's user id.
bool PeerMayConnect(int fd, const FileSharing& s, uint32_t* uid);

}  // namespace orvex
