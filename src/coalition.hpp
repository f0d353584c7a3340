// Coalitions and the value-function contracts every algorithm evaluates through.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "error.hpp"

namespace velmora {

// Bit i set: the node with id i is in the coalition (graphs of at most 64 nodes).
using CoalitionMask = std::uint64_t;
// Strictly ascending node ids: the one form in which a coalition reaches a value function.
using Coalition = std::vector<NodeId>;

// Single contract: one coalition in, one number (or a failure) out. Algorithms own the
// function for the duration of a call; parallel plans call it from several threads, so
// implementations must be safe to call concurrently (the Python adapter serialises on the
// interpreter lock).
using ValueFunction = std::function<Result<double>(std::span<const NodeId>)>;
// Batched contract: many coalitions in, one number per coalition out (the caller checks
// the count).
using BatchValueFunction = std::function<Result<std::vector<double>>(std::span<const Coalition>)>;

// Ascending ids of the set bits; one allocation sized by the population count.
Coalition mask_to_coalition(CoalitionMask mask);
// The same over a word array: bit b of word w is node 64*w + b.
Coalition words_to_sorted_nodes(std::span<const std::uint64_t> words);

// Word-array coalition for graphs of any size.
class LargeCoalition {
 public:
  explicit LargeCoalition(std::size_t words) : words_(words, 0) {}
  void insert(NodeId id) { words_[id.index() / 64] |= std::uint64_t{1} << (id.index() % 64); }
  bool contains(NodeId id) const { return (words_[id.index() / 64] >> (id.index() % 64)) & 1U; }
  void clear() { std::fill(words_.begin(), words_.end(), 0); }
  std::span<const std::uint64_t> words() const { return words_; }
  Coalition to_sorted_nodes() const { return words_to_sorted_nodes(words_); }

  friend bool operator==(const LargeCoalition&, const LargeCoalition&) = default;
  template <typename H>
  friend H AbslHashValue(H h, const LargeCoalition& c) {
    return H::combine_contiguous(std::move(h), c.words_.data(), c.words_.size());
  }

 private:
  std::vector<std::uint64_t> words_;
};

}  // namespace velmora
