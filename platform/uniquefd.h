// An owned file descriptor: closed when its owner goes, moved, never copied.
#pragma once

namespace orvex {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : Fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& o) noexcept : Fd_(o.Release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o)
            Reset(o.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return Fd_; }
    bool Valid() const { return Fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    // Hands the descriptor over without closing it.
    int Release() {
        const int fd = Fd_;
        Fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes fd instead.
    void Reset(int fd = -1);

  private:
    int Fd_ = -1;
};

}  // namespace orvex
