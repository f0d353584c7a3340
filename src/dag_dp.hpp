// Exact ASV by counting over all 2^n node subsets (graphs of at most 20 nodes).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "asv.hpp"
#include "coalition.hpp"
#include "graph.hpp"

namespace velmora {

// Largest graph the dense tables serve: three tables of 8 * 2^20 bytes.
inline constexpr std::size_t kDenseMaxNodes = 20;

// A set as it appears in overflow messages: base 2 with a leading "0b" (5 -> "0b101").
std::string mask_to_binary(CoalitionMask mask);

// dp_ind[S] = number of topological orders of the sub-DAG induced on S, for every S of the
// n-node graph; LinearExtensionOverflow when a count leaves 64 bits. Nodes without a parent
// mask are never a first element, as in dp_ind_lazy.
Result<std::vector<std::uint64_t>> compute_dp_ind(std::size_t n,
                                                  std::span<const CoalitionMask> parent_masks);

// v(S) from the dense table (NaN = not evaluated yet), evaluating and storing it on a miss.
Result<double> value_cached_dense(std::vector<double>& table, CoalitionMask s,
                                  const ValueFunction& f);

// Exact values of every node of a graph of at most 20 nodes (validated by the caller):
// each order ideal S and addable u weighs v(S u {u}) - v(S) by the number of orders in which
// exactly S precedes u. The value function is asked once per order ideal.
Result<AsvResult> dag_exact_asv(const Dag& dag, std::span<const CoalitionMask> parent_masks,
                                const ValueFunction& f);

}  // namespace velmora
