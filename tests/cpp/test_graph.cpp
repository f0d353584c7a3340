#include <gtest/gtest.h>

#include "coalition.hpp"
#include "d_convex.hpp"
#include "graph.hpp"
#include "tree.hpp"

namespace velmora {
namespace {

Dag make(std::initializer_list<std::pair<const char*, const char*>> edges) {
  Dag d;
  for (auto [a, b] : edges) {
    const NodeId u = d.add_node(a);
    const NodeId v = d.add_node(b);
    EXPECT_TRUE(d.add_edge(u, v).has_value());
  }
  return d;
}

std::vector<std::uint32_t> ids(std::span<const NodeId> xs) {
  std::vector<std::uint32_t> out;
  for (NodeId x : xs) out.push_back(x.value);
  return out;
}

TEST(Dag, IdsFollowFirstAppearanceAndNamesAreExact) {
  Dag d;
  EXPECT_EQ(d.add_node("b").value, 0u);
  EXPECT_EQ(d.add_node("a").value, 1u);
  EXPECT_EQ(d.add_node("b").value, 0u);
  EXPECT_EQ(d.add_node("B").value, 2u);  // case-sensitive
  EXPECT_EQ(d.add_node("").value, 3u);   // the empty name is a name
  EXPECT_EQ(d.size(), 4u);
  EXPECT_EQ(d.find("a"), NodeId(1));
  EXPECT_FALSE(d.find("zz").has_value());
}

TEST(Dag, AddEdgeRefusalsLeaveTheStoreUnchanged) {
  Dag d;
  d.add_node("a");
  d.add_node("b");
  ASSERT_TRUE(d.add_edge(NodeId(0), NodeId(1)).has_value());
  struct Case {
    std::uint32_t from, to;
    const char* message;
  };
  for (const Case& c :
       {Case{0, 1, "duplicate edge NodeId(0) -> NodeId(1)"},
        Case{7, 7, "self-loop on node NodeId(7)"}, Case{5, 0, "invalid node id: NodeId(5)"},
        Case{0, 9, "invalid node id: NodeId(9)"}}) {
    auto st = d.add_edge(NodeId(c.from), NodeId(c.to));
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().message(), c.message);
  }
  EXPECT_EQ(d.num_edges(), 1u);
  EXPECT_EQ(ids(d.children(NodeId(0))), std::vector<std::uint32_t>{1});
  EXPECT_EQ(ids(d.parents(NodeId(1))), std::vector<std::uint32_t>{0});
}

TEST(Dag, ValidateReportsEmptyAndCycles) {
  Dag empty;
  EXPECT_EQ(empty.validate().error().kind(), ErrorKind::EmptyGraph);
  Dag single;
  single.add_node("a");
  EXPECT_TRUE(single.validate().has_value());
  EXPECT_EQ(make({{"a", "b"}, {"b", "a"}}).validate().error().message(), "cycle detected in graph");
  // A cycle hanging below an acyclic part is still found.
  EXPECT_EQ(make({{"r", "a"}, {"a", "b"}, {"b", "c"}, {"c", "a"}}).validate().error().kind(),
            ErrorKind::Cycle);
  EXPECT_TRUE(make({{"a", "b"}, {"a", "c"}, {"b", "d"}, {"c", "d"}}).validate().has_value());
}

TEST(Dag, InducedSubgraphKeepsSourceOrder) {
  Dag d = make({{"a", "c"}, {"a", "b"}, {"b", "c"}});
  // ids: a=0, c=1, b=2; ask in reverse order with a repeat.
  auto sub = d.induced_subgraph(std::vector<NodeId>{NodeId(2), NodeId(0), NodeId(2)});
  ASSERT_TRUE(sub.has_value());
  EXPECT_EQ(sub->names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ids(sub->children(NodeId(0))), std::vector<std::uint32_t>{1});
  auto bad = d.induced_subgraph(std::vector<NodeId>{NodeId(0), NodeId(3), NodeId(4)});
  EXPECT_EQ(bad.error().message(), "invalid node id: NodeId(3)");
  auto none = d.induced_subgraph({});
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->size(), 0u);
}

TEST(Dag, SetExpansions) {
  Dag d = make({{"a", "b"}, {"b", "c"}});
  NodeSet a(3), c(3);
  a.insert(NodeId(0));
  c.insert(NodeId(2));
  EXPECT_EQ(ids(children_or_self(d, a).members()), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(ids(ancestors_or_self(d, c).members()), (std::vector<std::uint32_t>{2, 1, 0}));
}

TEST(Tree, RootedTreeTest) {
  EXPECT_EQ(find_rooted_tree_root(make({{"r", "a"}, {"r", "b"}, {"a", "c"}})).value(), NodeId(0));
  Dag single;
  single.add_node("x");
  EXPECT_EQ(find_rooted_tree_root(single).value(), NodeId(0));
  for (const Dag& d : {Dag{}, make({{"a", "c"}, {"b", "c"}}), make({{"a", "b"}, {"c", "d"}})}) {
    EXPECT_EQ(find_rooted_tree_root(d).error().message(), "graph is not a rooted directed tree");
  }
}

TEST(Errors, MessagesOfEveryKind) {
  EXPECT_EQ(VelmoraError::value_function_failed("KeyError: 'x'").message(),
            "value function error: KeyError: 'x'");
  EXPECT_EQ(VelmoraError::invalid_config("n_samples must be > 0").message(),
            "invalid configuration: n_samples must be > 0");
  EXPECT_EQ(VelmoraError::linear_extension_overflow("x").message(),
            "linear extension count overflowed u64: x");
  EXPECT_EQ(VelmoraError::tree_budget_exceeded(8192, 50000, 245761, 200000).message(),
            "exact_tree: tree shape exceeds the feasibility budget (largest single side-sibling "
            "product 8192 vs budget 50000; estimated total work 245761 vs budget 200000); use "
            "exact_dag_sparse or approx");
  EXPECT_EQ(VelmoraError::conflicting_edge(NodeId(0), NodeId(1)).message(),
            "conflicting edge between NodeId(0) and NodeId(1): an edge with a different "
            "orientation already exists");
  EXPECT_EQ(VelmoraError::no_consistent_extension().message(),
            "PDAG has no consistent DAG extension (undirected edges can't be oriented without "
            "creating a cycle or a new v-structure)");
  EXPECT_EQ(VelmoraError::hull_no_fixed_point().message(),
            "d-convex hull computation did not reach a fixed point within the expected iteration "
            "bound; this indicates an implementation bug");
  EXPECT_EQ(VelmoraError::empty_graph().message(), "graph is empty");
}

TEST(Coalition, MasksAndWordsBecomeAscendingIds) {
  EXPECT_TRUE(mask_to_coalition(0).empty());
  EXPECT_EQ(ids(mask_to_coalition((1ULL << 63) | (1ULL << 5) | 1ULL)),
            (std::vector<std::uint32_t>{0, 5, 63}));
  LargeCoalition c(2);
  c.insert(NodeId(64));
  c.insert(NodeId(1));
  EXPECT_EQ(ids(c.to_sorted_nodes()), (std::vector<std::uint32_t>{1, 64}));
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST(Dag, DuplicatesAreFoundOnHubsToo) {
  // Past a few dozen children the duplicate test switches to a hash probe; both must agree.
  Dag d;
  const NodeId hub = d.add_node("hub");
  for (int i = 0; i < 100; ++i) {
    const NodeId leaf = d.add_node("leaf" + std::to_string(i));
    ASSERT_TRUE(d.add_edge(hub, leaf).has_value());
    for (int j : {0, i / 2, i}) {
      auto st = d.add_edge(hub, NodeId(static_cast<std::uint32_t>(j + 1)));
      ASSERT_FALSE(st.has_value());
      EXPECT_EQ(st.error().kind(), ErrorKind::DuplicateEdge);
    }
  }
  EXPECT_EQ(d.num_edges(), 100u);
  EXPECT_EQ(d.children(hub).size(), 100u);
  // Copies carry the index with them.
  Dag copy = d;
  EXPECT_FALSE(copy.add_edge(hub, NodeId(99)).has_value());
  EXPECT_TRUE(copy.add_edge(NodeId(99), hub).has_value());
}

}  // namespace
}  // namespace velmora
