// The one table the benchmark prints: every row is a figure measured in this run.
#ifndef LUMO_BENCH_REPORT_H
#define LUMO_BENCH_REPORT_H

#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string figure;  // what was measured
    std::string value;   // median (and spread) with its unit
    std::string compare; // ratio or bound it is judged against
    std::string verdict; // "ok", "MISSED" or "" for figures without a target
};

class Report {
public:
    void add(Row row) { rows.push_back(std::move(row)); }
    void note(std::string text) { notes.push_back(std::move(text)); }
    // Prints a Markdown table followed by the notes.
    void print() const;
    bool anyMissed() const;

private:
    std::vector<Row> rows;
    std::vector<std::string> notes;
};

std::string formatNumber(double value, int decimals);
std::string verdict(bool met);

} // namespace bench

#endif
