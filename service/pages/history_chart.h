// The console's picture of the last day: how many entries were logged on, as inline SVG that needs no script.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usermap/map_types.h"

// The samples of the last day (oldest first; older ones are left out) and, at `now`, the
// current count. Samples further apart than two sampling periods (the service was stopped)
// are not joined by the line.
std::string history_svg(const std::vector<MapSample>& samples, std::int64_t now, std::int64_t current);

// The number written with a comma between groups of three digits: 200,000.
std::string grouped_number(std::int64_t n);
