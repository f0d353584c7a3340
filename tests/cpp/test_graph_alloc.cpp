// Allocation failures inside the graph store: a node that cannot be added must leave the
// store exactly as it was (in Python the caller sees MemoryError and keeps using the graph).
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "graph.hpp"

namespace {
// Allocations left before the next one fails on this thread; negative: never fail.
thread_local long g_allocations_left = -1;
}  // namespace

// The replacements below pair malloc with free; the compiler cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (g_allocations_left == 0) throw std::bad_alloc();
  if (g_allocations_left > 0) --g_allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// The nothrow forms are released by the same deletes, so they are replaced as well.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace velmora {
namespace {

// Every node is findable under its name, and every id has its name and both edge lists.
void expect_consistent(const Dag& d, std::size_t nodes) {
  ASSERT_EQ(d.size(), nodes);
  ASSERT_EQ(d.names().size(), nodes);
  for (std::size_t i = 0; i < nodes; ++i) {
    const auto id = d.find(d.name(NodeId(i)));
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->index(), i);
    (void)d.children(NodeId(i)).size();
    (void)d.parents(NodeId(i)).size();
  }
}

TEST(DagAllocation, FailedAddNodeLeavesTheStoreUnchanged) {
  // Sizes that make the next node grow the index and every per-node array at once, and a
  // name too long for the short-string buffer.
  for (std::size_t start : {7u, 8u, 14u, 15u, 16u, 31u, 32u}) {
    for (long fail_at = 0;; ++fail_at) {
      Dag d;
      for (std::size_t i = 0; i < start; ++i) d.add_node("node number " + std::to_string(i));
      const std::string name = "a name well beyond the short string buffer";
      bool threw = false;
      g_allocations_left = fail_at;
      try {
        d.add_node(name);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      g_allocations_left = -1;
      SCOPED_TRACE("start " + std::to_string(start) + ", failing allocation " +
                   std::to_string(fail_at));
      if (threw) {
        expect_consistent(d, start);
        EXPECT_FALSE(d.find(name).has_value());
        // The store keeps working after the failure.
        EXPECT_EQ(d.add_node(name).index(), start);
        expect_consistent(d, start + 1);
      } else {
        expect_consistent(d, start + 1);
        break;
      }
    }
  }
}

// Every edge is listed once from each end, and the duplicate test still refuses it.
void expect_edges_consistent(Dag& d, std::size_t edges) {
  std::size_t out = 0, in = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    out += d.children(NodeId(i)).size();
    in += d.parents(NodeId(i)).size();
  }
  EXPECT_EQ(out, edges);
  EXPECT_EQ(in, edges);
  EXPECT_EQ(d.num_edges(), edges);
  for (std::size_t u = 0; u < d.size(); ++u) {
    const std::vector<NodeId> kids(d.children(NodeId(u)).begin(), d.children(NodeId(u)).end());
    for (NodeId v : kids) EXPECT_FALSE(d.add_edge(NodeId(u), v).has_value());
  }
}

TEST(DagAllocation, FailedAddEdgeLeavesTheStoreUnchanged) {
  // A hub's duplicate test moves into a hash set when it reaches 32 children; the cases
  // cover ordinary nodes, that switch, and hubs whose set grows.
  for (std::size_t children : {0u, 3u, 4u, 31u, 32u, 33u, 47u, 48u, 64u}) {
    for (long fail_at = 0;; ++fail_at) {
      Dag d;
      const NodeId hub = d.add_node("hub");
      for (std::size_t i = 0; i < children; ++i) {
        ASSERT_TRUE(d.add_edge(hub, d.add_node(std::to_string(i))).has_value());
      }
      const NodeId last = d.add_node("last");
      bool threw = false;
      g_allocations_left = fail_at;
      try {
        EXPECT_TRUE(d.add_edge(hub, last).has_value());
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      g_allocations_left = -1;
      SCOPED_TRACE("children " + std::to_string(children) + ", failing allocation " +
                   std::to_string(fail_at));
      if (threw) {
        expect_edges_consistent(d, children);
        EXPECT_TRUE(d.add_edge(hub, last).has_value());
        expect_edges_consistent(d, children + 1);
      } else {
        expect_edges_consistent(d, children + 1);
        break;
      }
    }
  }
}

}  // namespace
}  // namespace velmora
