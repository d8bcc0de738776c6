// Which way the panel is wired: the four samples read as a pattern of
// "above or below the middle" bits, tried as they come and with the
// controller's axes exchanged.
#include <cstring>
#include <string>

#include "calibrator/calibrator.h"
#include "calibrator/text.h"

namespace orvex {

namespace {

constexpr const char* KnownPatterns[] = {"00101101", "10000111", "01111000", "11010010"};

}  // namespace

void BuildDirectionPattern(const CalibratorState& s, char pattern[9]) {
    for (int i = 1; i <= 4; ++i) {
        pattern[2 * (i - 1)] = s.SampleX[i] >= 512 ? '1' : '0';
        pattern[2 * (i - 1) + 1] = s.SampleY[i] >= 512 ? '1' : '0';
    }
    pattern[8] = '\0';
}

uint8_t MatchDirectionPattern(const char* pattern) {
    for (uint8_t m = 0; m < 4; ++m) {
        if (std::strncmp(pattern, KnownPatterns[m], 8) == 0)
            return m;
    }
    return 0xFF;
}

uint32_t CheckPanelDirection(CalibratorState& s) {
    char first[9], second[9];
    BuildDirectionPattern(s, first);
    uint8_t m = MatchDirectionPattern(first);
    if (m != 0xFF) {
        s.DirectionFlags = m;
        return 1;
    }
    for (int i = 1; i <= 4; ++i)
        std::swap(s.SampleX[i], s.SampleY[i]);
    BuildDirectionPattern(s, second);
    m = MatchDirectionPattern(second);
    if (m != 0xFF) {
        s.DirectionFlags = static_cast<uint8_t>(m + 4);
        return 1;
    }
    // wsprintfW with sixteen %c: the two patterns in turn.
    std::u16string message(text::DirectionWrong);
    int k = 0;
    for (size_t at = message.find(u"%c"); at != std::u16string::npos && k < 16;
         at = message.find(u"%c", at + 1), ++k) {
        const char c = k < 8 ? first[k] : second[k - 8];
        message.replace(at, 2, 1, static_cast<char16_t>(c));
    }
    s.MainWindow->MessageBox(message, text::CalibrationCaption);
    return 0;
}

}  // namespace orvex
