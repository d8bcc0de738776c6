// Capturing text that code writes to a file descriptor.
#pragma once

#include <string>

namespace orvex::test {

// A pipe whose write end is handed to the code under test.
class PipeCapture {
  public:
    PipeCapture();
    ~PipeCapture();
    PipeCapture(const PipeCapture&) = delete;
    PipeCapture& operator=(const PipeCapture&) = delete;

    int Fd() const { return Write_; }
    // Closes the write end and returns everything written to it. Writers must
    // be done; the pipe holds 64 KiB before they would block.
    std::string Text();

  private:
    int Read_ = -1, Write_ = -1;
};

// Points standard output or error (target 1 or 2) at a pipe until Text() or
// destruction puts it back.
class StdRedirect {
  public:
    explicit StdRedirect(int target);
    ~StdRedirect();
    StdRedirect(const StdRedirect&) = delete;
    StdRedirect& operator=(const StdRedirect&) = delete;

    std::string Text();

  private:
    void Restore();
    int Target_, Read_ = -1, Saved_ = -1;
};

}  // namespace orvex::test
