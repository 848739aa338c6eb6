// One measurement as an SVG picture: the samples as a polyline over sample index, with
// axes, ticks, labels and a title naming the device and the measurement time.
#ifndef LUMO_COLLECT_PLOT_H
#define LUMO_COLLECT_PLOT_H

#include "MeasurementRecord.h"

#include <string>
#include <vector>

namespace lumo_collect {

// Round tick positions covering [lo, hi], about `target` of them (steps of 1, 2 or 5
// times a power of ten).
std::vector<double> niceTicks(double lo, double hi, int target);
// Escapes &, <, >, " for text inside SVG.
std::string xmlEscape(const std::string &text);
std::string renderSvg(const MeasurementRecord &m);

} // namespace lumo_collect

#endif
