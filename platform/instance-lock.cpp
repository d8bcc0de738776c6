#include "platform/instance-lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/access.h"
#include "platform/window-messages.h"

namespace orvex {

InstanceLock InstanceLock::Take(const std::string& root, const std::string& name) {
    InstanceLock l;
    const std::string folderPath = WindowFolderPath(root);
    l.Path_ = folderPath + "/" + name;
    auto fail = [&l](int err, const std::string& why) {
        l.Why_ = why + ": " + std::strerror(err);
        return std::move(l);
    };
    // Step by step and never through a link: a member may have made any
    // entry of windows/.
    UniqueFd folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        // No host has served this root yet: there is nothing to calibrate.
        const int err = errno;
        if (err == ENOENT)
            return l;
        return fail(err, "cannot open " + folderPath);
    }
    // Read access is all flock needs, and every member can read a lock file
    // another user made. O_NONBLOCK: a FIFO put there must not hang us.
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd;
    for (int attempt = 0; attempt < 3 && !fd; ++attempt) {
        fd.Reset(::openat(folder.Get(), name.c_str(), flags));
        if (fd || errno != ENOENT)
            break;
        // Created only when missing: opening another user's file with
        // O_CREAT in a sticky folder is refused where fs.protected_regular
        // says so, even for root.
        const mode_t mode = EffectiveMode(0640, CurrentFileSharing(root));
        fd.Reset(::openat(folder.Get(), name.c_str(), flags | O_CREAT | O_EXCL, mode));
        if (fd) {
            (void)::fchmod(fd.Get(), mode);  // the umask does not decide who may read it
            break;
        }
        if (errno != EEXIST)
            break;
    }
    if (!fd) {
        const int err = errno;
        return fail(err, "cannot open " + l.Path_);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        l.Why_ = l.Path_ + " is not a regular file";
        return l;
    }
    int rc;
    do {
        rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK)
            return fail(err, "cannot lock " + l.Path_);
        l.Result_ = Outcome::Held;
        return l;
    }
    l.Result_ = Outcome::Taken;
    l.Fd_ = std::move(fd);
    return l;
}

}  // namespace orvex
