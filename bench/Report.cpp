#include "Report.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr std::size_t kColumns = 4;

void printLine(const std::array<std::string, kColumns> &cells,
               const std::array<std::size_t, kColumns> &widths)
{
    std::printf("|");
    for (std::size_t i = 0; i < kColumns; ++i)
        std::printf(" %-*s |", static_cast<int>(widths[i]), cells[i].c_str());
    std::printf("\n");
}

} // namespace

std::string formatNumber(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string verdict(bool met)
{
    return met ? "ok" : "MISSED";
}

bool Report::anyMissed() const
{
    return std::any_of(rows.begin(), rows.end(),
                       [](const Row &row) { return row.verdict == "MISSED"; });
}

void Report::print() const
{
    const std::array<std::string, kColumns> header{"figure", "median (spread)", "compared with",
                                                   "target"};
    std::array<std::size_t, kColumns> widths{};
    for (std::size_t i = 0; i < kColumns; ++i)
        widths[i] = header[i].size();
    for (const Row &row : rows) {
        const std::array<std::string, kColumns> cells{row.figure, row.value, row.compare,
                                                      row.verdict};
        for (std::size_t i = 0; i < kColumns; ++i)
            widths[i] = std::max(widths[i], cells[i].size());
    }
    printLine(header, widths);
    std::printf("|");
    for (std::size_t width : widths)
        std::printf("%s|", std::string(width + 2, '-').c_str());
    std::printf("\n");
    for (const Row &row : rows)
        printLine({row.figure, row.value, row.compare, row.verdict}, widths);
    if (!notes.empty())
        std::printf("\n");
    for (const std::string &text : notes)
        std::printf("- %s\n", text.c_str());
    std::fflush(stdout);
}

} // namespace bench
