// Command-line options of lumo-bench.
#ifndef LUMO_BENCH_OPTIONS_H
#define LUMO_BENCH_OPTIONS_H

#include <string>

namespace bench {

struct Options {
    int rounds = 5;             // repetitions of every compared figure, interleaved
    int pingPongFrames = 20000; // round trips per reference repetition
    int warmUpFrames = 5000;    // round trips before every measured run
    int measurements = 12;      // measurements per transfer repetition (255 blocks each)
    int pacedRepetitions = 3;   // paced serial transfers (about 11.5 s each)
    double cpuSeconds = 10.0;   // length of each CPU-time window
    int stopRepetitions = 5;    // stopChannel calls per channel state
    int memoryChannels = 16;    // channels opened for the memory figure
    bool quick = false;         // shorter windows for a smoke run
    std::string only; // run only this section: transfer, paced, cpu, stop, memory, python, fleet
    std::string link; // transfers over this link only: tcp or pty

    bool wants(const char *section) const { return only.empty() || only == section; }
    bool wantsLink(const char *name) const { return link.empty() || link == name; }
};

// Parses argv; prints usage and returns false on an unknown argument.
bool parseOptions(int argc, char **argv, Options &options);

} // namespace bench

#endif
