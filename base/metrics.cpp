#include "base/metrics.h"

#include <cmath>
#include <cstdio>

namespace corvane {
namespace {

// A number as the text format writes it: integers without a fraction.
std::string Number(double v) {
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  if (v == std::floor(v) && std::fabs(v) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    std::snprintf(buf, sizeof buf, "%.9g", v);
  }
  return buf;
}

std::string Series(const std::string& name, const std::string& labels) {
  return labels.empty() ? name : name + "{" + labels + "}";
}

std::string WithLabel(const std::string& labels, const std::string& extra) {
  return labels.empty() ? extra : labels + "," + extra;
}

}  // namespace

MetricCounterByCode::MetricCounterByCode(std::size_t limit)
    : counts_(limit == 0 ? 1 : limit) {}

void MetricCounterByCode::Add(std::size_t code, uint64_t n) {
  if (code >= counts_.size()) code = counts_.size() - 1;
  counts_[code].fetch_add(n, std::memory_order_relaxed);
}

uint64_t MetricCounterByCode::value(std::size_t code) const {
  if (code >= counts_.size()) return 0;
  return counts_[code].load(std::memory_order_relaxed);
}

MetricHistogram::MetricHistogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), buckets_(bounds_.size() + 1) {
  for (double b : bounds_) bounds_ns_.push_back(static_cast<int64_t>(b * 1e9));
}

void MetricHistogram::ObserveNs(int64_t nanoseconds) {
  if (nanoseconds < 0) nanoseconds = 0;
  // Few buckets: a linear scan is as quick as a search.
  std::size_t i = 0;
  while (i < bounds_ns_.size() && nanoseconds > bounds_ns_[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  sum_ns_.fetch_add(static_cast<uint64_t>(nanoseconds),
                    std::memory_order_relaxed);
}

uint64_t MetricHistogram::bucket(std::size_t i) const {
  return i < buckets_.size() ? buckets_[i].load(std::memory_order_relaxed) : 0;
}

uint64_t MetricHistogram::count() const {
  uint64_t n = 0;
  for (const auto& b : buckets_) n += b.load(std::memory_order_relaxed);
  return n;
}

double MetricHistogram::sum_seconds() const {
  return static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
}

std::vector<double> LatencyBuckets() {
  return {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
          0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    10};
}

MetricsRegistry::Entry& MetricsRegistry::Add(std::string name, std::string help,
                                             std::string labels, Type type) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_.emplace_back();
  e.name = std::move(name);
  e.help = std::move(help);
  e.labels = std::move(labels);
  e.type = type;
  return e;
}

MetricCounter& MetricsRegistry::Counter(std::string name, std::string help,
                                        std::string labels) {
  Entry& e =
      Add(std::move(name), std::move(help), std::move(labels), Type::kCounter);
  e.counter = std::make_unique<MetricCounter>();
  return *e.counter;
}

MetricGauge& MetricsRegistry::Gauge(std::string name, std::string help,
                                    std::string labels) {
  Entry& e =
      Add(std::move(name), std::move(help), std::move(labels), Type::kGauge);
  e.gauge = std::make_unique<MetricGauge>();
  return *e.gauge;
}

MetricCounterByCode& MetricsRegistry::CounterByCode(std::string name,
                                                    std::string help,
                                                    std::string label,
                                                    std::size_t limit) {
  Entry& e = Add(std::move(name), std::move(help), "", Type::kCounterByCode);
  e.code_label = std::move(label);
  e.by_code = std::make_unique<MetricCounterByCode>(limit);
  return *e.by_code;
}

MetricHistogram& MetricsRegistry::Histogram(std::string name, std::string help,
                                            std::vector<double> bounds,
                                            std::string labels) {
  Entry& e = Add(std::move(name), std::move(help), std::move(labels),
                 Type::kHistogram);
  e.histogram = std::make_unique<MetricHistogram>(std::move(bounds));
  return *e.histogram;
}

void MetricsRegistry::GaugeFunction(std::string name, std::string help,
                                    std::function<int64_t()> read,
                                    std::string labels) {
  Entry& e =
      Add(std::move(name), std::move(help), std::move(labels), Type::kFunction);
  e.read = std::move(read);
}

std::string MetricsRegistry::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  const std::string* last_name = nullptr;
  for (const Entry& e : entries_) {
    // Series of one name share one HELP and TYPE line.
    if (last_name == nullptr || *last_name != e.name) {
      const char* type = "gauge";
      if (e.type == Type::kCounter || e.type == Type::kCounterByCode)
        type = "counter";
      if (e.type == Type::kHistogram) type = "histogram";
      out += "# HELP " + e.name + " " + e.help + "\n";
      out += "# TYPE " + e.name + " " + type + "\n";
    }
    last_name = &e.name;
    switch (e.type) {
      case Type::kCounter:
        out += Series(e.name, e.labels) + " " +
               Number(static_cast<double>(e.counter->value())) + "\n";
        break;
      case Type::kGauge:
        out += Series(e.name, e.labels) + " " +
               Number(static_cast<double>(e.gauge->value())) + "\n";
        break;
      case Type::kFunction:
        out += Series(e.name, e.labels) + " " +
               Number(static_cast<double>(e.read())) + "\n";
        break;
      case Type::kCounterByCode:
        for (std::size_t code = 0; code < e.by_code->limit(); ++code) {
          const uint64_t v = e.by_code->value(code);
          if (v == 0) continue;
          out += e.name + "{" + e.code_label + "=\"" + std::to_string(code) +
                 "\"} " + Number(static_cast<double>(v)) + "\n";
        }
        break;
      case Type::kHistogram: {
        const MetricHistogram& h = *e.histogram;
        uint64_t cumulative = 0;
        for (std::size_t i = 0; i <= h.bounds().size(); ++i) {
          cumulative += h.bucket(i);
          const std::string le =
              i < h.bounds().size() ? Number(h.bounds()[i]) : "+Inf";
          out += Series(e.name + "_bucket",
                        WithLabel(e.labels, "le=\"" + le + "\"")) +
                 " " + Number(static_cast<double>(cumulative)) + "\n";
        }
        // The count is the +Inf bucket, so the two always agree.
        out += Series(e.name + "_sum", e.labels) + " " +
               Number(h.sum_seconds()) + "\n";
        out += Series(e.name + "_count", e.labels) + " " +
               Number(static_cast<double>(cumulative)) + "\n";
        break;
      }
    }
  }
  return out;
}

}  // namespace corvane
