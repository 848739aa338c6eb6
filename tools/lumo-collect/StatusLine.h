// The live status line and the closing summary, as texts.
#ifndef LUMO_COLLECT_STATUSLINE_H
#define LUMO_COLLECT_STATUSLINE_H

#include "Controller.h"

#include <string>

namespace lumo_collect {

// "connections 2 | devices 3 (2 done) | measurements 12 | samples 48000 | 4.1 kS/s | 12 s"
std::string formatStatusLine(const Stats &stats, double elapsedSeconds);
// Samples per second in a short human form: "950 S/s", "4.1 kS/s", "1.20 MS/s".
std::string formatRate(double samplesPerSecond);

} // namespace lumo_collect

#endif
