// The writer's samples of how many entries are current, which the console's chart of the last day reads.
#pragma once

#include <cstdint>
#include <string>

#include "common/failure.h"
#include "usermap/map_store.h"

// How often the writer records how many entries are current (MapSample), and how long samples are kept.
constexpr std::int64_t kSamplePeriod = 300;
constexpr std::int64_t kHistorySeconds = 24 * 3600;
constexpr std::int64_t kKeepSamples = 2 * kHistorySeconds;

// One sample a period, the first at start.
class SampleSchedule {
 public:
  std::int64_t seconds_to_next(std::int64_t now) const { return next_ > now ? next_ - now : 0; }
  bool due(std::int64_t now) const { return now >= next_; }
  // The sample of the period `now` falls in, yet to be counted; the next is due a period after its start.
  MapSample take(std::int64_t now);

 private:
  std::int64_t next_ = 0;  // epoch second of the next sample
};

// Counts the entries current at `now` into `sample` and keeps it, in a transaction of its own, with
// the samples of the last kKeepSamples seconds. False, with the store's error, when it failed.
bool record_sample(MapConnection& db, std::int64_t now, MapSample sample, std::string* error);

// A sample that cannot be written leaves a gap in the picture, nothing else: stderr is where it is seen.
void report_sample_failure(const Failure& failure);
