#include "LoadReport.h"

#include <cstdio>
#include <sstream>

#include "QueueEndpoint.h"
#include "TextEscape.h"

namespace {

struct Percentile {
  const char* table;
  const char* json;
  double percent;
};

constexpr Percentile kPercentiles[] = {
    {"p50", "p50", 50}, {"p90", "p90", 90}, {"p99", "p99", 99}, {"p99.9", "p99_9", 99.9}};

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Column(const std::string& text) {
  char cell[32];
  std::snprintf(cell, sizeof cell, "%10s", text.c_str());
  return cell;
}

}  // namespace

double LoadReport::Throughput() const {
  return seconds > 0 ? static_cast<double>(replies) / seconds : 0.0;
}

bool LoadReport::Clean() const {
  return !interrupted && replies == sent && timeouts == 0 && Errors() == 0 && Unmatched() == 0;
}

std::string LoadReport::Table() const {
  const double ms = 1e-6;
  std::ostringstream out;
  out << "requests to   " << QueueEndpoint::Where(queueManager, queue) << "\n"
      << "replies on    " << QueueEndpoint::Where(replyQueueManager, replyQueue) << "\n"
      << "mode          ";
  if (rate > 0) {
    out << "fixed rate " << Fixed(rate, 1) << "/s, " << concurrency << " sending thread"
        << (concurrency == 1 ? "" : "s") << "\n";
  } else {
    out << "concurrency " << concurrency << "\n";
  }
  out << "sent          " << sent << (interrupted ? " (interrupted)" : "") << "\n"
      << "replies       " << replies << "\n"
      << "timeouts      " << timeouts << "\n"
      << "errors        " << Errors() << " (put failures " << putFailures
      << ", correlation mismatches " << mismatches << ", reader failures " << readerFailures
      << ")\n"
      << "unmatched     " << Unmatched() << " (unknown " << unknown << ", late " << late
      << ", duplicate " << duplicates << ")\n"
      << "duration      " << Fixed(seconds, 3) << " s\n"
      << "throughput    " << Fixed(Throughput(), 1) << " replies/s\n"
      << "latency (ms)";
  out << Column("min");
  for (const Percentile& p : kPercentiles) out << Column(p.table);
  out << Column("max") << Column("mean") << "\n            ";
  out << Column(Fixed(static_cast<double>(latency.Min()) * ms, 3));
  for (const Percentile& p : kPercentiles) {
    out << Column(Fixed(static_cast<double>(latency.Percentile(p.percent)) * ms, 3));
  }
  out << Column(Fixed(static_cast<double>(latency.Max()) * ms, 3))
      << Column(Fixed(latency.Mean() * ms, 3)) << "\n";
  return out.str();
}

std::string LoadReport::Json() const {
  const double us = 1e-3;
  std::ostringstream out;
  out << "{\n"
      << "  \"queue\": " << TextEscape::Json(queue) << ",\n"
      << "  \"queue_manager\": " << TextEscape::Json(queueManager) << ",\n"
      << "  \"reply_queue\": " << TextEscape::Json(replyQueue) << ",\n"
      << "  \"reply_queue_manager\": " << TextEscape::Json(replyQueueManager) << ",\n"
      << "  \"mode\": \"" << (rate > 0 ? "rate" : "concurrency") << "\",\n"
      << "  \"concurrency\": " << concurrency << ",\n"
      << "  \"rate_per_s\": " << (rate > 0 ? Fixed(rate, 3) : std::string("null")) << ",\n"
      << "  \"sent\": " << sent << ",\n"
      << "  \"replies\": " << replies << ",\n"
      << "  \"timeouts\": " << timeouts << ",\n"
      << "  \"errors\": " << Errors() << ",\n"
      << "  \"put_failures\": " << putFailures << ",\n"
      << "  \"mismatches\": " << mismatches << ",\n"
      << "  \"reader_failures\": " << readerFailures << ",\n"
      << "  \"unmatched\": " << Unmatched() << ",\n"
      << "  \"unknown\": " << unknown << ",\n"
      << "  \"late\": " << late << ",\n"
      << "  \"duplicates\": " << duplicates << ",\n"
      << "  \"interrupted\": " << (interrupted ? "true" : "false") << ",\n"
      << "  \"seconds\": " << Fixed(seconds, 6) << ",\n"
      << "  \"throughput_per_s\": " << Fixed(Throughput(), 3) << ",\n"
      << "  \"latency_us\": {\"count\": " << latency.Count()
      << ", \"min\": " << Fixed(static_cast<double>(latency.Min()) * us, 3);
  for (const Percentile& p : kPercentiles) {
    out << ", \"" << p.json
        << "\": " << Fixed(static_cast<double>(latency.Percentile(p.percent)) * us, 3);
  }
  out << ", \"max\": " << Fixed(static_cast<double>(latency.Max()) * us, 3)
      << ", \"mean\": " << Fixed(latency.Mean() * us, 3) << "}\n"
      << "}\n";
  return out.str();
}
