// One running copy of a program per platform root: a lock on a file in the
// root's windows/ folder, where root and every member of the group may make
// entries. The kernel drops the lock when the process ends, however it
// ends, so the file left behind never blocks the next run.
#pragma once

#include <string>

#include "platform/uniquefd.h"

namespace orvex {

class InstanceLock {
  public:
    enum class Outcome : uint8_t {
        Taken,     // this process holds it until the object goes
        Held,      // another running process holds it
        Unusable,  // the file cannot be made or opened (Why() says why; empty
                   // when the root has no windows/ folder at all)
    };

    // name: the lock file's name in <root>/windows.
    static InstanceLock Take(const std::string& root, const std::string& name);

    Outcome Result() const { return Result_; }
    const std::string& Path() const { return Path_; }
    const std::string& Why() const { return Why_; }

  private:
    Outcome Result_ = Outcome::Unusable;
    UniqueFd Fd_;
    std::string Path_, Why_;
};

}  // namespace orvex
