// What /metrics shows, in the Prometheus text format. The collector's figures reach it
// through a board the main loop fills on each tick (the callbacks' lock is taken there,
// as for the status line, never by a scrape); the write latency histogram is counted
// with atomics by the writer's callers. No figure carries a per-device label.
#ifndef LUMO_COLLECT_METRICS_H
#define LUMO_COLLECT_METRICS_H

#include "Controller.h"
#include "FleetReader.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace lumo_collect {

// Seconds from a measurement handed to the writer until its group was committed.
class LatencyHistogram {
public:
    // Upper bounds in seconds: a lone commit on a local disk takes milliseconds; a device
    // gives up on a frame's acknowledgement after 3 s.
    static constexpr std::array<double, 12> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                       0.05,   0.1,   0.25,   0.5,   1.0,  2.5};
    struct Snapshot {
        std::array<uint64_t, kBounds.size() + 1> buckets{}; // not cumulative; last: +Inf
        double sumSeconds = 0;
    };

    void observe(std::chrono::nanoseconds took);
    Snapshot snapshot() const;

private:
    std::array<std::atomic<uint64_t>, kBounds.size() + 1> buckets_{};
    std::atomic<uint64_t> sumNs_{0};
};

// The latest figures of the collection run; empty for `serve`, which collects nothing.
class MetricsBoard {
public:
    void publish(const Stats &stats);
    std::optional<Stats> latest() const;
    LatencyHistogram &writeLatency() { return latency_; }
    const LatencyHistogram &writeLatency() const { return latency_; }

private:
    mutable std::mutex mutex_;
    std::optional<Stats> stats_;
    LatencyHistogram latency_;
};

struct StoreFigures {
    bool readable = false; // the last read of the store succeeded
    FleetCounts counts;
    bool overdueKnown = false; // an expected interval was given
};

// The exposition: build information, the run's figures (when collecting), the store's.
std::string renderMetrics(const MetricsBoard &board, const StoreFigures &store);

} // namespace lumo_collect

#endif
