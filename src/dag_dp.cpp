#include "dag_dp.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace velmora {

namespace {

std::string dense_size_message(std::size_t n) {
  return "exact_dag requires n ≤ 20 (2^n DP states), got " + std::to_string(n);
}

VelmoraError overflow(const char* table, CoalitionMask s) {
  return VelmoraError::linear_extension_overflow(std::string(table) + "[" + mask_to_binary(s) +
                                                 "] overflowed u64 — use approx for this DAG");
}

}  // namespace

std::string mask_to_binary(CoalitionMask mask) {
  std::string out = "0b";
  if (mask == 0) return out + "0";
  for (int bit = std::bit_width(mask) - 1; bit >= 0; --bit) out += ((mask >> bit) & 1U) ? '1' : '0';
  return out;
}

Result<std::vector<std::uint64_t>> compute_dp_ind(std::size_t n,
                                                  std::span<const CoalitionMask> parent_masks) {
  if (n > kDenseMaxNodes)
    return std::unexpected(VelmoraError::invalid_config(dense_size_message(n)));
  const std::size_t states = std::size_t{1} << n;
  // Nodes past the parent masks can never be a first element.
  const std::size_t m = std::min(n, parent_masks.size());
  const CoalitionMask known = m == 64 ? ~CoalitionMask{0} : (CoalitionMask{1} << m) - 1;
  std::vector<std::uint64_t> dp(states, 0);
  dp[0] = 1;
  for (CoalitionMask s = 1; s < states; ++s) {
    std::uint64_t total = 0;
    for (CoalitionMask rest = s & known; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & s) != 0) continue;
      if (__builtin_add_overflow(total, dp[s ^ (CoalitionMask{1} << u)], &total)) {
        return std::unexpected(overflow("dp_ind", s));
      }
    }
    dp[s] = total;
  }
  return dp;
}

Result<double> value_cached_dense(std::vector<double>& table, CoalitionMask s,
                                  const ValueFunction& f) {
  if (const double known = table[s]; !std::isnan(known)) return known;
  const Coalition nodes = mask_to_coalition(s);
  auto value = f(nodes);
  if (value) table[s] = *value;
  return value;
}

Result<AsvResult> dag_exact_asv(const Dag& dag, std::span<const CoalitionMask> parent_masks,
                                const ValueFunction& f) {
  const std::size_t n = dag.size();
  if (n > kDenseMaxNodes)
    return std::unexpected(VelmoraError::invalid_config(dense_size_message(n)));
  if (parent_masks.size() < n) {
    return std::unexpected(
        VelmoraError::invalid_config("exact_dag needs one parent mask per node"));
  }
  const std::size_t states = std::size_t{1} << n;
  const CoalitionMask full = states - 1;

  // Forward counts: orders of each ideal; every other set stays 0. Ascending masks visit
  // every subset of S before S, so counts are complete before they are propagated.
  std::vector<std::uint64_t> fwd(states, 0);
  fwd[0] = 1;
  for (CoalitionMask s = 0; s < states; ++s) {
    const std::uint64_t c = fwd[s];
    if (c == 0) continue;
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      std::uint64_t& t = fwd[s | (CoalitionMask{1} << u)];
      if (__builtin_add_overflow(t, c, &t)) return std::unexpected(overflow("dp_fwd", s));
    }
  }
  auto ind = compute_dp_ind(n, parent_masks);
  if (!ind) return std::unexpected(std::move(ind.error()));
  const std::vector<std::uint64_t>& bwd = *ind;

  const double orders = static_cast<double>(bwd[full]);
  std::vector<double> table(states, std::numeric_limits<double>::quiet_NaN());
  std::vector<double> acc(n, 0.0);
  for (CoalitionMask s = 0; s < states; ++s) {
    if (fwd[s] == 0) continue;
    const double before = static_cast<double>(fwd[s]);
    auto vs = value_cached_dense(table, s, f);
    if (!vs) return std::unexpected(std::move(vs.error()));
    for (CoalitionMask rest = full & ~s; rest != 0; rest &= rest - 1) {
      const int u = std::countr_zero(rest);
      if ((parent_masks[u] & ~s) != 0) continue;
      const CoalitionMask t = s | (CoalitionMask{1} << u);
      const double weight = static_cast<double>(bwd[full & ~t]) * before;
      auto vt = value_cached_dense(table, t, f);
      if (!vt) return std::unexpected(std::move(vt.error()));
      acc[u] += (*vt - *vs) * weight;
    }
  }

  AsvResult result;
  result.values.resize(n);
  for (std::size_t u = 0; u < n; ++u) result.values[u] = acc[u] / orders;
  result.n_samples = states;
  result.is_exact = true;
  return result;
}

}  // namespace velmora
