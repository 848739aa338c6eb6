#include "StatusLine.h"

#include <cstdio>

namespace lumo_collect {

namespace {
constexpr double kKilo = 1e3;
constexpr double kMega = 1e6;
} // namespace

std::string formatRate(double samplesPerSecond)
{
    char text[32];
    if (samplesPerSecond >= kMega)
        std::snprintf(text, sizeof text, "%.2f MS/s", samplesPerSecond / kMega);
    else if (samplesPerSecond >= kKilo)
        std::snprintf(text, sizeof text, "%.1f kS/s", samplesPerSecond / kKilo);
    else
        std::snprintf(text, sizeof text, "%.0f S/s", samplesPerSecond);
    return text;
}

std::string formatStatusLine(const Stats &stats, double elapsedSeconds)
{
    const double rate =
        elapsedSeconds > 0 ? static_cast<double>(stats.samples) / elapsedSeconds : 0;
    std::string line = "connections " + std::to_string(stats.liveConnections) + " | devices " +
                       std::to_string(stats.devicesSeen) + " (" +
                       std::to_string(stats.devicesDone) + " done) | measurements " +
                       std::to_string(stats.measurements) + " | samples " +
                       std::to_string(stats.samples) + " | " + formatRate(rate) + " | " +
                       std::to_string(static_cast<long>(elapsedSeconds)) + " s";
    if (stats.refused)
        line += " | refused " + std::to_string(stats.refused);
    if (stats.repeats)
        line += " | repeats " + std::to_string(stats.repeats);
    if (stats.storageDown)
        line += " | STORAGE DOWN, transfers paused";
    if (stats.storageErrors)
        line += " | STORAGE ERRORS " + std::to_string(stats.storageErrors);
    return line;
}

} // namespace lumo_collect
