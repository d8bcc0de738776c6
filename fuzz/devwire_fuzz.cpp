// Feeds arbitrary packets to the three decoders of the device socket (request,
// reply, hello) as the host and the client would receive them. Whatever a
// decoder accepts must say exactly what the packet says: encoding the decoded
// message again has to give back the same bytes, and its buffer views must lie
// inside the packet. The same bytes also drive the encoder with every valid
// combination of buffers, whose packets the host must accept unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/orvex.h"
#include "device/wire.h"

namespace {

namespace dw = orvex::devwire;

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

bool Inside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
    if (part.empty())
        return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

bool Equal(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Copies a view into storage of its own, one byte longer so that even an
// empty buffer has a non-null address (null means "absent" to the encoder)
// and two buffers never share an address by accident (that means "aliased").
std::vector<uint8_t> Own(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> v(bytes.begin(), bytes.end());
    v.push_back(0);
    return v;
}

void CheckRequest(std::span<const uint8_t> packet) {
    const std::optional<dw::Request> r = dw::ParseRequest(packet);
    if (!r)
        return;
    Check(packet.size() >= dw::RequestHeaderSize && packet.size() <= dw::MaxRequestSize);
    Check(r->InSize <= dw::MaxBuffer && r->OutSize <= dw::MaxBuffer);
    Check(Inside(r->In, packet) && Inside(r->Out, packet));
    const bool aliased = r->Has(dw::FlagAliased);
    if (aliased) {
        Check(r->Has(dw::FlagIn) && r->Has(dw::FlagOut));
        Check(r->In.empty() && r->Out.size() == r->AliasedSize());
    } else {
        Check(r->In.size() == (r->Has(dw::FlagIn) ? r->InSize : 0));
        Check(r->Out.size() == (r->Has(dw::FlagOut) ? r->OutSize : 0));
    }
    Check(r->Has(dw::FlagReturned) || r->Returned == 0);

    std::vector<uint8_t> in = Own(aliased ? r->Out : r->In);
    std::vector<uint8_t> out = Own(r->Out);
    const uint8_t* inPtr = r->Has(dw::FlagIn) ? in.data() : nullptr;
    const uint8_t* outPtr = r->Has(dw::FlagOut) ? (aliased ? inPtr : out.data()) : nullptr;
    const uint32_t returned = r->Returned;
    const std::vector<uint8_t> again =
        dw::EncodeRequest(r->What, r->Code, r->Arg, inPtr, r->InSize, outPtr, r->OutSize,
                          r->Has(dw::FlagReturned) ? &returned : nullptr);
    Check(Equal(again, packet));
}

void CheckReply(std::span<const uint8_t> packet, uint32_t expectedOut) {
    const std::optional<dw::Reply> r = dw::ParseReply(packet, expectedOut);
    if (!r)
        return;
    Check(packet.size() == dw::ReplyHeaderSize + size_t{expectedOut});
    Check(r->Out.size() == expectedOut && Inside(r->Out, packet));
    Check(Equal(dw::EncodeReply(r->Result, r->LastError, r->Returned, r->Out), packet));
}

void CheckHello(std::span<const uint8_t> packet) {
    const std::optional<uint32_t> error = dw::ParseHello(packet);
    if (!error)
        return;
    const auto again = dw::EncodeHello(*error);
    Check(Equal(again, packet));
}

// The client side: a request built from the input's choices, for each
// operation with only the buffers its entry point takes, must reach the host
// intact.
void CheckEncoded(std::span<const uint8_t> data) {
    if (data.size() < 16)
        return;
    const uint8_t choice = data[0];
    const uint32_t code = orvex::GetU32(data, 1);
    const uint32_t arg = orvex::GetU32(data, 5);
    const uint32_t returnedValue = orvex::GetU32(data, 9);
    const std::span<const uint8_t> rest = data.subspan(13);
    // Sizes up to the rest of the input, so the buffers read only real bytes.
    const uint32_t inSize = static_cast<uint32_t>(std::min<size_t>(data[13], rest.size()));
    const uint32_t outSize = static_cast<uint32_t>(std::min<size_t>(data[14], rest.size()));
    std::vector<uint8_t> in(rest.begin(), rest.begin() + inSize);
    std::vector<uint8_t> out(rest.end() - outSize, rest.end());
    in.push_back(0);
    out.push_back(0);

    const bool hasIn = (choice & 0x04) != 0;
    const bool hasOut = (choice & 0x08) != 0;
    const bool alias = (choice & 0x10) != 0;
    dw::Op op = static_cast<dw::Op>((choice & 0x03) + 1);
    // Only IoControl takes a byte-count pointer; Read, Write and Seek return
    // their count as the result.
    const bool hasReturned = (choice & 0x20) != 0 && op == dw::Op::IoControl;
    const uint32_t* returned = hasReturned ? &returnedValue : nullptr;

    std::vector<uint8_t> packet;
    const uint8_t* inPtr = nullptr;
    const uint8_t* outPtr = nullptr;
    uint32_t expectCode = code, expectArg = arg, expectIn = inSize, expectOut = outSize;
    switch (op) {
        case dw::Op::IoControl:
            inPtr = hasIn ? in.data() : nullptr;
            outPtr = hasOut ? out.data() : nullptr;
            if (alias && hasIn && hasOut) {
                // One buffer as long as the larger size stands for both.
                in.resize(std::max(inSize, outSize) + 1);
                inPtr = outPtr = in.data();
            }
            break;
        case dw::Op::Read:
            expectCode = expectArg = expectIn = 0;
            outPtr = hasOut ? out.data() : nullptr;
            break;
        case dw::Op::Write:
            expectCode = expectArg = expectOut = 0;
            inPtr = hasIn ? in.data() : nullptr;
            break;
        case dw::Op::Seek:
            expectIn = expectOut = 0;
            break;
    }
    packet =
        dw::EncodeRequest(op, expectCode, expectArg, inPtr, expectIn, outPtr, expectOut, returned);
    const std::optional<dw::Request> r = dw::ParseRequest(packet);
    Check(r.has_value());
    Check(r->What == op && r->Code == expectCode && r->Arg == expectArg);
    Check(r->InSize == expectIn && r->OutSize == expectOut);
    Check(r->Returned == (hasReturned ? returnedValue : 0));
    Check(r->Has(dw::FlagIn) == (inPtr != nullptr) && r->Has(dw::FlagOut) == (outPtr != nullptr));
    if (inPtr != nullptr && inPtr == outPtr) {
        Check(r->Has(dw::FlagAliased));
        Check(Equal(r->Out, std::span<const uint8_t>(inPtr, r->AliasedSize())));
    } else {
        Check(!r->Has(dw::FlagAliased));
        if (inPtr != nullptr)
            Check(Equal(r->In, std::span<const uint8_t>(inPtr, expectIn)));
        if (outPtr != nullptr)
            Check(Equal(r->Out, std::span<const uint8_t>(outPtr, expectOut)));
    }

    // And the reply the host sends back for it.
    const std::span<const uint8_t> replyOut(out.data(), outPtr != nullptr ? expectOut : 0);
    const auto reply = dw::EncodeReply(code, arg, returnedValue, replyOut);
    const auto back = dw::ParseReply(reply, static_cast<uint32_t>(replyOut.size()));
    Check(back.has_value());
    Check(back->Result == code && back->LastError == arg && back->Returned == returnedValue);
    Check(Equal(back->Out, replyOut));
    // A reply with one byte more or less than asked for is refused.
    Check(!dw::ParseReply(reply, static_cast<uint32_t>(replyOut.size()) + 1));
    if (!replyOut.empty())
        Check(!dw::ParseReply(reply, static_cast<uint32_t>(replyOut.size()) - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> packet(data, size);
    CheckRequest(packet);
    CheckHello(packet);
    // The size the reply claims for itself, and one a request may have asked
    // for instead.
    if (size >= dw::ReplyHeaderSize)
        CheckReply(packet, orvex::GetU32(packet, 12));
    CheckReply(packet, static_cast<uint32_t>(
                           size >= dw::ReplyHeaderSize ? size - dw::ReplyHeaderSize : size));
    CheckEncoded(packet);
    return 0;
}
