#include "d_convex.hpp"

#include <algorithm>
#include <cassert>

namespace velmora {

NodeSet ancestors_or_self(const Dag& dag, const NodeSet& set) {
  NodeSet out = set;
  // Members are appended in discovery order, so the set itself serves as the FIFO queue.
  for (std::size_t head = 0; head < out.size(); ++head) {
    for (NodeId p : dag.parents(out[head])) out.insert(p);
  }
  return out;
}

NodeSet children_or_self(const Dag& dag, const NodeSet& set) {
  NodeSet out = set;
  for (NodeId u : set) {
    for (NodeId v : dag.children(u)) out.insert(v);
  }
  return out;
}

namespace {

bool adjacent(const Dag& dag, NodeId a, NodeId b) {
  const auto ca = dag.children(a);
  const auto cb = dag.children(b);
  return std::find(ca.begin(), ca.end(), b) != ca.end() ||
         std::find(cb.begin(), cb.end(), a) != cb.end();
}

// The hidden nodes: every id not in `set`, ascending.
NodeSet hidden_nodes(const NodeSet& set) {
  NodeSet hidden(set.universe());
  for (std::size_t v = 0; v < set.universe(); ++v) {
    if (!set.contains(NodeId(v))) hidden.insert(NodeId(v));
  }
  return hidden;
}

using Adjacency = std::vector<std::vector<NodeId>>;

// Undirected join without duplicates; the list order is the search's tie-break.
void join(Adjacency& adj, NodeId a, NodeId b) {
  if (a == b) return;
  auto& la = adj[a.index()];
  if (std::find(la.begin(), la.end(), b) != la.end()) return;
  la.push_back(b);
  adj[b.index()].push_back(a);
}

// Fills `adj` (all lists of members of `ancestral` empty) with the moral graph.
void fill_moral_graph(const Dag& dag, const NodeSet& ancestral, Adjacency& adj) {
  for (NodeId u : ancestral) {
    for (NodeId c : dag.children(u)) {
      if (ancestral.contains(c)) join(adj, u, c);
    }
  }
  for (NodeId z : ancestral) {
    // An ancestral set holds every parent of its members.
    const auto ps = dag.parents(z);
    for (std::size_t i = 0; i < ps.size(); ++i) {
      for (std::size_t j = i + 1; j < ps.size(); ++j) join(adj, ps[i], ps[j]);
    }
  }
}

// Buffers of the pair searches of one pass, sized once and reset through the touched
// entries only.
class PairSearch {
 public:
  explicit PairSearch(std::size_t n) : adj_(n), visited_(n, 0), pred_(n) {}

  // Inner nodes of the first shortest path x .. y in the moral graph of the ancestors of
  // {x, y} whose inner nodes are hidden, appended to `out` together with x and y.
  void add_path(const Dag& dag, const NodeSet& hidden, NodeId x, NodeId y, NodeSet& out) {
    NodeSet ends(dag.size());
    ends.insert(x);
    ends.insert(y);
    const NodeSet ancestral = ancestors_or_self(dag, ends);
    fill_moral_graph(dag, ancestral, adj_);
    const auto allowed = [&](NodeId w) {
      return w == x || w == y || (hidden.contains(w) && ancestral.contains(w));
    };
    queue_.assign(1, x);
    visited_[x.index()] = 1;
    bool reached = false;
    for (std::size_t head = 0; head < queue_.size() && !reached; ++head) {
      const NodeId u = queue_[head];
      for (NodeId w : adj_[u.index()]) {
        if (!allowed(w) || visited_[w.index()]) continue;
        visited_[w.index()] = 1;
        pred_[w.index()] = u;
        if (w == y) {
          reached = true;
          break;
        }
        queue_.push_back(w);
      }
    }
    if (reached) {
      path_.clear();
      for (NodeId v = y; v != x; v = pred_[v.index()]) path_.push_back(v);
      path_.push_back(x);
      for (auto it = path_.rbegin(); it != path_.rend(); ++it) out.insert(*it);
    }
    // Every visited node was queued except y.
    for (NodeId v : queue_) visited_[v.index()] = 0;
    visited_[y.index()] = 0;
    for (NodeId v : ancestral) adj_[v.index()].clear();
  }

 private:
  Adjacency adj_;
  std::vector<char> visited_;
  std::vector<NodeId> pred_;
  std::vector<NodeId> queue_;
  std::vector<NodeId> path_;
};

}  // namespace

std::vector<std::vector<NodeId>> moralize(const Dag& dag, const NodeSet& ancestral) {
  Adjacency adj(dag.size());
  fill_moral_graph(dag, ancestral, adj);
  return adj;
}

NodeSet shortest_inducing_path_vertices(const Dag& dag, const NodeSet& set) {
  const std::size_t n = dag.size();
  const NodeSet hidden = hidden_nodes(set);
  // B: the children of hidden nodes and the parents of those children and of hidden nodes.
  // Members of the set are never hidden, so T only needs the membership of B.
  std::vector<char> in_b(n, 0);
  for (NodeId d : children_or_self(dag, hidden)) {
    in_b[d.index()] = 1;
    for (NodeId p : dag.parents(d)) in_b[p.index()] = 1;
  }
  std::vector<NodeId> t;
  for (NodeId s : set) {
    if (in_b[s.index()]) t.push_back(s);
  }
  NodeSet result(n);
  PairSearch search(n);
  for (std::size_t i = 0; i < t.size(); ++i) {
    for (std::size_t j = i + 1; j < t.size(); ++j) {
      if (adjacent(dag, t[i], t[j])) continue;
      search.add_path(dag, hidden, t[i], t[j], result);
    }
  }
  return result;
}

Result<NodeSet> d_convex_closure(const Dag& dag, NodeSet set) {
  assert(set.universe() == dag.size());
  const std::size_t n = dag.size();
  for (std::size_t pass = 0; pass <= n; ++pass) {
    const NodeSet add = shortest_inducing_path_vertices(dag, set);
    const std::size_t before = set.size();
    for (NodeId v : add) set.insert(v);
    if (set.size() == before) return set;
  }
  // Each pass that goes on adds a node, so n + 1 passes always suffice.
  return std::unexpected(VelmoraError::hull_no_fixed_point());
}

Result<NodeSet> strong_d_convex_hull(const Dag& dag, std::span<const NodeId> ids) {
  const std::size_t n = dag.size();
  for (NodeId id : ids) {
    if (!dag.contains(id)) return std::unexpected(VelmoraError::invalid_node(id));
  }
  NodeSet hull(n);
  for (NodeId id : ids) hull.insert(id);
  for (std::size_t pass = 0;; ++pass) {
    auto closed = d_convex_closure(dag, std::move(hull));
    if (!closed) return std::unexpected(closed.error());
    hull = std::move(*closed);
    const NodeSet below_hidden = children_or_self(dag, hidden_nodes(hull));
    const NodeSet above = ancestors_or_self(dag, hull);
    NodeSet added(n);
    for (NodeId v : below_hidden) {
      if (!above.contains(v)) continue;
      const auto ps = dag.parents(v);
      for (std::size_t i = 0; i < ps.size(); ++i) {
        for (std::size_t j = i + 1; j < ps.size(); ++j) {
          if (hull.contains(ps[i]) && hull.contains(ps[j])) continue;
          if (adjacent(dag, ps[i], ps[j])) continue;
          added.insert(ps[i]);
          added.insert(ps[j]);
        }
      }
    }
    if (added.empty()) return hull;
    for (NodeId v : added) hull.insert(v);
    if (pass == n) return std::unexpected(VelmoraError::hull_no_fixed_point());
  }
}

}  // namespace velmora
