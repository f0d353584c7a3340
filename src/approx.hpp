// Fixed-budget importance-sampling estimates of the ASV, and the pieces every sampling
// estimator shares: the walk along one ordering and the accumulator policies.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "asv.hpp"
#include "cache.hpp"
#include "coalition.hpp"
#include "graph.hpp"

namespace velmora {

// ---- The walk ---------------------------------------------------------------------------

// Running coalition of the mask path; LargeCoalition offers the same clear/insert shape.
struct MaskCoalition {
  CoalitionMask bits = 0;
  void clear() { bits = 0; }
  void insert(NodeId v) { bits |= CoalitionMask{1} << v.index(); }
};

// Walks one ordering: the value of the empty coalition, then of every prefix, handing each
// node's marginal contribution to `add(node, delta)`. `value(coalition)` returns a Result;
// the first failure ends the walk.
template <typename CoalitionT, typename Value, typename Add>
Status walk_ordering(std::span<const NodeId> order, CoalitionT& coalition, Value&& value,
                     Add&& add) {
  coalition.clear();
  auto before = value(coalition);
  if (!before) return std::unexpected(std::move(before.error()));
  double prev = *before;
  for (NodeId v : order) {
    coalition.insert(v);
    auto after = value(coalition);
    if (!after) return std::unexpected(std::move(after.error()));
    add(v, *after - prev);
    prev = *after;
  }
  return {};
}

// Cached evaluation of a mask coalition that builds the node list in a reused buffer, so a
// miss costs the value function call and the cache insert, nothing else.
class MaskValue {
 public:
  MaskValue(ValueCache& cache, const ValueFunction& f, std::size_t n) : cache_(cache), f_(f) {
    nodes_.reserve(n);
  }
  Result<double> operator()(const MaskCoalition& c) {
    if (auto it = cache_.find(c.bits); it != cache_.end()) return it->second;
    nodes_.clear();
    for (CoalitionMask m = c.bits; m != 0; m &= m - 1) {
      nodes_.push_back(NodeId(static_cast<std::uint32_t>(std::countr_zero(m))));
    }
    auto v = f_(std::span<const NodeId>(nodes_));
    if (v) cache_.emplace(c.bits, *v);
    return v;
  }

 private:
  ValueCache& cache_;
  const ValueFunction& f_;
  Coalition nodes_;
};

// ---- Accumulator policies -------------------------------------------------------------

struct PlainSum {
  double sum = 0.0;
  void add(double x) { sum += x; }
  void scale(double f) { sum *= f; }
};

// Kahan summation: keeps sums over hundreds of thousands of orderings accurate.
struct CompensatedSum {
  double sum = 0.0;
  double comp = 0.0;
  void add(double x) {
    const double y = x - comp;
    const double t = sum + y;
    comp = (t - sum) - y;
    sum = t;
  }
  void scale(double f) {
    sum *= f;
    comp *= f;
  }
};

// What a run, chunk or pool piece hands on: weighted contribution sums and the weight sums.
struct SampleTotals {
  std::vector<double> sums;
  double w = 0.0;
  double w2 = 0.0;

  explicit SampleTotals(std::size_t n) : sums(n, 0.0) {}
  // Plain addition; callers keep the lower chunk on the left for reproducible rounding.
  void add(const SampleTotals& rhs) {
    for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += rhs.sums[i];
    w += rhs.w;
    w2 += rhs.w2;
  }
};

// Importance-weighted sums Σ w·Δv, Σ w, Σ w² under one summation policy.
template <typename Sum>
struct ImportanceSums {
  std::vector<Sum> sums;
  Sum w;
  Sum w2;

  explicit ImportanceSums(std::size_t n) : sums(n) {}
  void add_contribution(NodeId v, double weighted_delta) { sums[v.index()].add(weighted_delta); }
  void add_weight(double weight) {
    w.add(weight);
    w2.add(weight * weight);
  }
  // Rescales everything by f (weights by f, squared weights by f²) when the log-weight
  // shift moves up.
  void scale(double f) {
    for (Sum& s : sums) s.scale(f);
    w.scale(f);
    w2.scale(f * f);
  }
  SampleTotals totals() const {
    SampleTotals out(sums.size());
    for (std::size_t i = 0; i < sums.size(); ++i) out.sums[i] = sums[i].sum;
    out.w = w.sum;
    out.w2 = w2.sum;
    return out;
  }
};

// Walks one ordering of weight `w`, adding w·Δv for every node into `acc`.
template <typename CoalitionT, typename Value, typename Sum>
Status walk_weighted(std::span<const NodeId> order, CoalitionT& coalition, Value&& value,
                     ImportanceSums<Sum>& acc, double w) {
  return walk_ordering(order, coalition, value,
                       [&](NodeId v, double delta) { acc.add_contribution(v, delta * w); });
}

// values = sums / W, ESS = W² / W2 (Kish).
AsvResult importance_result(const SampleTotals& totals, std::size_t n_samples,
                            std::optional<std::uint64_t> seed);

// ---- Estimators ---------------------------------------------------------------------------

// Self-normalised importance-sampling estimate from `n_samples` orderings of the sequential
// sampler. Plans: sequential (seed, not parallel), seeded chunks on the default task arena
// (seed, parallel; `num_threads` chunks, default the arena's concurrency) and unseeded pool
// pieces (no seed). The DAG has been validated.
Result<AsvResult> approximate_asv(const Dag& dag, const ValueFunction& f,
                                  std::optional<std::uint64_t> seed,
                                  std::optional<std::size_t> num_threads, std::size_t n_samples,
                                  bool parallel);

// The same estimate drawn in batches of `batch_size` orderings (absent: 256, 0 counts as 1);
// each batch's missing coalitions go to `f` in one call, in ascending mask order.
Result<AsvResult> approximate_asv_batched(const Dag& dag, const BatchValueFunction& f,
                                          std::optional<std::uint64_t> seed,
                                          std::optional<std::size_t> batch_size,
                                          std::size_t n_samples);

}  // namespace velmora
