// Per-computation value cache: each distinct coalition reaches the value function once.
#pragma once

#include <absl/container/flat_hash_map.h>

#include "coalition.hpp"

namespace velmora {

// No eviction; only successful evaluations are stored. One per computation or per worker.
using ValueCache = absl::flat_hash_map<CoalitionMask, double>;

// The cached value of `mask`, evaluating and storing it on a miss. A failure stores nothing.
Result<double> value_cached(ValueCache& cache, const ValueFunction& f, CoalitionMask mask);

}  // namespace velmora
