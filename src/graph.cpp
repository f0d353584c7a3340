#include "graph.hpp"

#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

constexpr std::size_t kHubDegree = 32;

// absl's tables set their new capacity before allocating the larger array, so a growth
// that fails inside an insertion leaves them unusable. A table about to need room for
// `count` more entries is instead grown into a separately built one, whose construction
// is the only step that can fail, and its entries are moved over without allocating.
template <typename Table>
void grow_before_insert(Table& table, std::size_t count) {
  // Never later than the table's own growth point (7/8 of the capacity).
  if (table.size() + count <= table.capacity() / 8 * 7) return;
  Table bigger(2 * (table.size() + count) + 16);
  for (auto it = table.begin(); it != table.end();) {
    auto next = std::next(it);
    bigger.insert(table.extract(it));
    it = next;
  }
  table.swap(bigger);
}

// Room for one more entry at the vector's usual geometric pace.
template <typename Vec>
void grow_before_push(Vec& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() < 4 ? 4 : 2 * v.size());
}
// The system Abseil may carry its own string_view type; convert for heterogeneous lookup.
absl::string_view absl_view(std::string_view s) { return absl::string_view(s.data(), s.size()); }
}  // namespace

NodeId Dag::add_node(std::string_view name) {
  if (auto it = index_.find(absl_view(name)); it != index_.end()) return it->second;
  // Everything that can fail (the strings, the arrays' growth, the index's growth) happens
  // before the first change, so a failed allocation leaves the store as it was.
  // Ids are 32 bits wide: one node more would silently share id 0.
  if (names_.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("a graph holds at most 4294967296 nodes");
  }
  const NodeId id(names_.size());
  grow_before_push(names_);
  grow_before_push(children_);
  grow_before_push(parents_);
  grow_before_insert(index_, 1);
  std::string key(name);
  std::string copy(name);
  index_.try_emplace(std::move(key), id);
  names_.push_back(std::move(copy));
  children_.emplace_back();
  parents_.emplace_back();
  return id;
}

std::optional<NodeId> Dag::find(std::string_view name) const {
  auto it = index_.find(absl_view(name));
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

Status Dag::add_edge(NodeId from, NodeId to) {
  // Self-loop first, so the same out-of-range id at both ends reports the loop.
  if (from == to) return std::unexpected(VelmoraError::self_loop(from));
  if (!contains(from)) return std::unexpected(VelmoraError::invalid_node(from));
  if (!contains(to)) return std::unexpected(VelmoraError::invalid_node(to));
  auto& kids = children_[from.index()];
  const auto key = [from](NodeId v) { return std::uint64_t{from.value} << 32 | v.value; };
  if (kids.size() < kHubDegree) {
    for (NodeId c : kids) {
      if (c == to) return std::unexpected(VelmoraError::duplicate_edge(from, to));
    }
  } else if (hub_edges_.contains(key(to))) {
    return std::unexpected(VelmoraError::duplicate_edge(from, to));
  }
  // Room first, so that a failed allocation leaves the store as it was.
  grow_before_push(kids);
  grow_before_push(parents_[to.index()]);
  if (kids.size() + 1 >= kHubDegree) grow_before_insert(hub_edges_, kHubDegree);
  kids.push_back(to);
  if (kids.size() == kHubDegree) {
    for (NodeId c : kids) hub_edges_.insert(key(c));
  } else if (kids.size() > kHubDegree) {
    hub_edges_.insert(key(to));
  }
  parents_[to.index()].push_back(from);
  ++num_edges_;
  return {};
}

Status Dag::validate() const {
  const std::size_t n = size();
  if (n == 0) return std::unexpected(VelmoraError::empty_graph());
  std::vector<std::size_t> pending(n);
  std::vector<NodeId> queue;
  queue.reserve(n);
  for (std::size_t v = 0; v < n; ++v) {
    pending[v] = parents_[v].size();
    if (pending[v] == 0) queue.push_back(NodeId(v));
  }
  // The queue only grows at the back, so a vector with a read cursor is FIFO.
  for (std::size_t head = 0; head < queue.size(); ++head) {
    for (NodeId c : children_[queue[head].index()]) {
      if (--pending[c.index()] == 0) queue.push_back(c);
    }
  }
  if (queue.size() != n) return std::unexpected(VelmoraError::cycle());
  return {};
}

Result<Dag> Dag::induced_subgraph(std::span<const NodeId> ids) const {
  const std::size_t n = size();
  std::vector<char> keep(n, 0);
  for (NodeId id : ids) {
    if (!contains(id)) return std::unexpected(VelmoraError::invalid_node(id));
    keep[id.index()] = 1;
  }
  Dag out;
  std::vector<NodeId> new_id(n);
  for (std::size_t u = 0; u < n; ++u) {
    if (keep[u]) new_id[u] = out.add_node(names_[u]);
  }
  for (std::size_t u = 0; u < n; ++u) {
    if (!keep[u]) continue;
    for (NodeId v : children_[u]) {
      if (!keep[v.index()]) continue;
      if (auto st = out.add_edge(new_id[u], new_id[v.index()]); !st) {
        return std::unexpected(st.error());
      }
    }
  }
  return out;
}

std::vector<NodeId> Dag::all_nodes() const {
  std::vector<NodeId> ids(size());
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = NodeId(i);
  return ids;
}

}  // namespace velmora
