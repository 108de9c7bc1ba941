#pragma once
/// Open-addressing hash map (linear probing, power-of-two capacity) for the
/// core's hot lookups: raw item ids, user keys, per-query scratch. Keys are
/// hashed with a per-process random seed so that crafted inputs cannot force
/// long probe chains; no result of the system depends on iteration order.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vosket::detail {

inline std::uint64_t process_seed() noexcept {
  static const std::uint64_t seed = [] {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    try {
      std::random_device rd;
      s ^= (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
      s ^= reinterpret_cast<std::uintptr_t>(&s);
    }
    return s;
  }();
  return seed;
}

inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

struct IntHash {
  std::uint64_t operator()(std::uint64_t v) const noexcept { return mix64(v ^ process_seed()); }
  /// Any other integer key (signed raw ids, 32-bit ids), by its 64-bit
  /// two's-complement pattern.
  template <class T>
    requires std::is_integral_v<T>
  std::uint64_t operator()(T v) const noexcept {
    return mix64(static_cast<std::uint64_t>(v) ^ process_seed());
  }
};

struct StringHash {
  std::uint64_t operator()(std::string_view s) const noexcept {
    std::uint64_t h = process_seed() ^ (s.size() * 0x9E3779B97F4A7C15ull);
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      h = mix64(h ^ w) + 0x9E3779B97F4A7C15ull;
      p += 8;
      n -= 8;
    }
    std::uint64_t tail = 0;
    if (n > 0) std::memcpy(&tail, p, n);
    return mix64(h ^ tail);
  }
};

/// Map from K to V. K must be cheap to copy and compare; the map stores
/// keys by value (string_view keys must outlive the map).
template <class K, class V, class Hash>
class FlatMap {
 public:
  FlatMap() = default;
  explicit FlatMap(std::size_t expected) { reserve(expected); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  void reserve(std::size_t expected) {
    std::size_t want = 16;
    while (want - want / 4 <= expected) {
      if (want > (std::size_t{1} << 62)) throw std::bad_alloc();
      want <<= 1;
    }
    if (want > slots_.size()) rehash(want);
  }

  /// The value of `key`, or nullptr.
  const V* find(const K& key) const noexcept {
    if (slots_.empty()) return nullptr;
    std::size_t i = static_cast<std::size_t>(hash_(key)) & mask_;
    while (used_[i]) {
      if (slots_[i].first == key) return &slots_[i].second;
      i = (i + 1) & mask_;
    }
    return nullptr;
  }

  /// Inserts (key, make()) when absent; returns the value and whether it was
  /// inserted.
  template <class Make>
  std::pair<V*, bool> find_or_insert(const K& key, Make&& make) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    std::size_t i = static_cast<std::size_t>(hash_(key)) & mask_;
    while (used_[i]) {
      if (slots_[i].first == key) return {&slots_[i].second, false};
      i = (i + 1) & mask_;
    }
    slots_[i].first = key;
    slots_[i].second = make();
    used_[i] = 1;
    ++size_;
    return {&slots_[i].second, true};
  }

  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < slots_.size(); ++i)
      if (used_[i]) f(slots_[i].first, slots_[i].second);
  }

  void clear() noexcept {
    std::fill(used_.begin(), used_.end(), std::uint8_t{0});
    size_ = 0;
  }

 private:
  void rehash(std::size_t capacity) {
    std::vector<std::pair<K, V>> old_slots(capacity);
    std::vector<std::uint8_t> old_used(capacity, 0);
    old_slots.swap(slots_);
    old_used.swap(used_);
    mask_ = capacity - 1;
    for (std::size_t j = 0; j < old_slots.size(); ++j) {
      if (!old_used[j]) continue;
      std::size_t i = static_cast<std::size_t>(hash_(old_slots[j].first)) & mask_;
      while (used_[i]) i = (i + 1) & mask_;
      slots_[i] = std::move(old_slots[j]);
      used_[i] = 1;
    }
  }

  std::vector<std::pair<K, V>> slots_;
  std::vector<std::uint8_t> used_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  [[no_unique_address]] Hash hash_{};
};

}  // namespace vosket::detail
