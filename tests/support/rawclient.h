// Misbehaving programs for robustness tests: requests that no device client
// would send, programs that hang up in the middle of a call, and a look at a
// process's resident memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace orvex::test {

enum class Abuse {
    Garbage,         // random bytes
    Truncated,       // a header that promises more payload than follows
    SizeAboveLimit,  // a header whose buffer size is beyond the protocol's limit
    PacketTooLarge,  // a packet larger than any request can be
    ZeroLength,      // an empty packet
    HangUpMidCall,   // a well-formed request, then gone before the reply
};
inline constexpr Abuse AllAbuses[] = {Abuse::Garbage,        Abuse::Truncated,
                                      Abuse::SizeAboveLimit, Abuse::PacketTooLarge,
                                      Abuse::ZeroLength,     Abuse::HangUpMidCall};
const char* AbuseName(Abuse a);

// The packet a misbehaving program sends (empty for ZeroLength).
std::vector<uint8_t> AbusePacket(Abuse a, std::mt19937& random);

enum class AbuseOutcome {
    NoHello,     // the host did not greet the connection as an open handle
    SendFailed,  // the packet could not be sent
    Closed,      // the host closed the connection, as it must for a bad request
    NotClosed,   // the host answered or kept the connection open
    HungUp,      // HangUpMidCall: the program left; nothing to check on this side
};

// Connects to the device socket, sends the abuse and reports what happened.
AbuseOutcome Commit(const std::string& socketPath, Abuse a, std::mt19937& random);

// VmRSS of a process in KiB, from /proc/<pid>/status.
std::optional<uint64_t> ResidentKiB(pid_t pid);

}  // namespace orvex::test
