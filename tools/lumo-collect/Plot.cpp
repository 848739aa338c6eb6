#include "Plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace lumo_collect {

namespace {

constexpr double kWidth = 960;
constexpr double kHeight = 540;
constexpr double kLeft = 80; // room for value labels
constexpr double kRight = 30;
constexpr double kTop = 60;    // room for the title
constexpr double kBottom = 70; // room for index labels and axis title
constexpr double kTickLength = 6;
constexpr int kTargetTicks = 8;
// Beyond two points per pixel column a polyline only smears; keep each column's
// minimum and maximum instead, which keeps every peak.
constexpr std::size_t kPointsPerColumn = 2;

struct Frame {
    double x0, x1; // sample index range
    double y0, y1; // value range
    double px(double x) const
    {
        const double w = kWidth - kLeft - kRight;
        return kLeft + (x1 > x0 ? (x - x0) / (x1 - x0) * w : w / 2);
    }
    double py(double y) const
    {
        const double h = kHeight - kTop - kBottom;
        return kTop + h - (y1 > y0 ? (y - y0) / (y1 - y0) * h : h / 2);
    }
};

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

std::string label(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// (index, value) points to draw, thinned to min/max per pixel column.
std::vector<std::pair<double, double>> plotPoints(const std::vector<uint16_t> &samples)
{
    std::vector<std::pair<double, double>> points;
    const std::size_t columns = static_cast<std::size_t>(kWidth - kLeft - kRight);
    if (samples.size() <= columns * kPointsPerColumn) {
        for (std::size_t i = 0; i < samples.size(); ++i)
            points.emplace_back(static_cast<double>(i), samples[i]);
        return points;
    }
    for (std::size_t c = 0; c < columns; ++c) {
        const std::size_t begin = c * samples.size() / columns;
        const std::size_t end = (c + 1) * samples.size() / columns;
        const auto [lo, hi] = std::minmax_element(samples.begin() + begin, samples.begin() + end);
        const auto first = std::min(lo, hi) - samples.begin();
        const auto second = std::max(lo, hi) - samples.begin();
        points.emplace_back(static_cast<double>(first), samples[first]);
        points.emplace_back(static_cast<double>(second), samples[second]);
    }
    return points;
}

void drawAxes(std::ostringstream &svg, const Frame &f, const std::vector<double> &xTicks,
              const std::vector<double> &yTicks)
{
    const double bottom = kHeight - kBottom;
    svg << "<g stroke=\"#444\" stroke-width=\"1\">\n";
    svg << "<line x1=\"" << kLeft << "\" y1=\"" << kTop << "\" x2=\"" << kLeft << "\" y2=\""
        << bottom << "\"/>\n";
    svg << "<line x1=\"" << kLeft << "\" y1=\"" << bottom << "\" x2=\"" << kWidth - kRight
        << "\" y2=\"" << bottom << "\"/>\n";
    for (double t : xTicks)
        svg << "<line x1=\"" << number(f.px(t)) << "\" y1=\"" << bottom << "\" x2=\""
            << number(f.px(t)) << "\" y2=\"" << bottom + kTickLength << "\"/>\n";
    for (double t : yTicks)
        svg << "<line x1=\"" << kLeft - kTickLength << "\" y1=\"" << number(f.py(t)) << "\" x2=\""
            << kLeft << "\" y2=\"" << number(f.py(t)) << "\"/>\n";
    svg << "</g>\n<g stroke=\"#ddd\" stroke-width=\"1\">\n";
    for (double t : yTicks)
        svg << "<line x1=\"" << kLeft << "\" y1=\"" << number(f.py(t)) << "\" x2=\""
            << kWidth - kRight << "\" y2=\"" << number(f.py(t)) << "\"/>\n";
    svg << "</g>\n<g font-family=\"sans-serif\" font-size=\"12\" fill=\"#222\">\n";
    for (double t : xTicks)
        svg << "<text x=\"" << number(f.px(t)) << "\" y=\"" << bottom + kTickLength + 14
            << "\" text-anchor=\"middle\">" << label(t) << "</text>\n";
    for (double t : yTicks)
        svg << "<text x=\"" << kLeft - kTickLength - 4 << "\" y=\"" << number(f.py(t) + 4)
            << "\" text-anchor=\"end\">" << label(t) << "</text>\n";
    svg << "<text x=\"" << (kLeft + kWidth - kRight) / 2 << "\" y=\"" << kHeight - 20
        << "\" text-anchor=\"middle\">sample index</text>\n";
    svg << "<text transform=\"translate(18," << (kTop + bottom) / 2
        << ") rotate(-90)\" text-anchor=\"middle\">value</text>\n</g>\n";
}

} // namespace

std::vector<double> niceTicks(double lo, double hi, int target)
{
    if (!(hi > lo) || target < 1)
        return {lo};
    const double raw = (hi - lo) / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = magnitude;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * magnitude;
        if (step >= raw)
            break;
    }
    std::vector<double> ticks;
    for (double t = std::ceil(lo / step) * step; t <= hi + step * 1e-9; t += step)
        ticks.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
    return ticks;
}

std::string xmlEscape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string renderSvg(const MeasurementRecord &m)
{
    Frame f{0, 1, 0, 1};
    if (!m.samples.empty()) {
        const auto [lo, hi] = std::minmax_element(m.samples.begin(), m.samples.end());
        f.x1 = static_cast<double>(std::max<std::size_t>(m.samples.size() - 1, 1));
        f.y0 = *lo;
        f.y1 = *hi > *lo ? *hi : *lo + 1;
    }
    const auto xTicks = niceTicks(f.x0, f.x1, kTargetTicks);
    auto yTicks = niceTicks(f.y0, f.y1, kTargetTicks);
    // Widen the value axis to whole ticks so the lowest and highest samples sit inside.
    if (yTicks.size() >= 2) {
        const double step = yTicks[1] - yTicks[0];
        if (yTicks.front() > f.y0)
            yTicks.insert(yTicks.begin(), yTicks.front() - step);
        if (yTicks.back() < f.y1)
            yTicks.push_back(yTicks.back() + step);
        f.y0 = yTicks.front();
        f.y1 = yTicks.back();
    }

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << kHeight << "\" viewBox=\"0 0 " << kWidth << ' ' << kHeight << "\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    const std::string title = "DIN " + m.din + " \xE2\x80\x94 " + m.measuredAt +
                              " \xE2\x80\x94 typeset " + std::to_string(m.typeset) + ", " +
                              std::to_string(m.samples.size()) + " samples";
    svg << "<text x=\"" << kWidth / 2 << "\" y=\"32\" font-family=\"sans-serif\" font-size=\"18\" "
        << "text-anchor=\"middle\" fill=\"#111\">" << xmlEscape(title) << "</text>\n";
    drawAxes(svg, f, xTicks, yTicks);
    if (m.samples.empty()) {
        svg << "<text x=\"" << kWidth / 2 << "\" y=\"" << kHeight / 2
            << "\" font-family=\"sans-serif\" font-size=\"16\" text-anchor=\"middle\" "
               "fill=\"#888\">no samples</text>\n";
    } else {
        svg << "<polyline fill=\"none\" stroke=\"#1f6fb4\" stroke-width=\"1.5\" "
               "stroke-linejoin=\"round\" points=\"";
        for (const auto &[x, y] : plotPoints(m.samples))
            svg << number(f.px(x)) << ',' << number(f.py(y)) << ' ';
        svg << "\"/>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

} // namespace lumo_collect
