#include "Metrics.h"

#include <cstdio>
#include <sstream>

#ifndef LUMO_VERSION
#    define LUMO_VERSION "unknown"
#endif

namespace lumo_collect {

void LatencyHistogram::observe(std::chrono::nanoseconds took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    std::size_t i = 0;
    while (i < kBounds.size() && seconds > kBounds[i])
        ++i;
    buckets_[i].fetch_add(1, std::memory_order_relaxed);
    sumNs_.fetch_add(static_cast<uint64_t>(took.count()), std::memory_order_relaxed);
}

LatencyHistogram::Snapshot LatencyHistogram::snapshot() const
{
    Snapshot s;
    for (std::size_t i = 0; i < buckets_.size(); ++i)
        s.buckets[i] = buckets_[i].load(std::memory_order_relaxed);
    s.sumSeconds = static_cast<double>(sumNs_.load(std::memory_order_relaxed)) / 1e9;
    return s;
}

void MetricsBoard::publish(const Stats &stats)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    stats_ = stats;
}

std::optional<Stats> MetricsBoard::latest() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

namespace {

// Writes one metric family: HELP and TYPE once, then its samples.
class Exposition {
public:
    void family(const char *name, const char *type, const char *help)
    {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const std::string &name, double value, const std::string &labels = "")
    {
        char number[64];
        std::snprintf(number, sizeof number, "%.16g", value);
        out_ << name << (labels.empty() ? "" : "{" + labels + "}") << ' ' << number << '\n';
    }
    void one(const char *name, const char *type, const char *help, double value)
    {
        family(name, type, help);
        sample(name, value);
    }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

double n(std::size_t v)
{
    return static_cast<double>(v);
}

void runFigures(Exposition &e, const Stats &s)
{
    e.one("lumo_collect_connections", "gauge", "Device connections served now.",
          n(s.liveConnections));
    e.one("lumo_collect_connections_max", "gauge", "The most device connections at one time.",
          n(s.peakConnections));
    e.one("lumo_collect_devices_seen", "gauge", "Different devices that handshook in this run.",
          n(s.devicesSeen));
    e.one("lumo_collect_devices_refused", "gauge",
          "Different devices refused at their handshake (not in --accept).", n(s.refused));
    e.family("lumo_collect_sessions_total", "counter",
             "Device sessions by what became of their transfer.");
    e.sample("lumo_collect_sessions_total", n(s.transfersOk), "outcome=\"transferred\"");
    e.sample("lumo_collect_sessions_total", n(s.transfersFailed), "outcome=\"transfer_failed\"");
    e.sample("lumo_collect_sessions_total", n(s.transfersSkipped),
             "outcome=\"skipped_storage_down\"");
    e.sample("lumo_collect_sessions_total", n(s.devicesLetGo), "outcome=\"let_go\"");
    e.family("lumo_collect_syncs_total", "counter", "Clock and parameter synchronisations.");
    e.sample("lumo_collect_syncs_total", n(s.syncsOk), "outcome=\"ok\"");
    e.sample("lumo_collect_syncs_total", n(s.syncsFailed), "outcome=\"failed\"");
    e.one("lumo_collect_keepalives_failed_total", "counter",
          "Devices dropped after a failed keep-alive.", n(s.keepAlivesFailed));
    e.one("lumo_collect_measurements_stored_total", "counter",
          "Measurements committed to the store by this collector.", n(s.measurements));
    e.one("lumo_collect_samples_stored_total", "counter",
          "Samples of the measurements committed by this collector.", n(s.samples));
    e.one("lumo_collect_measurement_repeats_total", "counter",
          "Measurements handed over again that the store already held.", n(s.repeats));
    e.one("lumo_collect_measurements_refused_total", "counter",
          "Measurements refused because they could not be stored (left on the device).",
          n(s.refusedMeasurements));
    e.one("lumo_collect_storage_up", "gauge",
          "1 while the store takes writes, 0 while transfers are paused.",
          s.storageDown ? 0.0 : 1.0);
    e.one("lumo_collect_storage_errors_total", "counter",
          "Records (measurements, sync results, exports) that could not be stored.",
          n(s.storageErrors));
    e.one("lumo_collect_lease_failures_total", "counter",
          "Device leases that could not be taken (the device was let go).", n(s.leaseFailures));
    e.one("lumo_collect_leases_lost_total", "counter",
          "Sessions ended because their device lease was lost.", n(s.leasesLost));
    e.one("lumo_collect_measurements_fenced_total", "counter",
          "Measurements refused under a lost lease (left on the device).", n(s.fencedMeasurements));
}

void latencyFigures(Exposition &e, const LatencyHistogram::Snapshot &h)
{
    const char *name = "lumo_collect_write_latency_seconds";
    e.family(name, "histogram",
             "Time from a measurement handed to the writer until its group was committed.");
    uint64_t cumulative = 0;
    for (std::size_t i = 0; i < LatencyHistogram::kBounds.size(); ++i) {
        cumulative += h.buckets[i];
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", LatencyHistogram::kBounds[i]);
        e.sample(std::string(name) + "_bucket", static_cast<double>(cumulative),
                 std::string("le=\"") + bound + "\"");
    }
    cumulative += h.buckets.back();
    e.sample(std::string(name) + "_bucket", static_cast<double>(cumulative), "le=\"+Inf\"");
    e.sample(std::string(name) + "_sum", h.sumSeconds);
    e.sample(std::string(name) + "_count", static_cast<double>(cumulative));
}

void storeFigures(Exposition &e, const StoreFigures &f)
{
    e.one("lumo_collect_store_readable", "gauge", "1 when the store could be read for this scrape.",
          f.readable ? 1.0 : 0.0);
    if (!f.readable)
        return;
    e.one("lumo_collect_store_devices", "gauge", "Devices the store knows.", n(f.counts.devices));
    e.one("lumo_collect_store_measurements", "gauge", "Measurements the store holds.",
          n(f.counts.measurements));
    if (f.overdueKnown)
        e.one("lumo_collect_store_devices_overdue", "gauge",
              "Devices whose last contact is older than the expected interval.",
              n(f.counts.overdue));
}

} // namespace

std::string renderMetrics(const MetricsBoard &board, const StoreFigures &store)
{
    Exposition e;
    const std::optional<Stats> stats = board.latest();
    e.family("lumo_collect_build_info", "gauge", "Version of lumo-collect and its library.");
    e.sample("lumo_collect_build_info", 1,
             std::string("version=\"") + LUMO_VERSION + "\",mode=\"" +
                 (stats ? "collect" : "serve") + "\"");
    if (stats) {
        runFigures(e, *stats);
        latencyFigures(e, board.writeLatency().snapshot());
    }
    storeFigures(e, store);
    return e.text();
}

} // namespace lumo_collect
