// Failures collected from many threads; only the first few are kept for the
// report, all are counted.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace orvex::test {

class Failures {
  public:
    void Add(const std::string& what) {
        std::lock_guard g(Lock_);
        ++Count_;
        if (First_.size() < 20)
            First_.push_back(what);
    }
    size_t Count() const {
        std::lock_guard g(Lock_);
        return Count_;
    }
    std::string Text() const {
        std::lock_guard g(Lock_);
        std::string all;
        for (const auto& f : First_)
            all += f + "\n";
        return all;
    }

  private:
    mutable std::mutex Lock_;
    size_t Count_ = 0;
    std::vector<std::string> First_;
};

}  // namespace orvex::test
