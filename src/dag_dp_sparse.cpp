#include "dag_dp_sparse.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "dag_dp.hpp"

namespace velmora {

namespace {

CoalitionMask low_bits(std::size_t count) {
  return count >= 64 ? ~CoalitionMask{0} : (CoalitionMask{1} << count) - 1;
}

VelmoraError overflow(const char* table, CoalitionMask s) {
  return VelmoraError::linear_extension_overflow(std::string(table) + "[" + mask_to_binary(s) +
                                                 "] overflowed u64 — use approx for this DAG");
}

}  // namespace

Result<std::uint64_t> dp_ind_lazy(CoalitionMask s, std::span<const CoalitionMask> parent_masks,
                                  std::size_t n, CountMemo& memo) {
  if (s == 0) return 1;
  if (auto it = memo.find(s); it != memo.end()) return it->second;
  std::uint64_t total = 0;
  // Orders of S counted by their first element: a node of S with no parent inside S.
  for (CoalitionMask rest = s & low_bits(std::min(n, parent_masks.size())); rest != 0;
       rest &= rest - 1) {
    const int u = std::countr_zero(rest);
    if ((parent_masks[u] & s) != 0) continue;
    auto sub = dp_ind_lazy(s ^ (CoalitionMask{1} << u), parent_masks, n, memo);
    if (!sub) return sub;
    if (__builtin_add_overflow(total, *sub, &total)) return std::unexpected(overflow("dp_ind", s));
  }
  memo.emplace(s, total);
  return total;
}

bool estimate_sparse_feasible(const Dag& dag, std::span<const CoalitionMask> parent_masks,
                              std::uint64_t budget) {
  const std::size_t n = dag.size();
  if (n == 0) return true;
  const CoalitionMask nodes = low_bits(std::min(n, parent_masks.size()));
  absl::flat_hash_set<CoalitionMask> seen;
  seen.insert(0);
  // The discovery list doubles as the first-in first-out queue.
  std::vector<CoalitionMask> queue{0};
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const CoalitionMask s = queue[head];
    for (CoalitionMask rest = nodes & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      const CoalitionMask t = s | (CoalitionMask{1} << u);
      if (!seen.insert(t).second) continue;
      if (seen.size() > budget) return false;
      queue.push_back(t);
    }
  }
  return true;
}

Result<AsvResult> dag_exact_asv_sparse(const Dag& dag, const SparseConfig& config,
                                       std::span<const CoalitionMask> parent_masks,
                                       const ValueFunction& f) {
  const std::size_t n = dag.size();
  if (n > config.max_nodes) {
    return std::unexpected(VelmoraError::invalid_config(
        "exact_dag_sparse: n=" + std::to_string(n) + " exceeds max_nodes=" +
        std::to_string(config.max_nodes) + "; use approximate method for large DAGs"));
  }
  if (n > 63) {
    return std::unexpected(VelmoraError::invalid_config(
        "bitmask representation requires n ≤ 63 for sparse DP, got " + std::to_string(n)));
  }
  if (parent_masks.size() < n) {
    return std::unexpected(
        VelmoraError::invalid_config("exact_dag_sparse needs one parent mask per node"));
  }
  const CoalitionMask full = low_bits(n);

  // One slot per ideal, numbered in discovery order: the ideal and its forward count until
  // the backward pass visits it, its backward count and value after. Reusing the slot keeps
  // the whole programme at one 16-byte slot plus one map entry per ideal.
  struct Pending {
    CoalitionMask mask;
    std::uint64_t fwd;  // orders of the ideal
  };
  struct Done {
    std::uint64_t bwd;  // orders of the ideal's complement
    double value;
  };
  union Slot {
    Pending pending;
    Done done;
  };

  // Forward pass, breadth first: all ideals of k nodes are complete before any of k + 1 is
  // propagated. The fixed numbering also fixes the order of the backward pass, so results
  // are the same bit for bit run to run.
  absl::flat_hash_map<CoalitionMask, std::uint64_t> index;  // ideal -> slot number
  std::vector<Slot> slots;
  slots.push_back(Slot{.pending = {0, 1}});
  index.emplace(0, 0);
  for (std::size_t head = 0; head < slots.size(); ++head) {
    const auto [s, c] = slots[head].pending;
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      const CoalitionMask t = s | (CoalitionMask{1} << u);
      auto [it, fresh] = index.try_emplace(t, slots.size());
      if (fresh) slots.push_back(Slot{.pending = {t, 0}});
      std::uint64_t& count = slots[it->second].pending.fwd;
      if (__builtin_add_overflow(count, c, &count)) return std::unexpected(overflow("dp_fwd", t));
      if (fresh && index.size() > config.memory_limit_bytes / kSparseBytesPerState) {
        return std::unexpected(VelmoraError::invalid_config(
            "exact_dag_sparse: exceeded memory limit (" +
            std::to_string(config.memory_limit_bytes) + " bytes) after " +
            std::to_string(index.size()) + " order ideals; try approximate method"));
      }
    }
  }
  const std::size_t g = slots.size();

  // Backward pass, in reverse discovery order, so every successor T = S u {u} of an ideal S
  // is done before S. The complement of S is an up-set whose orders start with a node
  // addable to S: its count is the sum of its successors' counts (the numbers dp_ind_lazy
  // gives for the up-sets, without recursion or a second map). Each ideal's value is asked
  // once, when it is visited, and every marginal contribution v(T) - v(S) is weighed by the
  // orders in which exactly S precedes u. No count exceeds the order count of the whole DAG,
  // which the forward pass has bounded; the check only guards callers that skip validation.
  std::vector<double> acc(n, 0.0);
  Coalition nodes;
  nodes.reserve(n);
  for (std::size_t i = g; i-- > 0;) {
    const auto [s, count] = slots[i].pending;
    nodes.clear();
    for (CoalitionMask rest = s; rest != 0; rest &= rest - 1) {
      nodes.push_back(NodeId(static_cast<std::uint32_t>(std::countr_zero(rest))));
    }
    auto vs = f(nodes);
    if (!vs) return std::unexpected(std::move(vs.error()));
    const double before = static_cast<double>(count);
    std::uint64_t total = s == full ? 1 : 0;
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      const Done& next = slots[index.find(s | (CoalitionMask{1} << u))->second].done;
      if (__builtin_add_overflow(total, next.bwd, &total)) {
        return std::unexpected(overflow("dp_ind", full & ~s));
      }
      acc[u] += (next.value - *vs) * (static_cast<double>(next.bwd) * before);
    }
    slots[i].done = Done{total, *vs};
  }
  const double orders = static_cast<double>(slots[0].done.bwd);

  AsvResult result;
  result.values.resize(n);
  for (std::size_t u = 0; u < n; ++u) result.values[u] = acc[u] / orders;
  result.n_samples = g;
  result.is_exact = true;
  result.n_order_ideals = g;
  result.state_ratio = static_cast<double>(g) / std::ldexp(1.0, static_cast<int>(n));
  // Forward states plus the backward states dp_ind_lazy would memoise: every non-empty
  // up-set, one per ideal other than the full set.
  result.memory_mb =
      static_cast<double>((g + (g - 1)) * kSparseBytesPerState) * std::ldexp(1.0, -20);
  return result;
}

}  // namespace velmora
