// Session-kNN models: fit time, store size, recommend-top-20 latency (median
// and p99) over a fixed set of query prefixes, the same latency of the
// naive reference in the same run, and leave-one-out throughput; on the
// interaction CSV files given (header user_id,item_id,timestamp, rows
// sorted by user and time) and on a synthetic set.
//
// Usage: sknn_bench [--synthetic INTERACTIONS] [--queries N] [--ref-queries N]
//                   [--loo-sequences N] [FILE.csv...]
// Without files it reads the two shared data sets. Exit status 1 if the fast
// and naive scores of any timed query differ.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "evaluation.hpp"
#include "sknn_reference.hpp"
#include "vosket/models/sknn/baseline.hpp"
#include "vosket/models/sknn/sequential.hpp"
#include "vosket/models/sknn/vector.hpp"
#include "bench_util.hpp"
#include "vosket/recommender.hpp"

namespace {

using vosket::ItemId;
namespace ref = vosket::sknn_reference;

/// CPU time of the calling thread: on a machine shared with other work it
/// is steadier than wall time, and the models run on one thread.
using vosket::bench::percentile;
using vosket::bench::thread_seconds;

struct Dataset {
  std::string name;
  vosket::Sequences sequences;
  vosket::Interner interner;
  std::size_t num_items = 0;
};

/// Sessions of geometric length (mean about 4) over a catalogue whose
/// popularity falls off as a power law: a heavy head of items held by many
/// sessions, and a long tail.
Dataset synthetic(std::size_t interactions) {
  Dataset d;
  d.name = "synthetic";
  d.num_items = 100000;
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::geometric_distribution<std::size_t> extra(0.3);
  std::vector<ItemId> items;
  std::vector<std::size_t> offsets{0};
  items.reserve(interactions);
  while (items.size() < interactions) {
    const std::size_t len = std::min<std::size_t>(1 + extra(rng), 60);
    for (std::size_t i = 0; i < len && items.size() < interactions; ++i) {
      const double x = u(rng);
      items.push_back(static_cast<ItemId>(static_cast<double>(d.num_items) * x * x * x));
    }
    offsets.push_back(items.size());
  }
  d.sequences = vosket::Sequences(std::move(items), std::move(offsets));
  for (std::size_t t = 0; t < d.num_items; ++t) d.interner.intern(static_cast<std::int64_t>(t));
  return d;
}

/// Prefixes of evenly spaced sequences with at least two items, each of a
/// seeded length between 1 and the sequence length - 1.
std::vector<std::vector<ItemId>> query_prefixes(const vosket::Sequences& seqs, std::size_t n) {
  std::vector<std::size_t> eligible;
  for (std::size_t s = 0; s < seqs.size(); ++s)
    if (seqs[s].size() >= 2) eligible.push_back(s);
  std::vector<std::vector<ItemId>> out;
  std::mt19937_64 rng(7);
  const std::size_t step = std::max<std::size_t>(1, eligible.size() / std::max<std::size_t>(n, 1));
  for (std::size_t i = 0; i < eligible.size() && out.size() < n; i += step) {
    const auto seq = seqs[eligible[i]];
    const std::size_t len = 1 + rng() % (seq.size() - 1);
    out.emplace_back(seq.begin(), seq.begin() + static_cast<std::ptrdiff_t>(len));
  }
  return out;
}

vosket::Sequences head(const vosket::Sequences& seqs, std::size_t n) {
  n = std::min(n, seqs.size());
  const std::size_t end = seqs.offsets()[n];
  std::vector<ItemId> items(seqs.items().begin(),
                            seqs.items().begin() + static_cast<std::ptrdiff_t>(end));
  std::vector<std::size_t> offsets(seqs.offsets().begin(),
                                   seqs.offsets().begin() + static_cast<std::ptrdiff_t>(n + 1));
  return {std::move(items), std::move(offsets)};
}

bool g_all_identical = true;

struct Options {
  std::size_t synthetic = 5000000;
  std::size_t queries = 2000;
  std::size_t ref_queries = 300;
  std::size_t loo_sequences = 50000;
};

template <class M>
void run_model(const char* model_name, ref::Model kind, const Dataset& d, const ref::Store& store,
               const std::vector<std::vector<ItemId>>& queries, const Options& opt) {
  const vosket::SknnConfig config;  // defaults: k 100, sample 1000, seed 0, cosine, backoff
  std::vector<double> fit_times;
  std::optional<M> model;
  for (int run = 0; run < 3; ++run) {
    const double t0 = thread_seconds();
    model.emplace(M::fit(d.sequences, d.num_items, config));
    fit_times.push_back(thread_seconds() - t0);
  }
  const double bytes = static_cast<double>(model->store().memory_bytes()) /
                       static_cast<double>(std::max<std::size_t>(1, d.sequences.total_items()));

  // Warm the per-thread buffers once, then time every query.
  (void)vosket::recommend_top_k(*model, queries.front(), 20);
  std::vector<double> fast, score_only;
  std::size_t checksum = 0;
  for (const auto& q : queries) {
    double t0 = thread_seconds();
    const auto top = vosket::recommend_top_k(*model, q, 20);
    fast.push_back(thread_seconds() - t0);
    t0 = thread_seconds();
    const auto scores = model->score_all_items(q);
    score_only.push_back(thread_seconds() - t0);
    checksum += (top.empty() ? 0 : top.front()) + scores.size();
  }

  std::vector<double> naive, naive_score;
  std::size_t mismatches = 0;
  const std::size_t nref = std::min(opt.ref_queries, queries.size());
  for (std::size_t i = 0; i < nref; ++i) {
    const double t0 = thread_seconds();
    const auto scores = ref::score(store, config, kind, queries[i]);
    const double t1 = thread_seconds();
    const auto top = vosket::top_k_of_scores(scores, 20);
    naive.push_back(thread_seconds() - t0);
    naive_score.push_back(t1 - t0);
    const auto fast_scores = model->score_all_items(queries[i]);
    if (top != vosket::recommend_top_k(*model, queries[i], 20) ||
        std::memcmp(scores.data(), fast_scores.data(), scores.size() * sizeof(float)) != 0)
      ++mismatches;
  }
  auto first = [&](const std::vector<double>& v) {
    return std::vector<double>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(nref));
  };

  const vosket::Sequences loo_data = head(d.sequences, opt.loo_sequences);
  const double t0 = thread_seconds();
  const auto report = vosket::leave_one_out_report(*model, d.interner, loo_data, d.interner, 20,
                                                   [] {});
  const double loo_seconds = thread_seconds() - t0;
  const double qps = report ? static_cast<double>(report->num_queries) / loo_seconds : 0.0;

  std::printf(
      "| %s | %s | %.1f | %.2f | %.1f | %.1f | %.1f | %.1fx | %.1f | %.1f | %.1fx | %.0f | %s |\n",
      d.name.c_str(), model_name, percentile(fit_times, 0.5) * 1e3, bytes,
      percentile(score_only, 0.5) * 1e6, percentile(score_only, 0.99) * 1e6,
      percentile(naive_score, 0.5) * 1e6,
      percentile(naive_score, 0.5) / std::max(1e-12, percentile(first(score_only), 0.5)),
      percentile(fast, 0.5) * 1e6, percentile(fast, 0.99) * 1e6,
      percentile(naive, 0.5) / std::max(1e-12, percentile(first(fast), 0.5)), qps,
      mismatches == 0 ? "yes" : "NO");
  if (mismatches != 0) g_all_identical = false;
  std::fflush(stdout);
  if (checksum == 1) std::printf(" ");  // keeps the timed calls observable
}

void run_dataset(const Dataset& d, const Options& opt) {
  const auto queries = query_prefixes(d.sequences, opt.queries);
  if (queries.empty()) return;
  const ref::Store store = ref::fit(d.sequences.to_lists(), d.num_items);
  std::fprintf(stderr, "%s: %zu sequences, %zu interactions, %zu items, %zu queries\n",
               d.name.c_str(), d.sequences.size(), d.sequences.total_items(), d.num_items,
               queries.size());
  run_model<vosket::Sknn>("Sknn", ref::Model::Sknn, d, store, queries, opt);
  run_model<vosket::VSknn>("VSknn", ref::Model::VSknn, d, store, queries, opt);
  run_model<vosket::SSknn>("SSknn", ref::Model::SSknn, d, store, queries, opt);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::strtoull(argv[++i], nullptr, 10) : 0ull; };
    if (arg == "--synthetic")
      opt.synthetic = value();
    else if (arg == "--queries")
      opt.queries = value();
    else if (arg == "--ref-queries")
      opt.ref_queries = value();
    else if (arg == "--loo-sequences")
      opt.loo_sequences = value();
    else
      files.push_back(arg);
  }
  if (files.empty())
    for (const char* f : {"yoochoose_clicks_100k.csv", "ml_latest_small.csv"})
      files.push_back(ref::data_dir() + "/" + f);

  std::printf(
      "| data | model | fit ms | store B/interaction | score p50 us | score p99 us | naive score "
      "p50 us | naive/fast score | top-20 p50 us | top-20 p99 us | naive/fast top-20 | LOO "
      "queries/s | identical |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (const auto& f : files) {
    auto data = ref::load_csv(f);
    if (!data) {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      continue;
    }
    Dataset d{f.substr(f.find_last_of('/') + 1), std::move(data->sequences),
              std::move(data->interner), data->num_items};
    run_dataset(d, opt);
  }
  if (opt.synthetic > 0) run_dataset(synthetic(opt.synthetic), opt);
  return g_all_identical ? 0 : 1;
}
