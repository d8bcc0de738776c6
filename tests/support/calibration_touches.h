// One calibration as the simulated panel plays it on a 640 x 480 monitor:
// the four targets of a panel wired straight, then SAVE. On the calibration
// those targets give (X 17, 511, 1005; Y 19, 511, 1003), raw (377, 761)
// lands near (233, 362), the middle of the button. Each touch is held, and
// each lift lasts, long enough for a program slowed down by sanitizers on a
// busy machine. A script starts with a wait of its own before these lines.
#pragma once

namespace orvex::test {

inline constexpr const char* CalibrationTouches640x480 =
    "touch 40 50\nwait 700\nlift\nwait 700\n"
    "touch 980 52\nwait 700\nlift\nwait 700\n"
    "touch 982 970\nwait 700\nlift\nwait 700\n"
    "touch 42 972\nwait 700\nlift\nwait 1500\n"
    "touch 377 761\nwait 700\nlift\nwait 400\n";

}  // namespace orvex::test
