// A fresh platform root in a temporary directory for one test, removed with
// everything in it when the object goes away.
#pragma once

#include <string>

namespace orvex::test {

class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& Path() const { return Path_; }
    // A file below the root.
    std::string File(const std::string& name) const { return Path_ + "/" + name; }

  private:
    std::string Path_;
};

}  // namespace orvex::test
