// The writer's samples of how many entries are current, which the console's chart of the last day reads.
#include "usermap/map_samples.h"

#include "common/diagnostics.h"

MapSample SampleSchedule::take(std::int64_t now) {
  const MapSample sample{now - now % kSamplePeriod, 0};
  next_ = sample.time + kSamplePeriod;
  return sample;
}

bool record_sample(MapConnection& db, std::int64_t now, MapSample sample, std::string* error) {
  return db.begin(error) && db.count(MapQuery(), now, &sample.logged_on, error) &&
         db.add_sample(sample, now - kKeepSamples, error) && db.commit(error);
}

void report_sample_failure(const Failure& failure) {
  report_limited("error: the user map's sample failed",
                 "the user map's count of logged-on users for its history chart was not kept: " + failure.message());
}
