#include "rawclient.h"

#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "common/orvex.h"
#include "devhost_fixture.h"
#include "device/wire.h"

namespace orvex::test {

namespace {

std::vector<uint8_t> Header(uint8_t op, uint8_t flags, uint32_t code, uint32_t inSize,
                            uint32_t outSize) {
    std::vector<uint8_t> p(devwire::RequestHeaderSize, 0);
    p[0] = op;
    p[1] = flags;
    PutU32(p, 4, code);
    PutU32(p, 12, inSize);
    PutU32(p, 16, outSize);
    return p;
}

constexpr uint8_t OneBuffer = devwire::FlagIn | devwire::FlagOut | devwire::FlagAliased;

}  // namespace

const char* AbuseName(Abuse a) {
    switch (a) {
        case Abuse::Garbage:
            return "garbage";
        case Abuse::Truncated:
            return "truncated";
        case Abuse::SizeAboveLimit:
            return "size above the limit";
        case Abuse::PacketTooLarge:
            return "packet too large";
        case Abuse::ZeroLength:
            return "zero length";
        case Abuse::HangUpMidCall:
            return "hang-up mid-call";
    }
    return "?";
}

std::vector<uint8_t> AbusePacket(Abuse a, std::mt19937& random) {
    const uint32_t settings = IOCTL_ORX_GET_SETTINGS;
    switch (a) {
        case Abuse::Garbage: {
            std::vector<uint8_t> p(1 + random() % 200);
            for (auto& b : p)
                b = static_cast<uint8_t>(random());
            // An operation byte no request has: random bytes that happened to
            // spell a well-formed request would be answered, not refused.
            p[0] = static_cast<uint8_t>(5 + random() % 250);
            return p;
        }
        case Abuse::Truncated: {
            auto p = Header(1, OneBuffer, settings, TouchSettings::Size, TouchSettings::Size);
            p.resize(p.size() + random() % TouchSettings::Size);  // always short of 82
            return p;
        }
        case Abuse::SizeAboveLimit: {
            auto p = Header(1, devwire::FlagOut, IOCTL_ORX_GET_RAW_POINT, 0,
                            devwire::MaxBuffer + 1 + random() % 1000);
            p.resize(p.size() + 64);
            return p;
        }
        case Abuse::PacketTooLarge: {
            auto p = Header(1, devwire::FlagIn | devwire::FlagOut, IOCTL_ORX_GET_SETTINGS,
                            devwire::MaxBuffer, devwire::MaxBuffer);
            p.resize(devwire::MaxRequestSize + 1 + random() % 4096, 0xA5);
            return p;
        }
        case Abuse::ZeroLength:
            return {};
        case Abuse::HangUpMidCall: {
            auto p = Header(1, OneBuffer, settings, TouchSettings::Size, TouchSettings::Size);
            p.resize(p.size() + TouchSettings::Size);
            return p;
        }
    }
    return {};
}

AbuseOutcome Commit(const std::string& socketPath, Abuse a, std::mt19937& random) {
    RawConnection c = ConnectRaw(socketPath);
    if (!c.Hello || *c.Hello != 0)
        return AbuseOutcome::NoHello;
    const auto packet = AbusePacket(a, random);
    // SendPacket reports an empty packet as sent only when all 0 bytes went.
    if (!devwire::SendPacket(c.Fd.Get(), packet))
        return AbuseOutcome::SendFailed;
    if (a == Abuse::HangUpMidCall)
        return AbuseOutcome::HungUp;  // closed here, with the reply still to come
    return ClosedByHost(c.Fd.Get()) ? AbuseOutcome::Closed : AbuseOutcome::NotClosed;
}

std::optional<uint64_t> ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            std::istringstream fields(line.substr(6));
            uint64_t kib = 0;
            if (fields >> kib)
                return kib;
        }
    }
    return std::nullopt;
}

}  // namespace orvex::test
