#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>

#include "asv.hpp"
#include "topo.hpp"

namespace velmora {
namespace {

struct Edge {
  const char* from;
  const char* to;
};

Dag make(std::initializer_list<Edge> edges, std::initializer_list<const char*> lone = {}) {
  Dag d;
  for (const char* name : lone) d.add_node(name);
  for (auto [a, b] : edges) {
    const NodeId u = d.add_node(a);
    const NodeId v = d.add_node(b);
    EXPECT_TRUE(d.add_edge(u, v).has_value());
  }
  return d;
}

CoalitionMask mask_of(std::span<const NodeId> ids) {
  CoalitionMask m = 0;
  for (NodeId id : ids) m |= CoalitionMask{1} << id.index();
  return m;
}

// Every permutation that respects the edges, in lexicographic order of ids.
std::vector<std::vector<NodeId>> brute_orders(const Dag& d) {
  std::vector<NodeId> perm;
  for (std::size_t i = 0; i < d.size(); ++i) perm.push_back(NodeId(i));
  std::vector<std::vector<NodeId>> out;
  do {
    std::vector<std::size_t> pos(d.size());
    for (std::size_t i = 0; i < perm.size(); ++i) pos[perm[i].index()] = i;
    bool ok = true;
    for (std::size_t u = 0; u < d.size() && ok; ++u) {
      for (NodeId v : d.children(NodeId(u))) ok = ok && pos[u] < pos[v.index()];
    }
    if (ok) out.push_back(perm);
  } while (std::next_permutation(perm.begin(), perm.end()));
  return out;
}

// The definition, walked over stored orders with the same floating-point operations.
std::vector<double> brute_asv(const Dag& d, const std::function<double(CoalitionMask)>& v,
                              const std::vector<std::vector<NodeId>>& orders) {
  std::vector<double> sums(d.size(), 0.0);
  for (const auto& order : orders) {
    CoalitionMask p = 0;
    for (NodeId u : order) {
      const CoalitionMask with = p | (CoalitionMask{1} << u.index());
      sums[u.index()] = (v(with) - v(p)) + sums[u.index()];
      p = with;
    }
  }
  const double scale = 1.0 / static_cast<double>(orders.size());
  for (double& s : sums) s *= scale;
  return sums;
}

ValueFunction native(std::function<double(CoalitionMask)> v) {
  return [v](std::span<const NodeId> c) -> Result<double> { return v(mask_of(c)); };
}

// A value function that records every coalition it is asked for.
struct Recorder {
  std::vector<CoalitionMask> calls;
  std::function<double(CoalitionMask)> v;
  ValueFunction fn() {
    return [this](std::span<const NodeId> c) -> Result<double> {
      EXPECT_TRUE(std::is_sorted(c.begin(), c.end()));
      calls.push_back(mask_of(c));
      return v(calls.back());
    };
  }
};

const std::vector<std::pair<const char*, std::function<double(CoalitionMask)>>> kGames = {
    {"additive",
     [](CoalitionMask m) {
       double s = 0;
       for (int i = 0; i < 64; ++i) s += ((m >> i) & 1U) ? 1.5 * i - 2.0 : 0.0;
       return s;
     }},
    {"interacting",
     [](CoalitionMask m) {
       const double k = std::popcount(m);
       return k * k + ((m & 3U) == 3U ? 10.0 : 0.0);
     }},
    {"non-monotone",
     [](CoalitionMask m) {
       // An arbitrary table: a mixed hash of the mask.
       std::uint64_t h = (m + 0x9e3779b97f4a7c15ULL) * 0xbf58476d1ce4e5b9ULL;
       h ^= h >> 31;
       return static_cast<double>(h % 2001) / 100.0 - 10.0;
     }},
};

struct GraphCase {
  const char* name;
  Dag dag;
};

std::vector<GraphCase> graph_cases() {
  std::vector<GraphCase> cases;
  cases.push_back({"single", make({}, {"a"})});
  cases.push_back({"chain", make({{"a", "b"}, {"b", "c"}})});
  cases.push_back({"collider", make({{"a", "c"}, {"b", "c"}})});
  cases.push_back({"independent5", make({}, {"a", "b", "c", "d", "e"})});
  cases.push_back({"diamond", make({{"a", "b"}, {"a", "c"}, {"b", "d"}, {"c", "d"}})});
  // Parents with larger ids than their children, and a disconnected part.
  cases.push_back({"mixed", make({{"x", "y"}, {"z", "x"}, {"w", "y"}, {"z", "v"}, {"u", "t"}})});
  return cases;
}

TEST(Topo, OrdersComeOutLexicographicallyAndComplete) {
  const Dag d = make({{"a", "c"}}, {"a", "b"});
  auto orders = enumerate_topos(d);
  ASSERT_TRUE(orders.has_value());
  const std::vector<std::vector<NodeId>> want = {{NodeId(0), NodeId(1), NodeId(2)},
                                                 {NodeId(0), NodeId(2), NodeId(1)},
                                                 {NodeId(1), NodeId(0), NodeId(2)}};
  EXPECT_EQ(*orders, want);
  for (const auto& c : graph_cases()) {
    auto got = enumerate_topos(c.dag);
    ASSERT_TRUE(got.has_value()) << c.name;
    EXPECT_EQ(*got, brute_orders(c.dag)) << c.name;
  }
}

TEST(Topo, InvalidGraphsFailValidation) {
  EXPECT_EQ(enumerate_topos(Dag()).error().kind(), ErrorKind::EmptyGraph);
  EXPECT_EQ(enumerate_topos(make({{"a", "b"}, {"b", "a"}})).error().kind(), ErrorKind::Cycle);
}

TEST(Exact, MatchesTheDefinitionBitForBit) {
  auto cases = graph_cases();
  // Beyond the directly indexed value table: 18 nodes, a chain of 15 beside three loose ones.
  Dag wide = make({}, {"p", "q", "r"});
  NodeId prev = wide.add_node("0");
  for (int i = 1; i < 15; ++i) {
    const NodeId next = wide.add_node(std::to_string(i));
    ASSERT_TRUE(wide.add_edge(prev, next));
    prev = next;
  }
  cases.push_back({"18 nodes", wide});
  for (const auto& c : cases) {
    const AsvExplainer explainer(c.dag);
    // The stored enumeration is checked against filtered permutations in the Topo tests.
    const auto orders = enumerate_topos(c.dag).value();
    for (const auto& [game, v] : kGames) {
      auto r = explainer.exact(native(v));
      ASSERT_TRUE(r.has_value()) << c.name << " " << game;
      // Same orders, same operations: identical doubles, not merely close ones.
      EXPECT_EQ(r->values, brute_asv(c.dag, v, orders)) << c.name << " " << game;
      EXPECT_EQ(r->n_samples, orders.size());
      EXPECT_TRUE(r->is_exact);
      EXPECT_FALSE(r->ess || r->stderr_ || r->converged || r->seed || r->selected_method ||
                   r->fallback_from || r->fallback_reason || r->n_order_ideals || r->state_ratio ||
                   r->memory_mb);
    }
  }
}

TEST(Exact, CallsOncePerOrderIdealWithTheSingletonFirst) {
  for (const auto& c : graph_cases()) {
    std::set<CoalitionMask> ideals{0};
    for (const auto& order : brute_orders(c.dag)) {
      for (std::size_t k = 1; k <= order.size(); ++k) {
        ideals.insert(mask_of(std::span(order).first(k)));
      }
    }
    Recorder rec{{}, kGames[1].second};
    ASSERT_TRUE(AsvExplainer(c.dag).exact(rec.fn()).has_value());
    EXPECT_EQ(std::set<CoalitionMask>(rec.calls.begin(), rec.calls.end()), ideals) << c.name;
    EXPECT_EQ(rec.calls.size(), ideals.size()) << c.name << ": a coalition was asked twice";
    // With before without: the smallest-id source, then the empty coalition.
    const auto first = brute_orders(c.dag).front().front();
    ASSERT_GE(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0], CoalitionMask{1} << first.index());
    EXPECT_EQ(rec.calls[1], 0u);
  }
}

TEST(Exact, FailuresComeBeforeAnyCallOrStopTheWalk) {
  Dag wide;  // 65 nodes: one past the mask width
  const NodeId root = wide.add_node("r");
  for (int i = 1; i < 65; ++i) ASSERT_TRUE(wide.add_edge(root, wide.add_node(std::to_string(i))));
  struct Case {
    const char* name;
    Dag dag;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", Dag(), "graph is empty"},
      {"cycle", make({{"a", "b"}, {"b", "c"}, {"c", "a"}}), "cycle detected in graph"},
      {"65 nodes", wide, "invalid configuration: bitmask coalitions require n \u2264 64, got 65"},
  };
  for (const auto& c : cases) {
    Recorder rec{{}, kGames[0].second};
    auto r = AsvExplainer(c.dag).exact(rec.fn());
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_TRUE(rec.calls.empty()) << c.name;
  }

  // A failing evaluation ends the walk at once and is returned unchanged.
  const Dag d = make({}, {"a", "b", "c", "d"});
  for (std::size_t fail_at : {0u, 1u, 7u}) {
    std::size_t calls = 0;
    auto r = AsvExplainer(d).exact([&](std::span<const NodeId>) -> Result<double> {
      if (calls++ == fail_at) return std::unexpected(VelmoraError::value_function_failed("boom"));
      return 1.0;
    });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "value function error: boom");
    EXPECT_EQ(calls, fail_at + 1);
  }
}

TEST(Exact, SixtyFourNodesFitTheMask) {
  Dag chain;
  NodeId prev = chain.add_node("0");
  for (int i = 1; i < 64; ++i) {
    const NodeId next = chain.add_node(std::to_string(i));
    ASSERT_TRUE(chain.add_edge(prev, next));
    prev = next;
  }
  Recorder rec{
      {}, [](CoalitionMask m) { return static_cast<double>(std::popcount(m)) * std::popcount(m); }};
  auto r = AsvExplainer(chain).exact(rec.fn());
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(r->n_samples, 1u);
  // The 65 prefixes, each once, the empty set second.
  EXPECT_EQ(rec.calls.size(), 65u);
  EXPECT_EQ(std::set<CoalitionMask>(rec.calls.begin(), rec.calls.end()).size(), 65u);
  EXPECT_EQ(rec.calls[1], 0u);
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(r->values[i], 2.0 * i + 1.0);
}

}  // namespace
}  // namespace velmora
