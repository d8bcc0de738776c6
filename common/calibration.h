// The rules by which the driver loads its calibration from its registry key.
// The driver follows them at its start; the calibration program follows the
// very same code when it must guess what the driver would load (its driver
// did not answer), so that going back restores exactly that.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvex {

// X1, X2, X3, Y1, Y2, Y3: the registry's value order, and the order the
// points are read in.
using CalibrationPoints = std::array<uint16_t, 6>;

inline constexpr const char16_t* CalibrationValueNames[6] = {u"CalibrationX1", u"CalibrationX2",
                                                             u"CalibrationX3", u"CalibrationY1",
                                                             u"CalibrationY2", u"CalibrationY3"};

// The driver's start values, and what replaces a calibration with a zero
// span.
inline constexpr CalibrationPoints StartCalibration{0, 511, 1023, 0, 511, 1023};
// What a key that lacks any of the six values gives. The middle points are
// 512 here, not the 511 of the start values.
inline constexpr CalibrationPoints MissingCalibration{0, 512, 1023, 0, 512, 1023};

// The span from one point to the next, as the driver divides by it: the
// difference plus one in 32 bits, then the low 16 bits. Points in reverse
// order give large spans, which are accepted; a point one below the point
// before it gives 0.
constexpr uint16_t CalibrationSpan(uint16_t low, uint16_t high) {
    return static_cast<uint16_t>(uint32_t{high} - uint32_t{low} + 1u);
}

constexpr bool HasZeroSpan(const CalibrationPoints& p) {
    return CalibrationSpan(p[0], p[1]) == 0 || CalibrationSpan(p[1], p[2]) == 0 ||
           CalibrationSpan(p[3], p[4]) == 0 || CalibrationSpan(p[4], p[5]) == 0;
}

// The six values as read, all or nothing: read(i, &value) queries value i
// and returns false when it cannot be read. Reading stops at the first
// failure, which gives MissingCalibration; each point is its value's low 16
// bits.
template <class ReadValue>
CalibrationPoints ReadCalibrationPoints(ReadValue&& read) {
    CalibrationPoints p{};
    for (size_t i = 0; i < p.size(); ++i) {
        uint32_t value = 0;
        if (!read(i, &value))
            return MissingCalibration;
        p[i] = static_cast<uint16_t>(value);
    }
    return p;
}

// What the driver is left with after its start: the points read, or the
// start values when one of their spans is zero.
template <class ReadValue>
CalibrationPoints LoadCalibrationPoints(ReadValue&& read) {
    const CalibrationPoints p = ReadCalibrationPoints(read);
    return HasZeroSpan(p) ? StartCalibration : p;
}

}  // namespace orvex
