#include "dag_dp_sparse.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
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

  // Forward pass. Ideals are numbered in discovery order (breadth first, so by size), which
  // also fixes the order of every later pass: results are the same bit for bit run to run.
  // `index` maps an ideal to its number; `ideals` and `fwd` are indexed by that number.
  absl::flat_hash_map<CoalitionMask, std::uint64_t> index;
  std::vector<CoalitionMask> ideals{0};
  std::vector<std::uint64_t> fwd{1};
  index.emplace(0, 0);
  for (std::size_t head = 0; head < ideals.size(); ++head) {
    const CoalitionMask s = ideals[head];
    const std::uint64_t c = fwd[head];
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      const CoalitionMask t = s | (CoalitionMask{1} << u);
      auto [it, fresh] = index.try_emplace(t, ideals.size());
      if (fresh) {
        ideals.push_back(t);
        fwd.push_back(0);
      }
      std::uint64_t& count = fwd[it->second];
      if (__builtin_add_overflow(count, c, &count)) return std::unexpected(overflow("dp_fwd", t));
      if (fresh && index.size() > config.memory_limit_bytes / kSparseBytesPerState) {
        return std::unexpected(VelmoraError::invalid_config(
            "exact_dag_sparse: exceeded memory limit (" +
            std::to_string(config.memory_limit_bytes) + " bytes) after " +
            std::to_string(index.size()) + " order ideals; try approximate method"));
      }
    }
  }
  const std::size_t g = ideals.size();

  // Backward counts: bwd[i] = orders of the complement of ideal i, an up-set. Its first
  // element is a node addable to the ideal, so it sums over the ideal's successors, which come
  // later in discovery order. Every count is at most the order count of the whole DAG, which
  // the forward pass has already bounded, so this cannot overflow. The same numbers as
  // dp_ind_lazy over the up-sets, without the recursion or a second map.
  std::vector<std::uint64_t> bwd(g, 0);
  for (std::size_t i = g; i-- > 0;) {
    const CoalitionMask s = ideals[i];
    if (s == full) {
      bwd[i] = 1;
      continue;
    }
    std::uint64_t total = 0;
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      total += bwd[index.find(s | (CoalitionMask{1} << u))->second];
    }
    bwd[i] = total;
  }
  const double orders = static_cast<double>(bwd[0]);

  // Values, one per ideal. The first request of each ideal is as v(T) from its first
  // predecessor; v(S) is asked right after the first v(T) of S (it only reaches the value
  // function for the empty set).
  std::vector<double> values(g, 0.0);
  std::vector<char> known(g, 0);
  auto value_of = [&](std::size_t i) -> Result<double> {
    if (known[i]) return values[i];
    const Coalition nodes = mask_to_coalition(ideals[i]);
    auto v = f(nodes);
    if (v) {
      values[i] = *v;
      known[i] = 1;
    }
    return v;
  };
  std::vector<double> acc(n, 0.0);
  for (std::size_t i = 0; i < g; ++i) {
    const CoalitionMask s = ideals[i];
    const double before = static_cast<double>(fwd[i]);
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      const std::size_t j = index.find(s | (CoalitionMask{1} << u))->second;
      const double weight = static_cast<double>(bwd[j]) * before;
      auto vt = value_of(j);
      if (!vt) return std::unexpected(std::move(vt.error()));
      auto vs = value_of(i);
      if (!vs) return std::unexpected(std::move(vs.error()));
      acc[u] += (*vt - *vs) * weight;
    }
  }

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
