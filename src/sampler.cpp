#include "sampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace velmora {

std::vector<std::uint64_t> initial_indegree(const Dag& dag) {
  std::vector<std::uint64_t> out(dag.size());
  for (std::size_t v = 0; v < out.size(); ++v) out[v] = dag.parents(NodeId(v)).size();
  return out;
}

double sample_one_into(const Dag& dag, ChaCha12Rng& rng, SamplerScratch& scratch,
                       std::span<const std::uint64_t> initial, std::size_t n) {
  std::copy(initial.begin(), initial.end(), scratch.indegree.begin());
  scratch.ready.clear();
  for (std::size_t v = 0; v < n; ++v) {
    if (scratch.indegree[v] == 0) scratch.ready.push_back(v);
  }
  scratch.order.clear();
  double log_prob = 0.0;
  for (std::size_t step = 0; step < n; ++step) {
    const std::size_t r = scratch.ready.size();
    const double log_r = std::log(static_cast<double>(r));
    const std::size_t k = rng.uniform_index(r);
    const std::size_t v = scratch.ready[k];
    scratch.ready[k] = scratch.ready.back();
    scratch.ready.pop_back();
    scratch.order.push_back(NodeId(v));
    for (NodeId c : dag.children(NodeId(v))) {
      if (--scratch.indegree[c.index()] == 0) scratch.ready.push_back(c.index());
    }
    log_prob -= log_r;
  }
  return log_prob;
}

Status sample_uniform_sparse_into(ChaCha12Rng& rng, std::span<const CoalitionMask> parent_masks,
                                  std::size_t n, CountMemo& memo, std::vector<NodeId>& out) {
  const CoalitionMask full = ~(~CoalitionMask{0} << n);
  CoalitionMask placed = 0;
  out.clear();
  for (std::size_t step = 0; step < n; ++step) {
    const CoalitionMask remaining = full ^ placed;
    auto count = dp_ind_lazy(remaining, parent_masks, n, memo);
    if (!count) return std::unexpected(std::move(count.error()));
    // Counts of 0 or 1 leave nothing to choose: no randomness is spent on them.
    const std::uint64_t target = *count < 2 ? 0 : rng.uniform_u64(*count);
    if (remaining == 0) continue;
    std::uint64_t cumulative = 0;
    for (CoalitionMask r = remaining; r != 0; r &= r - 1) {
      const auto v = static_cast<std::size_t>(std::countr_zero(r));
      if ((parent_masks[v] & ~placed) != 0) continue;
      auto rest = dp_ind_lazy(remaining & ~(CoalitionMask{1} << v), parent_masks, n, memo);
      if (!rest) return std::unexpected(std::move(rest.error()));
      cumulative += *rest;
      if (target < cumulative) {
        out.push_back(NodeId(v));
        placed |= CoalitionMask{1} << v;
        break;
      }
    }
  }
  return {};
}

}  // namespace velmora
