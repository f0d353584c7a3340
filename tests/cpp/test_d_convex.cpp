#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "d_convex.hpp"
#include "graph.hpp"

namespace velmora {
namespace {

using Edges = std::vector<std::pair<std::string, std::string>>;
using Names = std::vector<std::string>;

Dag make(const Edges& edges) {
  Dag d;
  for (const auto& [a, b] : edges) {
    const NodeId u = d.add_node(a);
    const NodeId v = d.add_node(b);
    EXPECT_TRUE(d.add_edge(u, v).has_value());
  }
  return d;
}

NodeSet set_of(const Dag& d, const Names& names) {
  NodeSet s(d.size());
  for (const auto& n : names) s.insert(*d.find(n));
  return s;
}

Names names_of(const Dag& d, const NodeSet& s) {
  Names out;
  for (NodeId v : s) out.push_back(d.name(v));
  return out;
}

// h2 -> y, x -> h1, h1 -> y, h2 -> x: two hidden paths of length two between x and y.
const Edges kTwoPaths{{"h2", "y"}, {"x", "h1"}, {"h1", "y"}, {"h2", "x"}};
// a -> v <- b, v -> c: a v-structure under a hidden node.
const Edges kVStructure{{"a", "v"}, {"b", "v"}, {"v", "c"}};

TEST(DConvex, ClosureFollowsTheOrderRules) {
  struct Case {
    const char* what;
    Edges edges;
    Names set;
    Names hull;  // in the set's order, then the added nodes in order of addition
  };
  const Case cases[] = {
      {"empty set", {{"a", "b"}, {"b", "c"}}, {}, {}},
      {"every node", {{"a", "b"}, {"b", "c"}}, {"c", "a", "b"}, {"c", "a", "b"}},
      {"chain", {{"a", "h"}, {"h", "b"}}, {"a", "b"}, {"a", "b", "h"}},
      {"collider", {{"a", "h"}, {"b", "h"}}, {"a", "b"}, {"a", "b"}},
      {"adjacent members",
       {{"a", "h1"}, {"h1", "b"}, {"a", "b"}, {"h2", "a"}, {"h2", "b"}},
       {"a", "b"},
       {"a", "b"}},
      {"two paths from x", kTwoPaths, {"x", "y"}, {"x", "y", "h1", "h2"}},
      {"two paths from y", kTwoPaths, {"y", "x"}, {"y", "x", "h2", "h1"}},
      {"v-structure", kVStructure, {"c"}, {"c"}},
      // h1 and h2 are married through their common child m (an ancestor of a): the first
      // pass adds the path a - h1 - h2 - b, the second the path a - m - h2.
      {"marriage",
       {{"h1", "a"}, {"h1", "m"}, {"h2", "m"}, {"h2", "b"}, {"m", "a"}},
       {"a", "b"},
       {"a", "b", "h1", "h2", "m"}},
  };
  for (const Case& c : cases) {
    const Dag d = make(c.edges);
    auto hull = d_convex_closure(d, set_of(d, c.set));
    ASSERT_TRUE(hull.has_value()) << c.what;
    EXPECT_EQ(names_of(d, *hull), c.hull) << c.what;
  }
}

TEST(DConvex, OnePassTakesTheFirstShortestPath) {
  const Dag d = make(kTwoPaths);
  // From x the search meets h1 before h2 and reaches y from h1; from y it meets h2 first.
  EXPECT_EQ(names_of(d, shortest_inducing_path_vertices(d, set_of(d, {"x", "y"}))),
            (Names{"x", "h1", "y"}));
  EXPECT_EQ(names_of(d, shortest_inducing_path_vertices(d, set_of(d, {"y", "x"}))),
            (Names{"y", "h2", "x"}));
  // Second pass from x: h1 is in the set now, so only the path through h2 remains.
  EXPECT_EQ(names_of(d, shortest_inducing_path_vertices(d, set_of(d, {"x", "y", "h1"}))),
            (Names{"x", "h2", "y"}));
}

TEST(DConvex, MoralGraphListsInFillOrder) {
  const Dag d = make(kVStructure);  // a=0, v=1, b=2, c=3
  const auto adj = moralize(d, set_of(d, {"c", "v", "a", "b"}));
  const auto names = [&](NodeId v) {
    Names out;
    for (NodeId w : adj[v.index()]) out.push_back(d.name(w));
    return out;
  };
  EXPECT_EQ(names(*d.find("a")), (Names{"v", "b"}));
  EXPECT_EQ(names(*d.find("v")), (Names{"c", "a", "b"}));
  EXPECT_EQ(names(*d.find("b")), (Names{"v", "a"}));
  EXPECT_EQ(names(*d.find("c")), (Names{"v"}));
  // Outside the ancestral set nothing is joined.
  const auto part = moralize(d, set_of(d, {"a"}));
  for (const auto& list : part) EXPECT_TRUE(list.empty());
}

TEST(DConvex, StrongHullAddsParentsOfHiddenColliders) {
  const Dag d = make(kVStructure);
  const auto id = [&](const char* n) { return *d.find(n); };
  auto strong = strong_d_convex_hull(d, std::vector<NodeId>{id("c")});
  ASSERT_TRUE(strong.has_value());
  EXPECT_EQ(names_of(d, *strong), (Names{"c", "a", "b", "v"}));
  auto repeated = strong_d_convex_hull(d, std::vector<NodeId>{id("c"), id("c")});
  EXPECT_EQ(names_of(d, *repeated), (Names{"c", "a", "b", "v"}));
  EXPECT_TRUE(strong_d_convex_hull(d, {})->empty());
  // Adjacent parents of a hidden collider are not added.
  const Dag adjacent = make({{"a", "v"}, {"b", "v"}, {"a", "b"}, {"v", "c"}});
  EXPECT_EQ(names_of(adjacent, *strong_d_convex_hull(adjacent, std::vector<NodeId>{NodeId(3)})),
            (Names{"c"}));
  auto bad = strong_d_convex_hull(d, std::vector<NodeId>{id("c"), NodeId(9), NodeId(4)});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message(), "invalid node id: NodeId(9)");
}

// ---- brute force ----------------------------------------------------------------------

// True when some non-adjacent pair of `hull` members is joined, in the moral graph of the
// pair's ancestors, by a path whose inner nodes are all outside `hull`: the condition the
// closure must leave unmet. Written from the definition, with plain sets.
bool has_inducing_path(const Dag& d, const std::set<NodeId>& hull) {
  for (NodeId x : hull) {
    for (NodeId y : hull) {
      if (!(x < y)) continue;
      const auto cx = d.children(x), cy = d.children(y);
      if (std::count(cx.begin(), cx.end(), y) || std::count(cy.begin(), cy.end(), x)) continue;
      std::set<NodeId> anc{x, y};
      for (bool grew = true; grew;) {
        grew = false;
        for (NodeId v : std::set<NodeId>(anc)) {
          for (NodeId p : d.parents(v)) grew |= anc.insert(p).second;
        }
      }
      std::set<std::pair<NodeId, NodeId>> moral;
      for (NodeId v : anc) {
        for (NodeId p : d.parents(v)) {
          moral.insert({p, v});
          moral.insert({v, p});
          for (NodeId q : d.parents(v)) {
            if (p != q) moral.insert({p, q});
          }
        }
      }
      std::set<NodeId> seen{x};
      std::vector<NodeId> stack{x};
      while (!stack.empty()) {
        const NodeId u = stack.back();
        stack.pop_back();
        for (NodeId w : anc) {
          if (!moral.count({u, w}) || seen.count(w)) continue;
          if (w == y) return true;
          if (hull.count(w)) continue;
          seen.insert(w);
          stack.push_back(w);
        }
      }
    }
  }
  return false;
}

TEST(DConvex, RandomGraphsReachAFixedPointOfTheDefinition) {
  // The oracle itself sees the chain's and the marriage's open paths.
  const Dag chain = make({{"a", "h"}, {"h", "b"}});
  EXPECT_TRUE(has_inducing_path(chain, {NodeId(0), NodeId(2)}));
  EXPECT_FALSE(has_inducing_path(chain, {NodeId(0), NodeId(1), NodeId(2)}));
  const Dag married = make({{"h1", "a"}, {"h1", "m"}, {"h2", "m"}, {"h2", "b"}, {"m", "a"}});
  EXPECT_TRUE(has_inducing_path(married, {NodeId(0), NodeId(1), NodeId(3), NodeId(4)}));

  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = 2 + rng() % 9;
    Dag d;
    for (std::size_t v = 0; v < n; ++v) d.add_node(std::to_string(v));
    for (std::size_t v = 1; v < n; ++v) {
      for (std::size_t u = 0; u < v; ++u) {
        if (rng() % 3 == 0) {
          ASSERT_TRUE(d.add_edge(NodeId(u), NodeId(v)).has_value());
        }
      }
    }
    std::vector<NodeId> ids;
    for (std::size_t v = 0; v < n; ++v) {
      if (rng() % 3 == 0) ids.push_back(NodeId(v));
    }
    std::shuffle(ids.begin(), ids.end(), rng);
    NodeSet start(n);
    for (NodeId v : ids) start.insert(v);

    auto hull = d_convex_closure(d, start);
    ASSERT_TRUE(hull.has_value());
    const std::set<NodeId> h(hull->begin(), hull->end());
    EXPECT_FALSE(has_inducing_path(d, h)) << "round " << round;
    // The members come first, in their order.
    EXPECT_TRUE(std::equal(start.begin(), start.end(), hull->begin()));
    // Closing a closed set adds nothing.
    EXPECT_EQ(d_convex_closure(d, *hull)->size(), hull->size());

    auto strong = strong_d_convex_hull(d, ids);
    ASSERT_TRUE(strong.has_value());
    const std::set<NodeId> s(strong->begin(), strong->end());
    EXPECT_FALSE(has_inducing_path(d, s));
    EXPECT_TRUE(std::includes(s.begin(), s.end(), h.begin(), h.end()));
    EXPECT_EQ(strong_d_convex_hull(d, strong->members())->size(), strong->size());
  }
}

}  // namespace
}  // namespace velmora
