// The three exact programmes against a brute-force oracle over all topological orders, and
// their failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "asv.hpp"
#include "dag_dp.hpp"
#include "dag_dp_sparse.hpp"
#include "tree.hpp"

namespace velmora {
namespace {

using Edges = std::vector<std::pair<int, int>>;

Dag make_dag(int n, const Edges& edges) {
  Dag d;
  for (int i = 0; i < n; ++i) d.add_node(std::to_string(i));
  for (auto [a, b] : edges) EXPECT_TRUE(d.add_edge(NodeId(a), NodeId(b)).has_value());
  return d;
}

std::vector<CoalitionMask> masks_of(const Dag& d) {
  std::vector<CoalitionMask> pm(d.size(), 0);
  for (std::size_t v = 0; v < d.size(); ++v) {
    for (NodeId p : d.parents(NodeId(v))) pm[v] |= CoalitionMask{1} << p.index();
  }
  return pm;
}

// Random DAG whose edges do not follow id order: edges go from perm[i] to perm[j], i < j.
Dag random_dag(int n, double p, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<int> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), rng);
  std::bernoulli_distribution coin(p);
  Edges edges;
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (coin(rng)) edges.emplace_back(perm[i], perm[j]);
    }
  }
  std::shuffle(edges.begin(), edges.end(), rng);  // children lists out of id order too
  return make_dag(n, edges);
}

// Random rooted tree; `reach` bounds how far back a node looks for its parent (small = deep).
Dag random_tree(int n, int reach, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<int> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), rng);
  Edges edges;
  for (int k = 1; k < n; ++k) {
    std::uniform_int_distribution<int> pick(std::max(0, k - reach), k - 1);
    edges.emplace_back(perm[pick(rng)], perm[k]);
  }
  return make_dag(n, edges);
}

// A game with no structure to lean on: each coalition gets a pseudo-random worth.
double worth(CoalitionMask s) {
  std::uint64_t z = s + 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53 * 10.0 - 5.0;
}

CoalitionMask to_mask(std::span<const NodeId> nodes) {
  CoalitionMask m = 0;
  for (NodeId v : nodes) m |= CoalitionMask{1} << v.index();
  return m;
}

// Records every coalition it is asked for, in order.
struct Recorder {
  std::vector<CoalitionMask> calls;
  ValueFunction fn() {
    return [this](std::span<const NodeId> nodes) -> Result<double> {
      EXPECT_TRUE(std::is_sorted(nodes.begin(), nodes.end()));
      calls.push_back(to_mask(nodes));
      return worth(calls.back());
    };
  }
};

struct Oracle {
  std::vector<double> values;
  std::set<CoalitionMask> ideals;  // every prefix of every order
  std::uint64_t orders = 0;
};

// Straight from the definition: average marginal contributions over all topological orders.
Oracle brute_force(const Dag& d) {
  const std::size_t n = d.size();
  const auto pm = masks_of(d);
  Oracle out;
  out.values.assign(n, 0.0);
  std::vector<int> order;
  auto rec = [&](auto&& self, CoalitionMask placed) -> void {
    out.ideals.insert(placed);
    if (order.size() == n) {
      ++out.orders;
      CoalitionMask prefix = 0;
      for (int u : order) {
        out.values[u] += worth(prefix | (CoalitionMask{1} << u)) - worth(prefix);
        prefix |= CoalitionMask{1} << u;
      }
      return;
    }
    for (std::size_t u = 0; u < n; ++u) {
      if ((placed >> u) & 1U || (pm[u] & ~placed) != 0) continue;
      order.push_back(static_cast<int>(u));
      self(self, placed | (CoalitionMask{1} << u));
      order.pop_back();
    }
  };
  rec(rec, 0);
  for (double& v : out.values) v /= static_cast<double>(out.orders);
  return out;
}

void expect_close(const std::vector<double>& got, const std::vector<double>& want,
                  const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], want[i], 1e-9 * (1.0 + std::abs(want[i]))) << what << " node " << i;
  }
}

std::set<CoalitionMask> as_set(const std::vector<CoalitionMask>& calls) {
  return {calls.begin(), calls.end()};
}

// ---------------------------------------------------------------------------------------
// Agreement with the oracle on small graphs.

struct SmallCase {
  const char* name;
  int n;
  Edges edges;
};

std::vector<SmallCase> small_cases() {
  std::vector<SmallCase> cases = {
      {"single", 1, {}},
      {"chain", 3, {{0, 1}, {1, 2}}},
      {"chain backwards ids", 4, {{3, 2}, {2, 1}, {1, 0}}},
      {"edgeless", 5, {}},
      {"collider", 3, {{0, 2}, {1, 2}}},
      {"diamond", 4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}}},
      {"star", 6, {{2, 0}, {2, 1}, {2, 3}, {2, 4}, {2, 5}}},
      {"tree", 8, {{0, 1}, {0, 2}, {1, 3}, {1, 4}, {2, 5}, {5, 6}, {5, 7}}},
      {"two components", 6, {{0, 1}, {2, 3}, {3, 4}}},
      {"edgeless 8", 8, {}},
  };
  return cases;
}

void check_against_oracle(const Dag& d, const std::string& what) {
  const Oracle want = brute_force(d);
  const AsvExplainer ex(d);
  {
    Recorder rec;
    auto got = ex.exact_dag(rec.fn());
    ASSERT_TRUE(got.has_value()) << what << ": " << got.error().message();
    expect_close(got->values, want.values, what + " dense");
    EXPECT_TRUE(got->is_exact);
    EXPECT_EQ(got->n_samples, std::size_t{1} << d.size());
    EXPECT_EQ(rec.calls.size(), want.ideals.size()) << what;  // once per ideal
    EXPECT_EQ(as_set(rec.calls), want.ideals) << what;
    EXPECT_EQ(rec.calls.front(), 0u);
  }
  {
    Recorder rec;
    auto got = ex.exact_dag_sparse(rec.fn());
    ASSERT_TRUE(got.has_value()) << what << ": " << got.error().message();
    expect_close(got->values, want.values, what + " sparse");
    EXPECT_EQ(rec.calls.size(), want.ideals.size()) << what;
    EXPECT_EQ(as_set(rec.calls), want.ideals) << what;
    EXPECT_EQ(got->n_samples, want.ideals.size());
    EXPECT_EQ(got->n_order_ideals, want.ideals.size());
    EXPECT_DOUBLE_EQ(*got->state_ratio, static_cast<double>(want.ideals.size()) /
                                            std::ldexp(1.0, static_cast<int>(d.size())));
    EXPECT_DOUBLE_EQ(*got->memory_mb,
                     (2.0 * static_cast<double>(want.ideals.size()) - 1.0) * 80.0 / 1048576.0);
  }
  if (ex.is_rooted_tree()) {
    Recorder rec;
    auto got = ex.exact_tree(rec.fn());
    ASSERT_TRUE(got.has_value()) << what << ": " << got.error().message();
    expect_close(got->values, want.values, what + " tree");
    EXPECT_EQ(got->n_samples, 0u);
    EXPECT_EQ(as_set(rec.calls), want.ideals) << what;
    EXPECT_EQ(rec.calls.size(), want.ideals.size()) << what;
  }
}

TEST(ExactDp, AgreeWithBruteForceOnSmallGraphs) {
  for (const SmallCase& c : small_cases()) check_against_oracle(make_dag(c.n, c.edges), c.name);
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const int n = 2 + static_cast<int>(seed % 7);
    const double p = 0.15 + 0.1 * static_cast<double>(seed % 5);
    check_against_oracle(random_dag(n, p, seed), "random dag seed " + std::to_string(seed));
  }
  for (std::uint64_t seed = 0; seed < 15; ++seed) {
    const int n = 2 + static_cast<int>(seed % 7);
    check_against_oracle(random_tree(n, n, seed), "random tree seed " + std::to_string(seed));
  }
}

TEST(ExactDp, OptionalFieldsOfExactResults) {
  const AsvExplainer ex(make_dag(3, {{0, 1}}));
  for (auto run : {&AsvExplainer::exact_dag, &AsvExplainer::exact_dag_sparse}) {
    Recorder rec;
    auto r = (ex.*run)(rec.fn());
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->ess || r->stderr_ || r->converged || r->seed || r->selected_method ||
                 r->fallback_from || r->fallback_reason);
    // Only the sparse programme reports its state statistics.
    EXPECT_EQ(r->n_order_ideals.has_value(), run == &AsvExplainer::exact_dag_sparse);
  }
}

// ---------------------------------------------------------------------------------------
// Agreement between the methods where brute force is out of reach.

TEST(ExactDp, DenseAndSparseAgreeOnMidSizeGraphs) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    const int n = 15 + static_cast<int>(seed);  // 15 .. 20
    const Dag d = random_dag(n, 0.25, 100 + seed);
    const AsvExplainer ex(d);
    Recorder dense_rec, sparse_rec;
    auto dense = ex.exact_dag(dense_rec.fn());
    auto sparse = ex.exact_dag_sparse(sparse_rec.fn());
    ASSERT_TRUE(dense.has_value() && sparse.has_value());
    expect_close(sparse->values, dense->values, "n=" + std::to_string(n));
    EXPECT_EQ(as_set(dense_rec.calls), as_set(sparse_rec.calls));
    EXPECT_EQ(dense_rec.calls.size(), *sparse->n_order_ideals);
  }
}

TEST(ExactDp, TreeAndSparseAgreeOnLargerTrees) {
  int checked = 0;
  for (std::uint64_t seed = 0; checked < 6 && seed < 200; ++seed) {
    const int n = 20 + static_cast<int>(seed % 21);  // 20 .. 40
    const Dag d = random_tree(n, 3, 500 + seed);
    const AsvExplainer ex(d);
    const auto cost =
        estimate_tree_exact_cost(d, *find_rooted_tree_root(d), kTreeSideBudget, kTreeWorkBudget);
    if (!cost.feasible || !estimate_sparse_feasible(d, ex.parent_masks(), 300000)) continue;
    ++checked;
    SparseConfig config;
    config.max_nodes = 63;
    Recorder tree_rec, sparse_rec;
    auto tree = ex.exact_tree(tree_rec.fn());
    auto sparse = ex.exact_dag_sparse_with_config(sparse_rec.fn(), config);
    ASSERT_TRUE(tree.has_value() && sparse.has_value());
    expect_close(tree->values, sparse->values, "tree n=" + std::to_string(n));
    EXPECT_EQ(as_set(tree_rec.calls), as_set(sparse_rec.calls));
  }
  EXPECT_EQ(checked, 6);
}

TEST(ExactDp, SparseIsReproducibleBitForBit) {
  const AsvExplainer ex(random_dag(18, 0.2, 7));
  Recorder a, b;
  auto first = ex.exact_dag_sparse(a.fn());
  auto second = ex.exact_dag_sparse(b.fn());
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(std::memcmp(first->values.data(), second->values.data(),
                        first->values.size() * sizeof(double)),
            0);
  EXPECT_EQ(a.calls, b.calls);
}

// ---------------------------------------------------------------------------------------
// Orders of value requests.

TEST(ExactDp, ValueRequestOrder) {
  // a -> c, b: ids a=0, b=1, c=2.
  const AsvExplainer ex(make_dag(3, {{0, 2}}));
  Recorder dense, sparse;
  ASSERT_TRUE(ex.exact_dag(dense.fn()).has_value());
  ASSERT_TRUE(ex.exact_dag_sparse(sparse.fn()).has_value());
  // Dense: ideals ascending, each S then its successors.
  EXPECT_EQ(dense.calls, (std::vector<CoalitionMask>{0b0, 0b1, 0b10, 0b11, 0b101, 0b111}));
  // Sparse: ideals in reverse discovery order (breadth first from the empty set).
  EXPECT_EQ(sparse.calls, (std::vector<CoalitionMask>{0b111, 0b101, 0b11, 0b10, 0b1, 0b0}));
}

TEST(ExactDp, NanValues) {
  // The dense table takes NaN for "not yet evaluated": a NaN coalition is asked again at each
  // lookup. The hashed caches of the other methods keep it.
  const AsvExplainer ex(make_dag(2, {{0, 1}}));
  for (auto run :
       {&AsvExplainer::exact_dag, &AsvExplainer::exact_dag_sparse, &AsvExplainer::exact_tree}) {
    int nan_calls = 0;
    auto r = (ex.*run)([&](std::span<const NodeId> s) -> Result<double> {
      if (to_mask(s) == 0b1) {
        ++nan_calls;
        return std::numeric_limits<double>::quiet_NaN();
      }
      return static_cast<double>(s.size());
    });
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(std::isnan(r->values[0]) && std::isnan(r->values[1]));
    EXPECT_EQ(nan_calls, run == &AsvExplainer::exact_dag ? 2 : 1);
  }
}

// ---------------------------------------------------------------------------------------
// Failures: exact texts, and no value asked for before a counting or size failure.

struct Counting {
  int calls = 0;
  ValueFunction fn() {
    return [this](std::span<const NodeId> s) -> Result<double> {
      ++calls;
      return static_cast<double>(s.size());
    };
  }
};

TEST(ExactDp, SizeFailures) {
  const AsvExplainer edgeless21(make_dag(21, {}));
  const AsvExplainer chain29(random_tree(29, 1, 3));
  Edges chain;
  for (int i = 0; i + 1 < 64; ++i) chain.emplace_back(i, i + 1);
  const AsvExplainer chain64(make_dag(64, chain));
  SparseConfig wide;
  wide.max_nodes = 64;
  Counting c;
  struct Case {
    Result<AsvResult> got;
    const char* message;
  };
  const Case cases[] = {
      {edgeless21.exact_dag(c.fn()),
       "invalid configuration: exact_dag requires n ≤ 20 (2^n DP states), got 21"},
      {chain29.exact_dag_sparse(c.fn()),
       "invalid configuration: exact_dag_sparse: n=29 exceeds max_nodes=28; use approximate "
       "method for large DAGs"},
      {chain64.exact_dag_sparse(c.fn()),
       "invalid configuration: exact_dag_sparse: n=64 exceeds max_nodes=28; use approximate "
       "method for large DAGs"},
      {chain64.exact_dag_sparse_with_config(c.fn(), wide),
       "invalid configuration: bitmask representation requires n ≤ 63 for sparse DP, got 64"},
  };
  for (const Case& k : cases) {
    ASSERT_FALSE(k.got.has_value());
    EXPECT_EQ(k.got.error().message(), k.message);
  }
  EXPECT_EQ(c.calls, 0);
  // The same 29-node chain fits once max_nodes allows it.
  SparseConfig config;
  config.max_nodes = 63;
  auto ok = chain29.exact_dag_sparse_with_config(c.fn(), config);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok->n_order_ideals, 30u);
  EXPECT_DOUBLE_EQ(*ok->state_ratio, 30.0 / std::ldexp(1.0, 29));
}

TEST(ExactDp, DenseRunsAtTwentyNodes) {
  Counting c;
  auto r = AsvExplainer(random_dag(20, 0.3, 11)).exact_dag(c.fn());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->n_samples, std::size_t{1} << 20);
  // Additive game: every node is worth exactly 1.
  for (double v : r->values) EXPECT_NEAR(v, 1.0, 1e-12);
}

TEST(ExactDp, SparseMemoryLimit) {
  // 10 unrelated nodes have 1024 ideals; each is charged 80 bytes.
  const AsvExplainer ex(make_dag(10, {}));
  SparseConfig config;
  config.max_nodes = 63;
  Counting c;
  config.memory_limit_bytes = 80 * 1024;
  EXPECT_TRUE(ex.exact_dag_sparse_with_config(c.fn(), config).has_value());
  config.memory_limit_bytes = 80 * 1024 - 1;
  c.calls = 0;
  auto r = ex.exact_dag_sparse_with_config(c.fn(), config);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "invalid configuration: exact_dag_sparse: exceeded memory limit (81919 bytes) after "
            "1024 order ideals; try approximate method");
  config.memory_limit_bytes = 8000;
  r = ex.exact_dag_sparse_with_config(c.fn(), config);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "invalid configuration: exact_dag_sparse: exceeded memory limit (8000 bytes) after "
            "101 order ideals; try approximate method");
  EXPECT_EQ(c.calls, 0);
}

// Three disjoint chains of 21 nodes: 10648 ideals, but 63!/(21!)^3 orders. Chain k holds the
// ids k, k + 3, k + 6, ... so the ideals interleave in id order.
Dag three_chains() {
  Edges e;
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i + 1 < 21; ++i) e.emplace_back(k + 3 * i, k + 3 * (i + 1));
  }
  return make_dag(63, e);
}

// Exact order count of a set of the three chains: a multinomial coefficient, in 128 bits.
unsigned __int128 chain_orders(CoalitionMask s) {
  int len[3] = {0, 0, 0};
  for (int b = 0; b < 63; ++b) len[b % 3] += static_cast<int>((s >> b) & 1U);
  unsigned __int128 r = 1;
  int placed = 0;
  for (int k : len) {
    for (int i = 1; i <= k; ++i)
      r = r * static_cast<unsigned>(placed + i) / static_cast<unsigned>(i);
    placed += k;
  }
  return r;
}

CoalitionMask parse_set(const std::string& message, const std::string& table) {
  const std::string head = "linear extension count overflowed u64: " + table + "[0b";
  const std::string tail = "] overflowed u64 — use approx for this DAG";
  EXPECT_EQ(message.rfind(head, 0), 0u) << message;
  EXPECT_TRUE(message.ends_with(tail)) << message;
  const std::string bits = message.substr(head.size(), message.size() - head.size() - tail.size());
  EXPECT_EQ(bits.find_first_not_of("01"), std::string::npos);
  return std::stoull(bits, nullptr, 2);
}

constexpr unsigned __int128 kTwo64 = static_cast<unsigned __int128>(1) << 64;

TEST(ExactDp, ForwardOverflowNamesTheFirstSetPastSixtyFourBits) {
  const Dag d = three_chains();
  const AsvExplainer ex(d);
  SparseConfig config;
  config.max_nodes = 63;
  Counting c;
  auto r = ex.exact_dag_sparse_with_config(c.fn(), config);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::LinearExtensionOverflow);
  EXPECT_EQ(c.calls, 0);
  // The named set is an ideal whose count needs more than 64 bits, and it is met in the first
  // layer (by size) where that happens: every smaller ideal fits (45 nodes, see chain_orders).
  const CoalitionMask t = parse_set(r.error().message(), "dp_fwd");
  EXPECT_GE(chain_orders(t), kTwo64);
  EXPECT_EQ(std::popcount(t), 45);
  const auto pm = masks_of(d);
  for (int b = 0; b < 63; ++b) EXPECT_TRUE(!((t >> b) & 1U) || (pm[b] & ~t) == 0);
}

TEST(DpIndLazy, CountsAndOverflow) {
  const auto pm_pair = masks_of(make_dag(2, {}));
  const auto pm_chain = masks_of(make_dag(2, {{0, 1}}));
  CountMemo memo;
  EXPECT_EQ(dp_ind_lazy(0, pm_pair, 2, memo), 1u);
  EXPECT_TRUE(memo.empty());
  EXPECT_EQ(dp_ind_lazy(0b11, pm_pair, 2, memo), 2u);
  memo.clear();
  EXPECT_EQ(dp_ind_lazy(0b11, pm_chain, 2, memo), 1u);
  // A set that is not an up-set has a count too: {1} alone in the chain.
  EXPECT_EQ(dp_ind_lazy(0b10, pm_chain, 2, memo), 1u);

  // Matches the dense table on every subset.
  const Dag d = random_dag(10, 0.3, 5);
  const auto pm = masks_of(d);
  auto dense = compute_dp_ind(10, pm);
  ASSERT_TRUE(dense.has_value());
  memo.clear();
  for (CoalitionMask s = 0; s < (1u << 10); ++s) {
    EXPECT_EQ(dp_ind_lazy(s, pm, 10, memo), (*dense)[s]) << s;
  }
  EXPECT_EQ((*dense)[(1u << 10) - 1], brute_force(d).orders);

  // Overflow names a set whose own count needs more than 64 bits while every set it recursed
  // into fit; the counts found before stay in the memo.
  const Dag chains = three_chains();
  const auto cpm = masks_of(chains);
  memo.clear();
  auto r = dp_ind_lazy((CoalitionMask{1} << 63) - 1, cpm, 63, memo);
  ASSERT_FALSE(r.has_value());
  const CoalitionMask s = parse_set(r.error().message(), "dp_ind");
  EXPECT_GE(chain_orders(s), kTwo64);
  for (int b = 0; b < 63; ++b) {
    if (((s >> b) & 1U) && (cpm[b] & s) == 0) {
      EXPECT_LT(chain_orders(s ^ (CoalitionMask{1} << b)), kTwo64);
    }
  }
  EXPECT_FALSE(memo.empty());
}

TEST(EstimateSparseFeasible, ComparesIdealCountWithBudget) {
  Edges chain;
  for (int i = 0; i + 1 < 10; ++i) chain.emplace_back(i, i + 1);
  const Dag d = make_dag(10, chain);  // 11 ideals
  const auto pm = masks_of(d);
  EXPECT_TRUE(estimate_sparse_feasible(d, pm, 11));
  EXPECT_FALSE(estimate_sparse_feasible(d, pm, 10));
  EXPECT_TRUE(estimate_sparse_feasible(Dag{}, {}, 0));
  const Dag wide = make_dag(12, {});  // 4096 ideals
  EXPECT_TRUE(estimate_sparse_feasible(wide, masks_of(wide), 4096));
  EXPECT_FALSE(estimate_sparse_feasible(wide, masks_of(wide), 4095));
  // Cheap however large the DAG: 63 unrelated nodes have 2^63 ideals.
  const Dag huge = make_dag(63, {});
  EXPECT_FALSE(estimate_sparse_feasible(huge, masks_of(huge), 1000));
}

TEST(ExactDp, ValueFailureStopsEachMethod) {
  const AsvExplainer ex(make_dag(4, {{0, 1}, {0, 2}, {2, 3}}));
  for (auto run :
       {&AsvExplainer::exact_dag, &AsvExplainer::exact_dag_sparse, &AsvExplainer::exact_tree}) {
    int calls = 0;
    auto r = (ex.*run)([&](std::span<const NodeId>) -> Result<double> {
      if (++calls == 3) return std::unexpected(VelmoraError::value_function_failed("boom"));
      return 1.0;
    });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "value function error: boom");
    EXPECT_EQ(calls, 3);
  }
}

TEST(ExactDp, InvalidGraphsFailEveryEntryPoint) {
  Dag cyclic = make_dag(3, {{0, 1}, {1, 2}, {2, 1}});
  for (const Dag* d : {&cyclic}) {
    const AsvExplainer ex(*d);
    Counting c;
    EXPECT_EQ(ex.exact_dag(c.fn()).error().kind(), ErrorKind::Cycle);
    EXPECT_EQ(ex.exact_dag_sparse(c.fn()).error().kind(), ErrorKind::Cycle);
    EXPECT_EQ(ex.exact_tree(c.fn()).error().kind(), ErrorKind::Cycle);
    EXPECT_EQ(c.calls, 0);
  }
  const AsvExplainer empty{Dag{}};
  Counting c;
  EXPECT_EQ(empty.exact_dag(c.fn()).error().kind(), ErrorKind::EmptyGraph);
  EXPECT_EQ(empty.exact_dag_sparse(c.fn()).error().kind(), ErrorKind::EmptyGraph);
  EXPECT_EQ(empty.exact_tree(c.fn()).error().kind(), ErrorKind::EmptyGraph);
  // Not a tree: two roots, and a node with two parents.
  for (const Dag& d : {make_dag(2, {}), make_dag(3, {{0, 2}, {1, 2}})}) {
    EXPECT_EQ(AsvExplainer(d).exact_tree(c.fn()).error().message(),
              "graph is not a rooted directed tree");
  }
  EXPECT_EQ(c.calls, 0);
}

// ---------------------------------------------------------------------------------------
// The rooted-tree cost estimate.

Dag star(int leaves) {
  Edges e;
  for (int i = 1; i <= leaves; ++i) e.emplace_back(0, i);
  return make_dag(leaves + 1, e);
}

TEST(TreeCost, StarsAtTheBudgetEdge) {
  const auto fits = estimate_tree_exact_cost(star(14), NodeId(0), 50000, 200000);
  EXPECT_EQ(fits.largest_side_product, 8192u);
  EXPECT_EQ(fits.total_work, 114689u);
  EXPECT_EQ(fits.side_budget, 50000u);
  EXPECT_EQ(fits.work_budget, 200000u);
  EXPECT_TRUE(fits.feasible);
  Counting c;
  auto ok = AsvExplainer(star(14)).exact_tree(c.fn());
  ASSERT_TRUE(ok.has_value());
  for (double v : ok->values) EXPECT_NEAR(v, 1.0, 1e-9);

  auto r = AsvExplainer(star(15)).exact_tree(c.fn());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "exact_tree: tree shape exceeds the feasibility budget (largest single side-sibling "
            "product 16384 vs budget 50000; estimated total work 245761 vs budget 200000); use "
            "exact_dag_sparse or approx");
}

TEST(TreeCost, ShapesAndSaturation) {
  Edges chain;
  for (int i = 0; i + 1 < 100; ++i) chain.emplace_back(i, i + 1);
  const auto c = estimate_tree_exact_cost(make_dag(100, chain), NodeId(0), 1, 100);
  EXPECT_EQ(c.largest_side_product, 1u);
  EXPECT_EQ(c.total_work, 100u);
  EXPECT_TRUE(c.feasible);

  // Root with two children: a leaf (I = 2) and a chain of three (I = 4). B of the chain's
  // nodes is 2, B of the leaf is 4.
  const auto two =
      estimate_tree_exact_cost(make_dag(5, {{0, 1}, {0, 2}, {2, 3}, {3, 4}}), NodeId(0), 4, 10);
  EXPECT_EQ(two.largest_side_product, 4u);
  EXPECT_EQ(two.total_work, 1u + 4u + 3u * 2u);
  EXPECT_FALSE(two.feasible);

  // 70 leaves: B(leaf) = 2^69 saturates, and so does the sum.
  const auto wide = estimate_tree_exact_cost(star(70), NodeId(0), 50000, 200000);
  EXPECT_EQ(wide.largest_side_product, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(wide.total_work, std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(wide.feasible);
  // Ideal counts saturate too: a root over 70 subtrees that are each a node with two leaves.
  Edges deep;
  for (int i = 0; i < 70; ++i) {
    deep.emplace_back(0, 1 + 3 * i);
    deep.emplace_back(1 + 3 * i, 2 + 3 * i);
    deep.emplace_back(1 + 3 * i, 3 + 3 * i);
  }
  const Dag top = make_dag(211, deep);
  const auto sat = estimate_tree_exact_cost(top, NodeId(0), 50000, 200000);
  EXPECT_EQ(sat.total_work, std::numeric_limits<std::uint64_t>::max());
  // A tree of 65 or more nodes within the budgets fails on the coalition width.
  Edges chain65;
  for (int i = 0; i + 1 < 65; ++i) chain65.emplace_back(i, i + 1);
  Counting count;
  auto r = AsvExplainer(make_dag(65, chain65)).exact_tree(count.fn());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "invalid configuration: bitmask coalitions require n ≤ 64, got 65");
  EXPECT_EQ(count.calls, 0);
}

}  // namespace
}  // namespace velmora
