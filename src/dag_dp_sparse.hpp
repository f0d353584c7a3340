// Exact ASV by counting over the order ideals only (graphs of at most 63 nodes with few
// ideals), plus the memoised order count the uniform sampler shares.
#pragma once

#include <cstdint>
#include <span>

#include <absl/container/flat_hash_map.h>

#include "asv.hpp"
#include "coalition.hpp"
#include "graph.hpp"

namespace velmora {

// Bytes charged per stored forward state against SparseConfig::memory_limit_bytes.
inline constexpr std::uint64_t kSparseBytesPerState = 80;

using CountMemo = absl::flat_hash_map<CoalitionMask, std::uint64_t>;

// Number of topological orders of the sub-DAG induced on `s` (1 for the empty set, which is
// never stored). The memo belongs to the caller and may be shared across calls on one DAG;
// counts stored before an overflow stay in it. Recursion is at most popcount(s) deep.
Result<std::uint64_t> dp_ind_lazy(CoalitionMask s, std::span<const CoalitionMask> parent_masks,
                                  std::size_t n, CountMemo& memo);

// True when the DAG has at most `budget` order ideals (the empty set included); stops at the
// first ideal beyond the budget, so it stores at most budget + 1 masks. Reads only the node
// count of `dag`; callers guarantee n <= 63 and one parent mask per node.
bool estimate_sparse_feasible(const Dag& dag, std::span<const CoalitionMask> parent_masks,
                              std::uint64_t budget);

// Exact values over the order ideals of a graph the caller has validated. Size, overflow and
// memory failures all happen before the first value-function call.
Result<AsvResult> dag_exact_asv_sparse(const Dag& dag, const SparseConfig& config,
                                       std::span<const CoalitionMask> parent_masks,
                                       const ValueFunction& f);

}  // namespace velmora
