// The floor of a session-kNN query: the work no implementation of these
// models can skip, timed side by side with the models' own recommend-top-20
// on the same store and queries.
//
// Per query the floor does three things, with dense arrays and touched
// lists and nothing else:
//   1. sums the posting lists of the query's distinct items into one
//      accumulator per session (every candidate must be found and weighed);
//   2. walks the items of the kept neighbours (the sessions the model keeps
//      for that query, found beforehand and not timed), adding the
//      neighbour's weight to a dense score per item;
//   3. makes one pass over the catalogue, choosing the best 20 scores with a
//      running threshold and clearing the score array.
// Ranking the sampled candidates and the backoff are left out, so the floor
// is a lower bound for every model.
//
// Input: a file written by bench/python/query_bench.py (see read_input):
// training sessions and the query prefixes, as dense ItemIds.
//
// Usage: floor_bench FILE [--runs N] [--json PATH]
// Times are CPU time of the calling thread (steadier than wall time on a
// shared machine); each run walks all queries, and for each query runs the
// floor and the three models back to back. Reports the median over runs of
// the per-run median and 99th percentile, and the models' ratios to the
// floor of their own neighbours.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "vosket/models/sknn/baseline.hpp"
#include "vosket/models/sknn/common.hpp"
#include "vosket/models/sknn/sequential.hpp"
#include "vosket/models/sknn/vector.hpp"
#include "bench_util.hpp"
#include "vosket/recommender.hpp"

namespace {

using vosket::Candidate;
using vosket::ItemId;
using vosket::SessionIndex;
using vosket::SessionStore;

using vosket::bench::percentile;
using vosket::bench::thread_seconds;

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

struct Input {
  std::size_t num_items = 0;
  vosket::Sequences sessions;
  std::vector<std::vector<ItemId>> queries;
};

template <class T>
std::vector<T> read_array(std::ifstream& in, std::size_t n) {
  std::vector<T> v(n);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * sizeof(T)));
  return v;
}

std::uint64_t read_u64(std::ifstream& in) {
  std::uint64_t v = 0;
  in.read(reinterpret_cast<char*>(&v), sizeof v);
  return v;
}

/// Little-endian u64 fields: num_items, num_sessions, num_interactions,
/// session offsets (num_sessions + 1), items (u32 x num_interactions),
/// num_queries, query offsets (num_queries + 1), query items (u32).
std::optional<Input> read_input(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Input d;
  d.num_items = read_u64(in);
  const std::size_t num_sessions = read_u64(in);
  const std::size_t num_interactions = read_u64(in);
  auto offsets = read_array<std::uint64_t>(in, num_sessions + 1);
  auto items = read_array<ItemId>(in, num_interactions);
  const std::size_t num_queries = read_u64(in);
  auto query_offsets = read_array<std::uint64_t>(in, num_queries + 1);
  auto query_items = read_array<ItemId>(in, query_offsets.back());
  if (!in) return std::nullopt;
  d.sessions = vosket::Sequences(std::move(items),
                                 std::vector<std::size_t>(offsets.begin(), offsets.end()));
  for (std::size_t q = 0; q < num_queries; ++q)
    d.queries.emplace_back(query_items.begin() + static_cast<std::ptrdiff_t>(query_offsets[q]),
                           query_items.begin() + static_cast<std::ptrdiff_t>(query_offsets[q + 1]));
  return d;
}

/// The neighbours a model keeps for a query, by the core's own steps.
std::vector<Candidate> kept_neighbours(const SessionStore& store, const vosket::SknnConfig& config,
                                       std::span<const ItemId> query, bool recency) {
  const vosket::QueryVector vec =
      recency ? vosket::recency_weighted_query(query) : vosket::binary_query(query);
  std::vector<Candidate> c = store.candidates(vec);
  vosket::sample_candidates(c, config.sample_size, config.seed);
  if (!recency) {
    const float q = static_cast<float>(vec.size());
    for (Candidate& x : c)
      x.weight = vosket::candidate_similarity(store, config.similarity, x.weight, q, x.session);
  }
  vosket::rank_neighbours(c, config.k_neighbors);
  return {c.begin(), c.end()};  // without the capacity of the full candidate list
}

/// Dense buffers of the floor, reused across queries.
class Floor {
 public:
  explicit Floor(const SessionStore& store)
      : store_(store),
        session_acc_(store.num_sessions(), 0.0f),
        item_score_(store.num_items(), 0.0),
        item_seen_(store.num_items(), 0) {}

  /// Returns a checksum so that the compiler keeps the work.
  std::uint64_t run(std::span<const ItemId> query, std::span<const Candidate> neighbours) {
    // 1. Posting lists of the distinct query items.
    distinct_.clear();
    for (const ItemId t : query)
      if (t < store_.num_items() && std::find(distinct_.begin(), distinct_.end(), t) == distinct_.end())
        distinct_.push_back(t);
    touched_.clear();
    for (const ItemId t : distinct_) {
      for (const SessionIndex s : store_.postings(t)) {
        if (session_acc_[s] == 0.0f) touched_.push_back(s);
        session_acc_[s] += 1.0f;
      }
    }
    std::uint64_t check = touched_.size();
    for (const SessionIndex s : touched_) session_acc_[s] = 0.0f;
    // 2. The kept neighbours' items, each distinct item once per neighbour.
    ++epoch_;
    touched_items_.clear();
    for (const Candidate& c : neighbours) {
      ++epoch_;
      const double w = static_cast<double>(c.weight);
      for (const ItemId t : store_.session(c.session)) {
        if (item_seen_[t] == epoch_) continue;
        if (item_score_[t] == 0.0) touched_items_.push_back(t);
        item_seen_[t] = epoch_;
        item_score_[t] += w;
      }
    }
    // 3. One pass over the catalogue: the best 20 by a running threshold,
    // skipping blocks of 32 whose maximum cannot enter.
    best_.clear();
    double threshold = -1.0;
    const std::size_t n = store_.num_items();
    const double* const score = item_score_.data();
    for (std::size_t begin = 0; begin < n; begin += 32) {
      const std::size_t end = std::min(n, begin + 32);
      double block_max = -1.0;
      for (std::size_t t = begin; t < end; ++t) block_max = std::max(block_max, score[t]);
      if (block_max <= threshold) continue;
      for (std::size_t t = begin; t < end; ++t) {
        if (score[t] <= threshold) continue;
        best_.push_back({score[t], static_cast<ItemId>(t)});
        if (best_.size() > 40) {
          std::nth_element(best_.begin(), best_.begin() + 19, best_.end(),
                           [](const auto& a, const auto& b) { return a.first > b.first; });
          best_.resize(20);
          threshold = std::min_element(best_.begin(), best_.end())->first;
        }
      }
    }
    for (const ItemId t : touched_items_) item_score_[t] = 0.0;
    for (const auto& b : best_) check += b.second;
    return check;
  }

 private:
  const SessionStore& store_;
  std::vector<float> session_acc_;
  std::vector<SessionIndex> touched_;
  std::vector<ItemId> distinct_;
  std::vector<ItemId> touched_items_;
  std::vector<double> item_score_;
  std::vector<std::uint32_t> item_seen_;
  std::uint32_t epoch_ = 0;
  std::vector<std::pair<double, ItemId>> best_;
};

struct Series {
  const char* name;
  std::vector<double> medians, p99s;
  void add(const std::vector<double>& run) {
    medians.push_back(median(run));
    p99s.push_back(percentile(run, 0.99));
  }
};

}  // namespace

int main(int argc, char** argv) {
  const char* path = nullptr;
  const char* json = nullptr;
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
      json = argv[++i];
    } else {
      path = argv[i];
    }
  }
  if (path == nullptr) {
    std::fprintf(stderr, "usage: floor_bench FILE [--runs N] [--json PATH]\n");
    return 2;
  }
  const std::optional<Input> input = read_input(path);
  if (!input) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 2;
  }
  const vosket::SknnConfig config;
  double t0 = thread_seconds();
  const auto sknn = vosket::Sknn::fit(input->sessions, input->num_items, config);
  const double fit_seconds = thread_seconds() - t0;
  const auto vsknn = vosket::VSknn::fit(input->sessions, input->num_items, config);
  const auto ssknn = vosket::SSknn::fit(input->sessions, input->num_items, config);
  const SessionStore& store = sknn.store();

  std::vector<std::vector<Candidate>> binary_kept, recency_kept;
  for (const auto& q : input->queries) {
    binary_kept.push_back(kept_neighbours(store, config, q, false));
    recency_kept.push_back(kept_neighbours(store, config, q, true));
  }

  Floor floor(store);
  Series s_floor{"floor (Sknn/SSknn neighbours)", {}, {}};
  Series s_vfloor{"floor (VSknn neighbours)", {}, {}};
  Series s_sknn{"Sknn", {}, {}}, s_vsknn{"VSknn", {}, {}}, s_ssknn{"SSknn", {}, {}};
  std::uint64_t check = 0;
  const std::size_t nq = input->queries.size();
  for (int run = 0; run <= runs; ++run) {  // run 0 warms caches and buffers
    std::vector<double> f(nq), vf(nq), a(nq), b(nq), c(nq);
    for (std::size_t i = 0; i < nq; ++i) {
      const auto& q = input->queries[i];
      t0 = thread_seconds();
      check += floor.run(q, binary_kept[i]);
      f[i] = thread_seconds() - t0;
      t0 = thread_seconds();
      check += floor.run(q, recency_kept[i]);
      vf[i] = thread_seconds() - t0;
      t0 = thread_seconds();
      check += vosket::recommend_top_k(sknn, q, 20).size();
      a[i] = thread_seconds() - t0;
      t0 = thread_seconds();
      check += vosket::recommend_top_k(vsknn, q, 20).size();
      b[i] = thread_seconds() - t0;
      t0 = thread_seconds();
      check += vosket::recommend_top_k(ssknn, q, 20).size();
      c[i] = thread_seconds() - t0;
    }
    if (run == 0) continue;
    s_floor.add(f);
    s_vfloor.add(vf);
    s_sknn.add(a);
    s_vsknn.add(b);
    s_ssknn.add(c);
  }

  const double interactions = static_cast<double>(input->sessions.total_items());
  const double bytes = static_cast<double>(store.memory_bytes());
  std::printf("store: %zu sessions, %.0f interactions, %zu items; fit %.2f s; %.2f bytes/interaction\n",
              store.num_sessions(), interactions, store.num_items(), fit_seconds,
              bytes / interactions);
  std::printf("C++ recommend(query, 20), %zu queries, median of %d runs (thread CPU time)\n", nq, runs);
  std::printf("| series | median us | p99 us | median / floor | p99 / floor |\n|---|---:|---:|---:|---:|\n");
  const double fm = median(s_floor.medians), fp = median(s_floor.p99s);
  const double vfm = median(s_vfloor.medians), vfp = median(s_vfloor.p99s);
  auto row = [&](const Series& s, double base_m, double base_p) {
    const double m = median(s.medians), p = median(s.p99s);
    std::printf("| %s | %.1f | %.1f | %.2fx | %.2fx |\n", s.name, m * 1e6, p * 1e6, m / base_m,
                p / base_p);
  };
  row(s_floor, fm, fp);
  row(s_vfloor, vfm, vfp);
  row(s_sknn, fm, fp);
  row(s_vsknn, vfm, vfp);
  row(s_ssknn, fm, fp);
  std::fprintf(stderr, "checksum %llu\n", static_cast<unsigned long long>(check));
  if (json != nullptr) {
    std::FILE* out = std::fopen(json, "w");
    if (out == nullptr) return 2;
    std::fprintf(out,
                 "{\"bytes_per_interaction\": %.4f, \"store_bytes\": %.0f, \"interactions\": %.0f,\n"
                 " \"floor\": [%.9f, %.9f], \"vfloor\": [%.9f, %.9f],\n"
                 " \"Sknn\": [%.9f, %.9f], \"VSknn\": [%.9f, %.9f], \"SSknn\": [%.9f, %.9f]}\n",
                 bytes / interactions, bytes, interactions, fm, fp, vfm, vfp,
                 median(s_sknn.medians), median(s_sknn.p99s), median(s_vsknn.medians),
                 median(s_vsknn.p99s), median(s_ssknn.medians), median(s_ssknn.p99s));
    std::fclose(out);
  }
  return 0;
}
