#include "coalition.hpp"

namespace velmora {

Coalition mask_to_coalition(CoalitionMask mask) {
  Coalition out;
  out.reserve(static_cast<std::size_t>(std::popcount(mask)));
  while (mask != 0) {
    out.push_back(NodeId(static_cast<std::uint32_t>(std::countr_zero(mask))));
    mask &= mask - 1;
  }
  return out;
}

Coalition words_to_sorted_nodes(std::span<const std::uint64_t> words) {
  std::size_t count = 0;
  for (std::uint64_t w : words) count += static_cast<std::size_t>(std::popcount(w));
  Coalition out;
  out.reserve(count);
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (std::uint64_t w = words[i]; w != 0; w &= w - 1) {
      out.push_back(NodeId(static_cast<std::uint32_t>(64 * i + std::countr_zero(w))));
    }
  }
  return out;
}

}  // namespace velmora
