// A pseudo-terminal pair for tests of the termios serial ports: the test
// plays the far end on the master; the port under test opens the slave, found
// through the registry mapping of "COM<n>:" in a temporary platform root.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/serial.h"
#include "temp_root.h"

namespace orvex::test {

class PtyPair {
  public:
    PtyPair();  // throws std::runtime_error when no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return SlavePath_; }
    int Master() const { return Master_; }
    void Write(const std::vector<uint8_t>& bytes);
    // Reads what the slave side wrote, until count bytes came or the time
    // limit ran out.
    std::vector<uint8_t> Read(size_t count,
                              std::chrono::milliseconds limit = std::chrono::seconds(5));
    // The termios the master sees (the pair's, as the slave side set it).
    termios MasterTermios() const;
    void CloseMaster();

  private:
    int Master_ = -1;
    std::string SlavePath_;
};

// A temporary registry with COM<n> mapped to a pty slave, and the termios
// ports that read it.
class PtySerialSetup {
  public:
    PtySerialSetup();
    // Writes the REG_SZ value COM<n> of Platform\Serial.
    void Map(int port, const std::string& path);
    SerialPorts& Ports() { return *Ports_; }
    PtyPair& Pty() { return Pty_; }
    // Opens COM1:, mapped to the pty slave by the constructor.
    std::unique_ptr<SerialPort> OpenPort();

  private:
    TempRoot Root_;
    std::unique_ptr<Registry> Reg_;
    PtyPair Pty_;
    std::unique_ptr<SerialPorts> Ports_;
};

}  // namespace orvex::test
