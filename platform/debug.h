// Debug output: the driver's NKDbgPrintfW. One call is one line of text,
// written exactly as given (the caller supplies its own "\r\n").
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvex {

class DebugOutput {
  public:
    virtual ~DebugOutput() = default;
    virtual void Print(std::string_view text) = 0;
};

// The host's standard error.
class StderrDebugOutput final : public DebugOutput {
  public:
    void Print(std::string_view text) override;
};

// Test double: keeps every line.
class CaptureDebugOutput final : public DebugOutput {
  public:
    void Print(std::string_view text) override;
    std::vector<std::string> Lines() const;
    void Clear();

  private:
    mutable std::mutex Lock_;
    std::vector<std::string> Lines_;
};

}  // namespace orvex
