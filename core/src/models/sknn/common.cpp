#include "vosket/models/sknn/common.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <cmath>
#include <string>
#include <utility>

#include "vosket/detail/flat_map.hpp"
#include "vosket/internal.hpp"
#include "vosket/recommender.hpp"

namespace vosket {
namespace {

/// Per-thread buffers of the query path, grown to the largest store seen
/// and reused so that a query costs what it touches, not the store size.
/// Nothing in here carries over from one call to the next: every use starts
/// a new epoch or overwrites before it reads.
struct QueryScratch {
  /// Per-session overlap accumulators and a bit per session marking the
  /// touched ones. Both are all zero between calls: the collection that
  /// reads a session clears its weight and its bit.
  std::vector<float> session_weights;
  std::vector<std::uint64_t> session_bits;
  std::vector<SessionIndex> touched_sessions;
  std::vector<Candidate> merge_buffer;
  detail::FlatMap<std::uint64_t, SessionIndex, detail::IntHash> displaced;

  void size_sessions(std::size_t num_sessions) {
    if (session_weights.size() < num_sessions) {
      session_weights.resize(num_sessions, 0.0f);
      session_bits.resize((num_sessions + 63) / 64, 0);
    }
  }

  /// An item's score, valid when query_stamp is the current query epoch;
  /// neighbour_stamp marks the items a neighbour has already credited (for
  /// the sequential scorer: the items of the query).
  struct ItemSlot {
    std::uint32_t query_stamp = 0;
    std::uint32_t neighbour_stamp = 0;
    double score = 0.0;
  };
  std::vector<ItemSlot> item_slots;
  std::uint32_t query_epoch = 0;
  std::uint32_t neighbour_epoch = 0;
  std::vector<ItemId> touched_items;  // the scored items, in first-touch order

  void next_query_epoch(std::size_t num_items) {
    if (item_slots.size() < num_items) item_slots.resize(num_items);
    if (touched_items.size() < num_items) touched_items.resize(num_items);
    if (++query_epoch == 0) {
      for (ItemSlot& slot : item_slots) slot.query_stamp = 0;
      query_epoch = 1;
    }
  }
  std::uint32_t next_neighbour_epoch() {
    if (++neighbour_epoch == 0) {
      for (ItemSlot& slot : item_slots) slot.neighbour_stamp = 0;
      neighbour_epoch = 1;
    }
    return neighbour_epoch;
  }
  std::vector<std::size_t> query_rank;   // last 1-based query position
  std::vector<double> inverse_distance;  // 1.0 / d at index d

  QueryVector query;
  std::vector<Candidate> candidates;
  std::vector<std::pair<std::uint64_t, float>> ranked;
};

QueryScratch& scratch() {
  thread_local QueryScratch s;
  return s;
}

/// Calls f(item, i) for the first sighting of each distinct item, walking
/// `query` from the front (i = position) or from the back (i = steps from
/// the end).
template <class F>
void for_each_distinct(std::span<const ItemId> query, bool backwards, F&& f) {
  const std::size_t n = query.size();
  auto at = [&](std::size_t i) { return backwards ? query[n - 1 - i] : query[i]; };
  if (n <= 32) {
    ItemId seen[32];
    std::size_t num_seen = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const ItemId t = at(i);
      if (std::find(seen, seen + num_seen, t) != seen + num_seen) continue;
      seen[num_seen++] = t;
      f(t, i);
    }
    return;
  }
  detail::FlatMap<ItemId, bool, detail::IntHash> seen(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ItemId t = at(i);
    if (seen.find_or_insert(t, [] { return true; }).second) f(t, i);
  }
}

void binary_query_into(std::span<const ItemId> query, QueryVector& out) {
  out.clear();
  for_each_distinct(query, false, [&](ItemId t, std::size_t) { out.push_back({t, 1.0f}); });
}

void recency_weighted_query_into(std::span<const ItemId> query, QueryVector& out) {
  out.clear();
  if (query.empty()) return;
  const std::size_t n = query.size();
  const float length = static_cast<float>(n);
  // Walking backwards meets each item first at its last occurrence.
  for_each_distinct(query, true, [&](ItemId t, std::size_t i) {
    out.push_back({t, static_cast<float>(n - i) / length});
  });
  std::reverse(out.begin(), out.end());
}

[[noreturn]] void reserved_measure(Similarity similarity) {
  const char* name = nullptr;
  switch (similarity) {
    case Similarity::Jaccard:
      name = "Jaccard";
      break;
    case Similarity::Dice:
      name = "Dice";
      break;
    case Similarity::Dot:
      name = "Dot";
      break;
    case Similarity::Cosine:
      break;
  }
  if (name == nullptr) internal_failure("not a reserved similarity measure");
  std::string message = "not implemented: ";
  message += name;
  message += " similarity is reserved but not yet implemented";
  internal_failure(std::move(message));
}

/// The score list from the sparse accumulator: items outside `touched`
/// hold 0.0. Same result as finalize on the dense list.
std::vector<float> finalize_touched(const SessionStore& store,
                                    const QueryScratch::ItemSlot* slots,
                                    std::span<const ItemId> touched, bool popularity_backoff) {
  if (popularity_backoff && std::all_of(touched.begin(), touched.end(),
                                        [&](ItemId t) { return slots[t].score == 0.0; })) {
    const auto counts = store.item_counts();
    return {counts.begin(), counts.end()};
  }
  std::vector<float> out(store.num_items(), 0.0f);
  for (const ItemId t : touched) out[t] = static_cast<float>(slots[t].score);
  return out;
}

}  // namespace

namespace detail {
namespace {

/// candidates followed by sample_candidates. When one posting list is the
/// whole candidate list and the cap bites, the partial shuffle runs on the
/// posting list itself, recording only the positions it displaced, so the
/// cost is the cap rather than the list length.
void sampled_candidates(const SessionStore& store, const QueryVector& vec,
                        std::optional<std::size_t> sample_size, std::uint64_t seed,
                        std::vector<Candidate>& out) {
  const QueryEntry* only = nullptr;
  std::size_t lists = 0;
  for (const QueryEntry& e : vec)
    if (e.item < store.num_items()) {
      only = &e;
      ++lists;
    }
  if (lists != 1 || !sample_size || store.postings(only->item).size() <= *sample_size) {
    store.candidates(vec, out);
    sample_candidates(out, sample_size, seed);
    return;
  }
  const std::span<const SessionIndex> list = store.postings(only->item);
  const float weight = 0.0f + only->weight;
  const std::size_t cap = *sample_size;
  const std::uint64_t length = list.size();
  auto& displaced = scratch().displaced;
  displaced.clear();
  displaced.reserve(cap);
  auto at = [&](std::uint64_t pos) {
    const SessionIndex* moved = displaced.find(pos);
    return moved != nullptr ? *moved : list[pos];
  };
  out.clear();
  out.reserve(cap);
  SplitMix64 rng(seed);
  for (std::size_t i = 0; i < cap; ++i) {
    const std::uint64_t j = i + rng.next() % (length - i);
    const SessionIndex here = at(i);
    out.push_back({at(j), weight});
    // Position i is final now and never read again; j takes its element.
    *displaced.find_or_insert(j, [] { return SessionIndex{0}; }).first = here;
  }
}

}  // namespace
}  // namespace detail

SessionStore SessionStore::fit(const Sequences& sequences, std::size_t num_items) {
  if (sequences.size() > kMaxSessions)
    throw CapacityError("too many sessions: at most 4294967296 are supported");
  VOSKET_CHECK(num_items <= kMaxItems, "catalogue larger than the ItemId range");
  const auto& items = sequences.items();
  for (const ItemId t : items) VOSKET_CHECK(t < num_items, "session item outside the catalogue");

  SessionStore store;
  const std::size_t num_sessions = sequences.size();
  store.session_items_ = items;
  store.session_offsets_ = sequences.offsets();
  store.session_sizes_.resize(num_sessions);
  store.item_counts_.assign(num_items, 0.0f);

  // Counting pass: occurrences, distinct items per session and posting
  // lengths; the fill pass then writes every posting list in session order.
  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::vector<std::uint64_t> last_session(num_items, kNone);
  std::vector<std::size_t> posting_length(num_items, 0);
  for (std::size_t s = 0; s < num_sessions; ++s) {
    std::size_t distinct = 0;
    for (const ItemId t : sequences[s]) {
      store.item_counts_[t] += 1.0f;
      if (last_session[t] == s) continue;
      last_session[t] = s;
      ++posting_length[t];
      ++distinct;
    }
    store.session_sizes_[s] = static_cast<float>(distinct);
  }
  store.posting_offsets_.resize(num_items + 1);
  store.posting_offsets_[0] = 0;
  for (std::size_t t = 0; t < num_items; ++t)
    store.posting_offsets_[t + 1] = store.posting_offsets_[t] + posting_length[t];
  store.posting_sessions_.resize(store.posting_offsets_[num_items]);
  std::fill(last_session.begin(), last_session.end(), kNone);
  std::vector<std::size_t>& cursor = posting_length;
  std::copy(store.posting_offsets_.begin(), store.posting_offsets_.end() - 1, cursor.begin());
  for (std::size_t s = 0; s < num_sessions; ++s) {
    for (const ItemId t : sequences[s]) {
      if (last_session[t] == s) continue;
      last_session[t] = s;
      store.posting_sessions_[cursor[t]++] = static_cast<SessionIndex>(s);
    }
  }
  return store;
}

std::vector<Candidate> SessionStore::candidates(std::span<const QueryEntry> query) const {
  std::vector<Candidate> out;
  candidates(query, out);
  return out;
}

void SessionStore::candidates(std::span<const QueryEntry> query,
                              std::vector<Candidate>& out) const {
  out.clear();
  // Three ways to the same list, by cost: one posting list is the answer;
  // a few are merged pairwise in entry order (a session's weights are then
  // still added in entry order); many go through dense accumulators.
  std::size_t lists = 0, total = 0, merge_cost = 0;
  for (const QueryEntry& e : query) {
    if (e.item >= num_items()) continue;
    ++lists;
    total += postings(e.item).size();
    merge_cost += total;
  }
  if (total == 0) return;
  QueryScratch& sc = scratch();
  if (lists == 1 || merge_cost <= 4 * total) {
    bool first = true;
    auto& merged = sc.merge_buffer;
    for (const QueryEntry& e : query) {
      if (e.item >= num_items()) continue;
      const std::span<const SessionIndex> list = postings(e.item);
      if (first) {
        first = false;
        out.reserve(list.size());
        for (const SessionIndex s : list) out.push_back({s, 0.0f + e.weight});
        continue;
      }
      merged.clear();
      merged.reserve(out.size() + list.size());
      std::size_t a = 0, b = 0;
      while (a < out.size() && b < list.size()) {
        if (out[a].session < list[b]) {
          merged.push_back(out[a++]);
        } else if (list[b] < out[a].session) {
          merged.push_back({list[b++], 0.0f + e.weight});
        } else {
          merged.push_back({list[b++], out[a++].weight + e.weight});
        }
      }
      merged.insert(merged.end(), out.begin() + static_cast<std::ptrdiff_t>(a), out.end());
      for (; b < list.size(); ++b) merged.push_back({list[b], 0.0f + e.weight});
      out.swap(merged);
    }
    return;
  }

  // Dense accumulators with a touched bit per session. The candidates come
  // out in session order by scanning the bit words between the smallest
  // and the largest session of the lists (the ends of sorted lists), which
  // costs a word per 64 sessions; when that span is very sparse, sorting
  // the touched sessions is cheaper.
  SessionIndex lo = std::numeric_limits<SessionIndex>::max(), hi = 0;
  for (const QueryEntry& e : query) {
    if (e.item >= num_items()) continue;
    const std::span<const SessionIndex> list = postings(e.item);
    if (list.empty()) continue;
    lo = std::min(lo, list.front());
    hi = std::max(hi, list.back());
  }
  const std::size_t first_word = lo / 64, last_word = hi / 64;
  const bool scan = last_word - first_word + 1 <= 16 * total;
  sc.size_sessions(num_sessions());
  float* const weights = sc.session_weights.data();
  std::uint64_t* const bits = sc.session_bits.data();
  auto& touched = sc.touched_sessions;
  touched.clear();
  // Reserved before the first write to the accumulators, so that nothing
  // can throw while they hold this query's values.
  out.reserve(std::min(total, num_sessions()));
  if (!scan) touched.reserve(std::min(total, num_sessions()));
  for (const QueryEntry& e : query) {
    if (e.item >= num_items()) continue;
    const float w = e.weight;
    if (scan) {
      // Accumulators start at +0.0, so the first addition is 0.0f + w.
      for (const SessionIndex s : postings(e.item)) {
        weights[s] += w;
        bits[s / 64] |= std::uint64_t{1} << (s % 64);
      }
    } else {
      for (const SessionIndex s : postings(e.item)) {
        const std::uint64_t mask = std::uint64_t{1} << (s % 64);
        if ((bits[s / 64] & mask) == 0) {
          bits[s / 64] |= mask;
          touched.push_back(s);
        }
        weights[s] += w;
      }
    }
  }
  if (scan) {
    for (std::size_t i = first_word; i <= last_word; ++i) {
      std::uint64_t word = bits[i];
      if (word == 0) continue;
      bits[i] = 0;
      do {
        const auto s = static_cast<SessionIndex>(i * 64 + static_cast<std::size_t>(std::countr_zero(word)));
        out.push_back({s, weights[s]});
        weights[s] = 0.0f;
        word &= word - 1;
      } while (word != 0);
    }
    return;
  }
  std::sort(touched.begin(), touched.end());
  for (const SessionIndex s : touched) {
    out.push_back({s, weights[s]});
    weights[s] = 0.0f;
    bits[s / 64] = 0;
  }
}

std::vector<float> SessionStore::finalize(std::vector<double> scores,
                                          bool popularity_backoff) const {
  VOSKET_CHECK(scores.size() == num_items(), "score list length differs from the catalogue");
  if (popularity_backoff &&
      std::all_of(scores.begin(), scores.end(), [](double v) { return v == 0.0; }))
    return {item_counts_.begin(), item_counts_.end()};
  std::vector<float> out(scores.size());
  for (std::size_t i = 0; i < scores.size(); ++i) out[i] = static_cast<float>(scores[i]);
  return out;
}

std::size_t SessionStore::memory_bytes() const noexcept {
  return session_items_.capacity() * sizeof(ItemId) +
         session_offsets_.capacity() * sizeof(std::size_t) +
         session_sizes_.capacity() * sizeof(float) +
         posting_sessions_.capacity() * sizeof(SessionIndex) +
         posting_offsets_.capacity() * sizeof(std::size_t) + item_counts_.capacity() * sizeof(float);
}

void sample_candidates(std::vector<Candidate>& candidates, std::optional<std::size_t> sample_size,
                       std::uint64_t seed) {
  if (!sample_size || candidates.size() <= *sample_size) return;
  const std::size_t cap = *sample_size;
  const std::uint64_t length = candidates.size();
  SplitMix64 rng(seed);
  for (std::size_t i = 0; i < cap; ++i) {
    const std::uint64_t z = rng.next();
    const std::size_t j = i + static_cast<std::size_t>(z % (length - i));
    std::swap(candidates[i], candidates[j]);
  }
  candidates.resize(cap);
}

QueryVector binary_query(std::span<const ItemId> query) {
  QueryVector out;
  binary_query_into(query, out);
  return out;
}

QueryVector recency_weighted_query(std::span<const ItemId> query) {
  QueryVector out;
  recency_weighted_query_into(query, out);
  return out;
}

float candidate_similarity(const SessionStore& store, Similarity similarity, float overlap,
                           float query_size, SessionIndex session) {
  if (similarity != Similarity::Cosine) reserved_measure(similarity);
  VOSKET_CHECK(session < store.num_sessions(), "candidate session outside the store");
  const float d = query_size * store.session_sizes()[session];
  if (d > 0.0f) return overlap / std::sqrt(d);
  return 0.0f;
}

void rank_neighbours(std::vector<Candidate>& candidates, std::size_t k_neighbors) {
  const std::size_t keep = std::min(k_neighbors, candidates.size());
  if (keep == 0) {
    candidates.clear();
    return;
  }
  // One 64-bit key per candidate: the weight's totalOrder key above the
  // complemented session index, so that a larger key is an earlier
  // neighbour and the order is total.
  auto& ranked = scratch().ranked;
  ranked.clear();
  ranked.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    const std::uint32_t key = static_cast<std::uint32_t>(score_key(c.weight)) ^ 0x80000000u;
    ranked.push_back({(std::uint64_t{key} << 32) | (0xFFFFFFFFu - c.session), c.weight});
  }
  auto earlier = [](const auto& a, const auto& b) { return a.first > b.first; };
  if (keep < ranked.size())
    std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep - 1),
                     ranked.end(), earlier);
  std::sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), earlier);
  candidates.resize(keep);
  for (std::size_t i = 0; i < keep; ++i)
    candidates[i] = {static_cast<SessionIndex>(0xFFFFFFFFu - (ranked[i].first & 0xFFFFFFFFu)),
                     ranked[i].second};
}

namespace detail {

template <PipelineVariant V>
std::vector<float> score_sessions(const SessionStore& store, const SknnConfig& config,
                                  std::span<const ItemId> query) {
  QueryScratch& sc = scratch();
  QueryVector& vec = sc.query;
  if constexpr (V.query == QueryWeights::Binary)
    binary_query_into(query, vec);
  else
    recency_weighted_query_into(query, vec);

  std::vector<Candidate>& neighbours = sc.candidates;
  sampled_candidates(store, vec, config.sample_size, config.seed, neighbours);

  if constexpr (V.weight == NeighbourWeight::Similarity) {
    const float query_size = static_cast<float>(vec.size());
    for (Candidate& c : neighbours)
      c.weight = candidate_similarity(store, config.similarity, c.weight, query_size, c.session);
  }
  rank_neighbours(neighbours, config.k_neighbors);

  const std::size_t num_items = store.num_items();
  sc.next_query_epoch(num_items);
  const std::uint32_t query_epoch = sc.query_epoch;
  QueryScratch::ItemSlot* const slots = sc.item_slots.data();
  ItemId* const touched = sc.touched_items.data();
  std::size_t num_touched = 0;
  auto add = [&](QueryScratch::ItemSlot& slot, ItemId t, double v) {
    if (slot.query_stamp != query_epoch) {
      slot.query_stamp = query_epoch;
      slot.score = 0.0;
      touched[num_touched++] = t;
    }
    slot.score += v;
  };

  if constexpr (V.accumulation == Accumulation::DistinctItems) {
    for (const Candidate& c : neighbours) {
      const std::uint32_t credited = sc.next_neighbour_epoch();
      const double w = static_cast<double>(c.weight);
      for (const ItemId t : store.session(c.session)) {
        QueryScratch::ItemSlot& slot = slots[t];
        if (slot.neighbour_stamp == credited) continue;
        slot.neighbour_stamp = credited;
        add(slot, t, w);
      }
    }
  } else {
    // The anchor of a neighbour is the last session position of the query
    // item with the latest query position among those the session holds:
    // one forward pass over the session finds it, with the query's last
    // positions indexed by item.
    std::uint32_t in_query = 0;
    if (!neighbours.empty()) {
      in_query = sc.next_neighbour_epoch();
      if (sc.query_rank.size() < num_items) sc.query_rank.resize(num_items);
      for (std::size_t p = 0; p < query.size(); ++p) {
        const ItemId t = query[p];
        if (t >= num_items) continue;
        slots[t].neighbour_stamp = in_query;
        sc.query_rank[t] = p + 1;
      }
    }
    const std::size_t* const rank = sc.query_rank.data();
    for (const Candidate& c : neighbours) {
      const std::span<const ItemId> session = store.session(c.session);
      std::size_t best = 0;
      std::size_t anchor = 0;
      for (std::size_t j = 0; j < session.size(); ++j) {
        const ItemId t = session[j];
        if (slots[t].neighbour_stamp != in_query) continue;
        if (rank[t] >= best) {
          best = rank[t];
          anchor = j + 1;
        }
      }
      if (best == 0) continue;
      const std::size_t after = session.size() - anchor;
      auto& inverse = sc.inverse_distance;
      while (inverse.size() <= after) inverse.push_back(1.0 / static_cast<double>(inverse.size()));
      const double* const inv = inverse.data();
      const double w = static_cast<double>(c.weight);
      for (std::size_t d = 1; d <= after; ++d) {
        const ItemId t = session[anchor + d - 1];
        add(slots[t], t, inv[d] * w);
      }
    }
  }
  return finalize_touched(store, slots, {touched, num_touched}, config.popularity_backoff);
}

template std::vector<float> score_sessions<kSknnVariant>(const SessionStore&, const SknnConfig&,
                                                         std::span<const ItemId>);
template std::vector<float> score_sessions<kVSknnVariant>(const SessionStore&, const SknnConfig&,
                                                          std::span<const ItemId>);
template std::vector<float> score_sessions<kSSknnVariant>(const SessionStore&, const SknnConfig&,
                                                          std::span<const ItemId>);

}  // namespace detail
}  // namespace vosket
