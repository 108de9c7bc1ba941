#pragma once
/// A naive session-kNN reference: the store and the three scorers written
/// step by step from their algorithm descriptions, with node-based hash
/// containers and full sorts, and no shortcut. The fast code must agree
/// with it bit for bit.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vosket/interner.hpp"
#include "vosket/models/sknn/config.hpp"
#include "vosket/sequence.hpp"

namespace vosket::sknn_reference {

struct Store {
  std::vector<std::vector<ItemId>> sessions;
  std::vector<float> session_sizes;
  std::vector<std::vector<std::uint32_t>> postings;
  std::vector<float> item_counts;
  std::size_t num_items = 0;
};

using Entries = std::vector<std::pair<ItemId, float>>;
using Candidates = std::vector<std::pair<std::uint32_t, float>>;

inline Store fit(const std::vector<std::vector<ItemId>>& sequences, std::size_t num_items) {
  Store store;
  store.num_items = num_items;
  store.postings.resize(num_items);
  store.item_counts.assign(num_items, 0.0f);
  for (const auto& sequence : sequences) {
    const auto s = static_cast<std::uint32_t>(store.sessions.size());
    for (const ItemId t : sequence) store.item_counts.at(t) += 1.0f;
    std::unordered_set<ItemId> seen;
    for (const ItemId t : sequence)
      if (seen.insert(t).second) store.postings.at(t).push_back(s);
    store.session_sizes.push_back(static_cast<float>(seen.size()));
    store.sessions.push_back(sequence);
  }
  return store;
}

inline Entries binary_query(std::span<const ItemId> query) {
  Entries out;
  std::unordered_set<ItemId> seen;
  for (const ItemId t : query)
    if (seen.insert(t).second) out.push_back({t, 1.0f});
  return out;
}

/// Entries in ascending order of the last position, the order the fast
/// code fixes for the entries.
inline Entries recency_weighted_query(std::span<const ItemId> query) {
  Entries out;
  if (query.empty()) return out;
  const std::size_t n = query.size();
  std::unordered_map<ItemId, std::size_t> last;
  for (std::size_t p = 1; p <= n; ++p) last[query[p - 1]] = p;
  std::vector<std::pair<std::size_t, ItemId>> by_position;
  for (const auto& [t, p] : last) by_position.push_back({p, t});
  std::sort(by_position.begin(), by_position.end());
  for (const auto& [p, t] : by_position)
    out.push_back({t, static_cast<float>(p) / static_cast<float>(n)});
  return out;
}

inline Candidates candidates(const Store& store, const Entries& query) {
  std::unordered_map<std::uint32_t, float> acc;
  for (const auto& [t, w] : query) {
    if (t >= store.postings.size()) continue;
    for (const std::uint32_t s : store.postings[t]) {
      auto [it, inserted] = acc.try_emplace(s, 0.0f);
      it->second += w;
    }
  }
  Candidates out(acc.begin(), acc.end());
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

inline std::uint64_t splitmix64_next(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline void sample(Candidates& list, std::optional<std::size_t> cap, std::uint64_t seed) {
  if (!cap || list.size() <= *cap) return;
  std::uint64_t state = seed;
  const std::uint64_t length = list.size();
  for (std::uint64_t i = 0; i < *cap; ++i) {
    const std::uint64_t j = i + splitmix64_next(state) % (length - i);
    std::swap(list[i], list[j]);
  }
  list.resize(*cap);
}

inline float cosine(const Store& store, Similarity similarity, float overlap, float q,
                    std::uint32_t s) {
  if (similarity != Similarity::Cosine) throw std::runtime_error("reserved measure");
  const float d = q * store.session_sizes.at(s);
  if (d > 0.0f) return overlap / std::sqrt(d);
  return 0.0f;
}

/// IEEE 754 totalOrder on 32-bit floats as a signed key.
inline std::int32_t total_order_key(float f) {
  const auto bits = std::bit_cast<std::int32_t>(f);
  return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
}

inline void rank(Candidates& list, std::size_t k) {
  std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
    const auto ka = total_order_key(a.second);
    const auto kb = total_order_key(b.second);
    if (ka != kb) return ka > kb;
    return a.first < b.first;
  });
  if (list.size() > k) list.resize(k);
}

inline std::vector<float> finalize(const Store& store, const std::vector<double>& scores,
                                   bool backoff) {
  bool all_zero = true;
  for (const double v : scores) all_zero = all_zero && v == 0.0;
  if (backoff && all_zero) return store.item_counts;
  std::vector<float> out;
  for (const double v : scores) out.push_back(static_cast<float>(v));
  return out;
}

enum class Model { Sknn, VSknn, SSknn };

inline std::vector<float> score(const Store& store, const SknnConfig& config, Model model,
                                std::span<const ItemId> query) {
  const Entries vec =
      model == Model::VSknn ? recency_weighted_query(query) : binary_query(query);
  Candidates list = candidates(store, vec);
  sample(list, config.sample_size, config.seed);
  if (model != Model::VSknn) {
    const float q = static_cast<float>(vec.size());
    for (auto& [s, w] : list) w = cosine(store, config.similarity, w, q, s);
  }
  rank(list, config.k_neighbors);
  std::vector<double> scores(store.num_items, 0.0);
  for (const auto& [s, w] : list) {
    const auto& session = store.sessions.at(s);
    if (model != Model::SSknn) {
      std::unordered_set<ItemId> seen;
      for (const ItemId t : session)
        if (seen.insert(t).second) scores.at(t) += static_cast<double>(w);
      continue;
    }
    const std::size_t length = session.size();
    if (length == 0) continue;
    std::unordered_map<ItemId, std::size_t> last;
    for (std::size_t p = 1; p <= length; ++p) last[session[p - 1]] = p;
    std::optional<std::size_t> anchor;
    for (std::size_t i = query.size(); i-- > 0;) {
      auto it = last.find(query[i]);
      if (it != last.end()) {
        anchor = it->second;
        break;
      }
    }
    if (!anchor) continue;
    for (std::size_t j = *anchor + 1; j <= length; ++j) {
      const double d = static_cast<double>(j - *anchor);
      scores.at(session[j - 1]) += (1.0 / d) * static_cast<double>(w);
    }
  }
  return finalize(store, scores, config.popularity_backoff);
}

/// The shared benchmark data: $VOSKET_DATA_DIR, else shared/data beside
/// the repository.
inline std::string data_dir() {
  if (const char* dir = std::getenv("VOSKET_DATA_DIR")) return dir;
  std::string here = __FILE__;  // <repo>/tests/cpp/sknn_reference.hpp
  for (int i = 0; i < 4; ++i) here = here.substr(0, here.find_last_of('/'));
  return here + "/shared/data";
}

/// Sequences of a `user_id,item_id,timestamp` CSV whose rows are sorted by
/// user and time, items interned in row order; nullopt if the file cannot
/// be read.
struct CsvData {
  Sequences sequences;
  Interner interner;
  std::size_t num_items = 0;
};

inline std::optional<CsvData> load_csv(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  Interner interner;
  std::vector<ItemId> items;
  std::vector<std::size_t> offsets{0};
  std::optional<long long> user;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::size_t c1 = line.find(',');
    const long long u = std::stoll(line.substr(0, c1));
    const long long item = std::stoll(line.substr(c1 + 1, line.find(',', c1 + 1) - c1 - 1));
    if (user && *user != u) offsets.push_back(items.size());
    user = u;
    items.push_back(interner.intern(static_cast<std::int64_t>(item)));
  }
  if (user) offsets.push_back(items.size());
  const std::size_t num_items = interner.size();
  return CsvData{Sequences(std::move(items), std::move(offsets)), std::move(interner), num_items};
}

}  // namespace vosket::sknn_reference
