// Failure kinds of the whole library, carried as values.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace velmora {

// Dense node index; the k-th distinct name added to a graph has id k.
struct NodeId {
  std::uint32_t value = 0;

  constexpr NodeId() = default;
  constexpr explicit NodeId(std::uint32_t v) : value(v) {}
  constexpr explicit NodeId(std::size_t v) : value(static_cast<std::uint32_t>(v)) {}
  constexpr explicit NodeId(int v) : value(static_cast<std::uint32_t>(v)) {}

  constexpr std::size_t index() const { return value; }
  friend constexpr auto operator<=>(NodeId, NodeId) = default;

  template <typename H>
  friend H AbslHashValue(H h, NodeId id) {
    return H::combine(std::move(h), id.value);
  }
};

// Text form used inside messages: NodeId(3).
std::string to_string(NodeId id);

enum class ErrorKind : std::uint8_t {
  Cycle,
  InvalidNode,
  SelfLoop,
  DuplicateEdge,
  EmptyGraph,
  NotRootedTree,
  ValueFunctionFailed,
  InvalidConfig,
  LinearExtensionOverflow,
  TreeBudgetExceeded,
  ConflictingEdge,
  NoConsistentExtension,
  HullNoFixedPoint,
};

class VelmoraError {
 public:
  static VelmoraError cycle() { return VelmoraError(ErrorKind::Cycle); }
  static VelmoraError invalid_node(NodeId id) { return with_ids(ErrorKind::InvalidNode, id, {}); }
  static VelmoraError self_loop(NodeId id) { return with_ids(ErrorKind::SelfLoop, id, {}); }
  static VelmoraError duplicate_edge(NodeId from, NodeId to) {
    return with_ids(ErrorKind::DuplicateEdge, from, to);
  }
  static VelmoraError empty_graph() { return VelmoraError(ErrorKind::EmptyGraph); }
  static VelmoraError not_rooted_tree() { return VelmoraError(ErrorKind::NotRootedTree); }
  static VelmoraError value_function_failed(std::string detail) {
    return with_text(ErrorKind::ValueFunctionFailed, std::move(detail));
  }
  static VelmoraError invalid_config(std::string detail) {
    return with_text(ErrorKind::InvalidConfig, std::move(detail));
  }
  static VelmoraError linear_extension_overflow(std::string detail) {
    return with_text(ErrorKind::LinearExtensionOverflow, std::move(detail));
  }
  static VelmoraError tree_budget_exceeded(std::uint64_t largest_side_product,
                                           std::uint64_t side_budget, std::uint64_t total_work,
                                           std::uint64_t work_budget) {
    VelmoraError e(ErrorKind::TreeBudgetExceeded);
    e.numbers_ = {largest_side_product, side_budget, total_work, work_budget};
    return e;
  }
  static VelmoraError conflicting_edge(NodeId a, NodeId b) {
    return with_ids(ErrorKind::ConflictingEdge, a, b);
  }
  static VelmoraError no_consistent_extension() {
    return VelmoraError(ErrorKind::NoConsistentExtension);
  }
  static VelmoraError hull_no_fixed_point() { return VelmoraError(ErrorKind::HullNoFixedPoint); }

  ErrorKind kind() const { return kind_; }
  // The text payload (value function, configuration and overflow kinds), without the
  // prefix the message adds; empty for the other kinds.
  const std::string& detail() const { return text_; }
  // The error's one text form.
  std::string message() const;

  friend bool operator==(const VelmoraError&, const VelmoraError&) = default;

 private:
  explicit VelmoraError(ErrorKind kind) : kind_(kind) {}
  static VelmoraError with_ids(ErrorKind kind, NodeId a, NodeId b) {
    VelmoraError e(kind);
    e.a_ = a;
    e.b_ = b;
    return e;
  }
  static VelmoraError with_text(ErrorKind kind, std::string text) {
    VelmoraError e(kind);
    e.text_ = std::move(text);
    return e;
  }

  ErrorKind kind_;
  NodeId a_{}, b_{};
  std::string text_;
  std::array<std::uint64_t, 4> numbers_{};
};

template <typename T>
using Result = std::expected<T, VelmoraError>;
using Status = std::expected<void, VelmoraError>;

}  // namespace velmora
