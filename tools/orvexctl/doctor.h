// orvexctl doctor: one short screen on whether touches can reach the
// pointer, for the person setting up a kiosk. Each line is one fact; each
// problem is a line "problem: WHAT; fix: COMMAND". Exit status 0 when it
// found no problem, 1 when it found one.
#pragma once

#include <string>

namespace orvex {

int Doctor(const std::string& root, const std::string& device);

}  // namespace orvex
