// Random topological orderings: the sequential sampler (with the probability of what it drew,
// for importance weights) and the scratch it reuses across draws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "coalition.hpp"
#include "dag_dp_sparse.hpp"
#include "graph.hpp"
#include "rng.hpp"

namespace velmora {

// Reused for every draw of one generator; sized once so that a draw never allocates.
struct SamplerScratch {
  explicit SamplerScratch(std::size_t n) : indegree(n, 0) {
    ready.reserve(n);
    order.reserve(n);
  }

  std::vector<std::uint64_t> indegree;  // parents not yet placed, per node
  std::vector<std::size_t> ready;       // unplaced nodes whose parents are all placed
  std::vector<NodeId> order;            // the last ordering drawn
};

// What the batched estimators keep of one draw.
struct SampledOrdering {
  std::vector<NodeId> order;
  double log_prob = 0.0;
};

// Per node, the length of its parents list; computed once per run.
std::vector<std::uint64_t> initial_indegree(const Dag& dag);

// Draws an ordering by taking, at every step, a uniformly random node among those whose
// parents are placed. Leaves it in `scratch.order` and returns the natural log of the
// probability of drawing exactly it. `initial` and `scratch` are sized for `n` nodes.
double sample_one_into(const Dag& dag, ChaCha12Rng& rng, SamplerScratch& scratch,
                       std::span<const std::uint64_t> initial, std::size_t n);

// Draws an ordering exactly uniformly among all topological orderings of a graph of at most
// 63 nodes: each next node with probability proportional to the orderings of what remains,
// counts from `dp_ind_lazy` through the caller's memo (kept across draws). Clears `out` and
// fills it; on an overflow of a count `out` holds a partial ordering.
Status sample_uniform_sparse_into(ChaCha12Rng& rng, std::span<const CoalitionMask> parent_masks,
                                  std::size_t n, CountMemo& memo, std::vector<NodeId>& out);

}  // namespace velmora
