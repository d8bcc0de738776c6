#include "platform/access.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/uniquefd.h"

namespace orvex {

namespace {

std::string Why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string Octal(uint32_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// Sets mode and owners on something of ours, by descriptor, so a name
// swapped meanwhile changes nothing. The descriptor may be an O_PATH one,
// which fchmod refuses; its /proc name reaches the same inode.
bool Apply(int fd, const std::string& path, uint32_t sharedMode, const FileSharing& s,
           std::string* error) {
    // What is already right is left alone: the service may not set a
    // set-group-id bit at all (RestrictSUIDSGID), not even one in place.
    const mode_t mode = EffectiveMode(sharedMode, s);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode &&
        (!(s.AsRoot && s.WithGroup) || (st.st_uid == 0 && st.st_gid == s.Group)))
        return true;
    if (s.AsRoot && s.WithGroup && ::fchownat(fd, "", 0, s.Group, AT_EMPTY_PATH) != 0) {
        *error = Why("cannot give " + path + " to root and its group");
        return false;
    }
    // After the owners: a change of owner may clear the set-group-id bit.
    if (::fchmod(fd, mode) != 0) {
        const std::string byProc = "/proc/self/fd/" + std::to_string(fd);
        if (errno != EBADF || ::chmod(byProc.c_str(), mode) != 0) {
            *error = Why("cannot set the mode of " + path);
            return false;
        }
    }
    return true;
}

// Leaves alone what belongs to someone else and shared sticky folders.
bool OursToChange(const struct stat& st) {
    if (st.st_uid != ::geteuid())
        return false;
    return !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && (st.st_mode & S_IWOTH));
}

bool MakeParents(const std::filesystem::path& path, std::string* error) {
    std::filesystem::path at;
    for (const auto& part : path) {
        at /= part;
        if (::mkdir(at.c_str(), 0755) == 0) {
            (void)::chmod(at.c_str(), 0755);  // whatever the umask took away
        } else if (errno != EEXIST) {
            *error = Why("cannot create " + at.string());
            return false;
        }
    }
    return true;
}

bool IsMember(uid_t uid, gid_t group) {
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    if (pw.pw_gid == group)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

bool TrustedUser(uid_t uid, const FileSharing& s) {
    return uid == 0 || (s.WithGroup && IsMember(uid, s.Group));
}

// Who besides root and the group could write this entry, or nothing.
std::string UntrustedWriter(const struct stat& st, const FileSharing& s, bool mayBeSharedSticky) {
    if (!TrustedUser(st.st_uid, s))
        return "it belongs to uid " + std::to_string(st.st_uid);
    if ((st.st_mode & S_IWGRP) && st.st_gid != 0 && !(s.WithGroup && st.st_gid == s.Group))
        return "its group " + std::to_string(st.st_gid) + " can write it";
    if (st.st_mode & S_IWOTH) {
        const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
        if (!(sticky && mayBeSharedSticky))
            return "every user can write it (mode " + Octal(st.st_mode) + ")";
    }
    return {};
}

}  // namespace

FileSharing CurrentFileSharing(const std::string& root, const std::string& group) {
    FileSharing s;
    s.AsRoot = ::geteuid() == 0;
    if (!s.AsRoot) {
        struct stat st {};
        // Root's layout: set-group-id and open to the group (writable only
        // in layouts before members were kept from changing the root).
        if (::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISGID) &&
            (st.st_mode & S_IXGRP)) {
            s.WithGroup = true;
            s.Group = st.st_gid;
        }
        return s;
    }
    std::vector<char> buffer(16384);
    ::group gr{};
    ::group* found = nullptr;
    if (::getgrnam_r(group.c_str(), &gr, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        s.WithGroup = true;
        s.Group = gr.gr_gid;
    }
    return s;
}

uint32_t EffectiveMode(uint32_t sharedMode, const FileSharing& s) {
    return s.WithGroup ? sharedMode : (sharedMode & 01700);
}

bool PrepareFolder(const std::string& path, uint32_t sharedMode, const FileSharing& s,
                   std::string* error) {
    const std::filesystem::path p(path);
    // Made with its final mode but the set-id bits, which a set-group-id
    // folder above passes on by itself: where the set-group-id bit may not be
    // set (the service), a new folder then needs no change of mode at all.
    const mode_t initial = EffectiveMode(sharedMode, s) & 01777;
    if (::mkdir(path.c_str(), initial) != 0) {
        if (errno == ENOENT) {
            if (!MakeParents(p.parent_path(), error))
                return false;
            if (::mkdir(path.c_str(), initial) != 0 && errno != EEXIST) {
                *error = Why("cannot create " + path);
                return false;
            }
        } else if (errno != EEXIST) {
            *error = Why("cannot create " + path);
            return false;
        }
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // With O_DIRECTORY, a link as the last component fails with ENOTDIR.
    if (!fd && (errno == ELOOP || errno == ENOTDIR)) {
        // A link of our own (a root kept elsewhere) leads to the folder; one
        // that somebody else made is not ours to follow, and its target is
        // left as it is.
        struct stat link {};
        if (::lstat(path.c_str(), &link) != 0 || link.st_uid != ::geteuid())
            return true;
        fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd) {
        *error = Why("cannot open the folder " + path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        *error = Why("cannot look at " + path);
        return false;
    }
    if (!OursToChange(st))
        return true;
    return Apply(fd.Get(), path, sharedMode, s, error);
}

bool PrepareFile(const std::string& path, uint32_t sharedMode, const FileSharing& s,
                 std::string* error) {
    // Only an O_PATH descriptor: closing any other descriptor of a file drops
    // every POSIX lock this process holds on it, and the registry's files
    // are locked by each open connection of this process. A connection that
    // has silently lost its locks lets another process take itself for the
    // last user and remove the journal under it: later commits then go into
    // a file nobody else sees.
    UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || !OursToChange(st))
        return true;  // a link, or something else that is not ours to change
    return Apply(fd.Get(), path, sharedMode, s, error);
}

namespace {

// A registry file left by another user, made root's and the group's. A file
// with a second link could be any file of the system; it stays as it is and
// the host refuses it.
bool TakeOver(const std::string& path, const FileSharing& s, std::string* error) {
    UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return true;
        *error = Why("cannot look at " + path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid == 0 || st.st_nlink != 1)
        return true;
    return Apply(fd.Get(), path, RegistryFileMode, s, error);
}

}  // namespace

bool PreparePlatformRoot(const std::string& root, const FileSharing& s, std::string* error) {
    if (!PrepareFolder(root, RootFolderMode, s, error))
        return false;
    // The database and the two files SQLite keeps beside it in WAL mode;
    // a rollback journal is only ever made by SQLite itself.
    for (size_t i = 0; i < 3; ++i) {
        const std::string path = root + "/" + RegistryFiles[i];
        // A descriptor of a file that did not exist: no connection has it
        // locked, so closing it is harmless.
        UniqueFd created(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (created) {
            if (!Apply(created.Get(), path, RegistryFileMode, s, error))
                return false;
        } else if (errno != EEXIST) {
            *error = Why("cannot create " + path);
            return false;
        }
    }
    for (const char* name : RegistryFiles) {
        const std::string path = root + "/" + name;
        if (s.AsRoot && !TakeOver(path, s, error))
            return false;
        if (!PrepareFile(path, RegistryFileMode, s, error))
            return false;
    }
    return true;
}

bool RootOwnsPlatformEntries(const std::string& root, const FileSharing& s, std::string* why) {
    if (!s.AsRoot)
        return true;
    std::vector<std::string> entries{root, root + "/dev", root + "/windows"};
    for (const char* name : RegistryFiles)
        entries.push_back(root + "/" + name);
    for (const std::string& path : entries) {
        // The root itself may be reached through a link: OnlyTrustedWriters
        // judges the links on the way to it.
        struct stat st {};
        if ((path == root ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
            if (errno == ENOENT && path != root)
                continue;
            *why = Why(path);
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            *why = path + " is a symbolic link";
            return false;
        }
        if (st.st_uid != 0) {
            *why = path + ": it belongs to uid " + std::to_string(st.st_uid) + ", not root";
            return false;
        }
    }
    return true;
}

bool OnlyTrustedWriters(const std::string& path, const FileSharing& s, std::string* why) {
    if (!s.AsRoot)
        return true;
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    if (ec) {
        *why = path + ": " + ec.message();
        return false;
    }
    // A link on the way is only as safe as whoever could have placed it.
    std::filesystem::path at;
    for (const auto& part : absolute) {
        at /= part;
        struct stat st {};
        if (::lstat(at.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !TrustedUser(st.st_uid, s)) {
            *why = at.string() + " is a link that uid " + std::to_string(st.st_uid) + " made";
            return false;
        }
    }
    const auto real = std::filesystem::weakly_canonical(absolute, ec);
    if (ec) {
        *why = path + ": " + ec.message();
        return false;
    }
    // The entry itself and the folder that holds it are never shared sticky
    // folders: anybody could then put files beside it.
    int level = 0;
    for (auto at = real;; at = at.parent_path(), ++level) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) == 0) {
            const std::string who = UntrustedWriter(st, s, level >= 2);
            if (!who.empty()) {
                *why = at.string() + ": " + who;
                return false;
            }
        } else if (errno != ENOENT || level > 0) {
            *why = Why(at.string());
            return false;
        }
        if (at == at.root_path() || at.parent_path() == at)
            break;
    }
    return true;
}

std::string TrustedModulePath(const std::string& path, const std::vector<std::string>& folders,
                              std::string* why) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        *why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return {};
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        *why = std::strerror(errno);
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "it is not a regular file";
        return {};
    }
    if (st.st_uid != 0) {
        *why = "it belongs to uid " + std::to_string(st.st_uid) + ", not root";
        return {};
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = "users other than root can write it (mode " + Octal(st.st_mode) + ")";
        return {};
    }
    // Where the open file really lies, whatever links led there.
    std::error_code ec;
    const auto real =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd.Get()), ec);
    if (ec) {
        *why = "cannot tell where it lies: " + ec.message();
        return {};
    }
    const bool inFolder = std::any_of(folders.begin(), folders.end(), [&](const std::string& f) {
        std::error_code fec;
        const auto folder = std::filesystem::canonical(f, fec);
        return !fec && real.parent_path() == folder;
    });
    if (!inFolder) {
        *why = "it lies outside the driver module folders";
        return {};
    }
    // Nobody but root may be able to put another file in its place before
    // it is loaded: every folder on the way is root's alone (a shared
    // sticky folder only keeps others from what lies in it), the rule for
    // trusted writers with no group trusted.
    for (auto at = real.parent_path();; at = at.parent_path()) {
        struct stat dir {};
        if (::lstat(at.c_str(), &dir) != 0) {
            *why = Why(at.string());
            return {};
        }
        if (!UntrustedWriter(dir, FileSharing{}, at != real.parent_path()).empty()) {
            *why = "users other than root can change the folder " + at.string();
            return {};
        }
        if (at == at.root_path() || at.parent_path() == at)
            break;
    }
    return real.string();
}

bool PeerMayConnect(int fd, const FileSharing& s, uint32_t* uid) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return false;
    *uid = cred.uid;
    if (cred.uid == 0 || cred.uid == ::geteuid())
        return true;
    if (!s.WithGroup)
        return false;
    if (cred.gid == s.Group)
        return true;
    // The peer's supplementary groups as they were when it connected.
    std::vector<gid_t> groups(64);
    size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0) {
        if (errno != ERANGE)
            return false;
        groups.resize(size / sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) != 0)
            return false;
    }
    groups.resize(size / sizeof(gid_t));
    return std::find(groups.begin(), groups.end(), s.Group) != groups.end();
}

}  // namespace orvex
