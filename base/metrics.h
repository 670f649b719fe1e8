// Metrics in the Prometheus text format: counters, gauges and latency
// histograms that the request path updates with one relaxed atomic
// operation each, and a registry that writes them all for a scrape.
//
// The host and the extension each keep a registry of their own (they share
// no code at run time); the host's /metrics joins the host's text with the
// extension's. Whatever feeds a figure (the pools, a conversation store)
// registers it once and then updates it without a lock.
//
// Thread-safe: registering takes the registry's mutex; updating a metric
// is lock-free; Text() may run while metrics are updated (each figure is
// read once, so a histogram's buckets may be a few observations apart).
// The registry owns its metrics; references stay valid as long as it lives.
#ifndef CORVANE_BASE_METRICS_H_
#define CORVANE_BASE_METRICS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// A count that only grows.
class MetricCounter {
 public:
  void Add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// A figure that goes up and down (modules in use, live sessions).
class MetricGauge {
 public:
  void Set(int64_t v) { value_.store(v, std::memory_order_relaxed); }
  void Add(int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  int64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> value_{0};
};

// Counts of an integer label with a small range, such as the status code
// of an answer: one counter per value, written for the values seen.
class MetricCounterByCode {
 public:
  // Codes from 0 to `limit` - 1; others count as `limit` - 1.
  explicit MetricCounterByCode(std::size_t limit);
  void Add(std::size_t code, uint64_t n = 1);
  uint64_t value(std::size_t code) const;
  std::size_t limit() const { return counts_.size(); }

 private:
  std::vector<std::atomic<uint64_t>> counts_;
};

// Observations of a duration, in buckets by upper bound (seconds).
class MetricHistogram {
 public:
  // `bounds` in seconds, ascending; a last bucket +Inf is implied.
  explicit MetricHistogram(std::vector<double> bounds);
  // One observation of `nanoseconds`.
  void ObserveNs(int64_t nanoseconds);
  const std::vector<double>& bounds() const { return bounds_; }
  // The count of bucket i (not cumulative); i == bounds().size() is +Inf.
  uint64_t bucket(std::size_t i) const;
  uint64_t count() const;
  double sum_seconds() const;

 private:
  std::vector<double> bounds_;
  std::vector<int64_t> bounds_ns_;
  std::vector<std::atomic<uint64_t>> buckets_;  // bounds_.size() + 1.
  std::atomic<uint64_t> sum_ns_{0};
};

// Latency buckets from 100 µs to 10 s, for requests, turns and the store.
std::vector<double> LatencyBuckets();

class MetricsRegistry {
 public:
  MetricsRegistry() = default;
  MetricsRegistry(const MetricsRegistry&) = delete;
  MetricsRegistry& operator=(const MetricsRegistry&) = delete;

  // Each registers a metric under `name` (a Prometheus metric name) with
  // its help text and returns it; `labels` (for example `mode="pool"`)
  // tells apart series of one name, which must be registered one after the
  // other with the same help and type.
  MetricCounter& Counter(std::string name, std::string help,
                         std::string labels = "");
  MetricGauge& Gauge(std::string name, std::string help,
                     std::string labels = "");
  // A counter per code, written with the label `label`="code".
  MetricCounterByCode& CounterByCode(std::string name, std::string help,
                                     std::string label, std::size_t limit);
  MetricHistogram& Histogram(std::string name, std::string help,
                             std::vector<double> bounds,
                             std::string labels = "");
  // A gauge read when scraped; `read` must be thread-safe and must not
  // call back into the registry.
  void GaugeFunction(std::string name, std::string help,
                     std::function<int64_t()> read, std::string labels = "");

  // Every metric in the Prometheus text format (version 0.0.4), in the
  // order registered.
  std::string Text() const;

 private:
  enum class Type { kCounter, kGauge, kCounterByCode, kHistogram, kFunction };
  struct Entry {
    std::string name, help, labels, code_label;
    Type type;
    std::unique_ptr<MetricCounter> counter;
    std::unique_ptr<MetricGauge> gauge;
    std::unique_ptr<MetricCounterByCode> by_code;
    std::unique_ptr<MetricHistogram> histogram;
    std::function<int64_t()> read;
  };
  Entry& Add(std::string name, std::string help, std::string labels, Type type);

  mutable std::mutex mutex_;
  std::deque<Entry> entries_;  // Guarded by mutex_; entries never move.
};

// The content type of the text format.
inline constexpr const char* kMetricsContentType =
    "text/plain; version=0.0.4; charset=utf-8";

}  // namespace corvane

#endif  // CORVANE_BASE_METRICS_H_
