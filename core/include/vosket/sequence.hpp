#pragma once
/// Interaction sequences: one list of ItemIds per user, stored flat.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "vosket/interner.hpp"

namespace vosket {

/// One list of ItemIds per user in stored order, held as offsets into one
/// flat array (sequence i is items[offsets[i] .. offsets[i+1])).
class Sequences {
 public:
  Sequences() : offsets_{0} {}

  /// From flat items and offsets (offsets.front() == 0, non-decreasing,
  /// offsets.back() == items.size()).
  Sequences(std::vector<ItemId> items, std::vector<std::size_t> offsets)
      : items_(std::move(items)), offsets_(std::move(offsets)) {
    VOSKET_CHECK(!offsets_.empty() && offsets_.front() == 0 && offsets_.back() == items_.size(),
                 "malformed sequence offsets");
  }

  /// From a list of lists (tests and small callers).
  static Sequences from_lists(const std::vector<std::vector<ItemId>>& lists) {
    std::vector<ItemId> items;
    std::vector<std::size_t> offsets;
    offsets.reserve(lists.size() + 1);
    offsets.push_back(0);
    for (const auto& l : lists) {
      items.insert(items.end(), l.begin(), l.end());
      offsets.push_back(items.size());
    }
    return Sequences(std::move(items), std::move(offsets));
  }

  /// Number of sequences.
  std::size_t size() const noexcept { return offsets_.size() - 1; }
  bool empty() const noexcept { return size() == 0; }

  std::span<const ItemId> operator[](std::size_t i) const noexcept {
    return {items_.data() + offsets_[i], offsets_[i + 1] - offsets_[i]};
  }

  /// Total number of interactions over all sequences.
  std::size_t total_items() const noexcept { return items_.size(); }
  const std::vector<ItemId>& items() const noexcept { return items_; }
  const std::vector<std::size_t>& offsets() const noexcept { return offsets_; }

  std::vector<std::vector<ItemId>> to_lists() const {
    std::vector<std::vector<ItemId>> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) {
      auto s = (*this)[i];
      out.emplace_back(s.begin(), s.end());
    }
    return out;
  }

 private:
  std::vector<ItemId> items_;
  std::vector<std::size_t> offsets_;
};

}  // namespace vosket
