#include "cache.hpp"

namespace velmora {

Result<double> value_cached(ValueCache& cache, const ValueFunction& f, CoalitionMask mask) {
  if (auto it = cache.find(mask); it != cache.end()) return it->second;
  const Coalition nodes = mask_to_coalition(mask);
  auto value = f(nodes);
  if (!value) return value;
  cache.emplace(mask, *value);
  return value;
}

}  // namespace velmora
