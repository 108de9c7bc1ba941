// Leave-one-out driver throughput: the rank-counting driver against the
// plain path (full sort of the catalogue per query, metric functions on the
// full ranking), in the same run, on interaction CSV files
// (header user_id,item_id,timestamp).
//
// Usage: loo_bench [--runs N] [--k K] FILE.csv...

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "evaluation.hpp"
#include "reference.hpp"
#include "vosket/interactions.hpp"
#include "vosket/models/popularity.hpp"
#include "vosket/models/random.hpp"

namespace {

using Clock = std::chrono::steady_clock;

bool parse_i64(std::string_view text, std::int64_t& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size();
}

std::optional<std::vector<vosket::InteractionRow>> read_csv(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;  // header
  std::vector<vosket::InteractionRow> rows;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::string_view view(line);
    const std::size_t a = view.find(',');
    const std::size_t b = a == std::string_view::npos ? a : view.find(',', a + 1);
    std::int64_t user = 0, item = 0, ts = 0;
    if (b == std::string_view::npos || !parse_i64(view.substr(0, a), user) ||
        !parse_i64(view.substr(a + 1, b - a - 1), item) || !parse_i64(view.substr(b + 1), ts))
      return std::nullopt;
    rows.push_back({vosket::UserKey::Int(user), item, ts});
  }
  return rows;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

template <class F>
std::pair<double, vosket::EvaluationRecord> time_runs(int runs, F&& run) {
  std::vector<double> seconds;
  vosket::EvaluationRecord last{};
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    const std::optional<vosket::EvaluationRecord> record = run();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (!record) {
      std::fprintf(stderr, "%s\n", vosket::kNoSequencesToEvaluate);
      std::exit(1);
    }
    last = *record;
  }
  return {median(std::move(seconds)), last};
}

bool bit_identical(const vosket::EvaluationRecord& a, const vosket::EvaluationRecord& b) {
  const auto same = [](double x, double y) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  };
  return a.k == b.k && a.num_queries == b.num_queries && same(a.hit_rate, b.hit_rate) &&
         same(a.ndcg, b.ndcg) && same(a.mrr, b.mrr) && same(a.f1, b.f1) && same(a.map, b.map) &&
         same(a.arhr, b.arhr);
}

template <class M>
bool bench_model(const char* dataset, const char* name, const M& model,
                 const vosket::Interner& interner, const vosket::Sequences& data, std::size_t k,
                 int runs) {
  std::size_t polls = 0;
  const auto [fast_s, fast] = time_runs(runs, [&] {
    return vosket::leave_one_out_report(model, interner, data, interner, k, [&] { ++polls; });
  });
  const auto [plain_s, plain] = time_runs(runs, [&] {
    return vosket::reference::leave_one_out_report(model, interner, data, interner, k);
  });
  const double queries = static_cast<double>(fast.num_queries);
  const bool same = bit_identical(fast, plain);
  std::printf("| %s | %s | %zu | %zu | %.2f | %.0f | %.1f | %.0f | %.1fx | %s |\n", dataset, name,
              fast.num_queries, model.num_items(), fast_s * 1e3, queries / fast_s, plain_s * 1e3,
              queries / plain_s, plain_s / fast_s, same ? "yes" : "NO");
  std::fprintf(stderr,
               "  %s/%s: hit_rate=%.6f ndcg=%.6f mrr=%.6f f1=%.6f map=%.6f arhr=%.6f polls/run=%zu\n",
               dataset, name, fast.hit_rate, fast.ndcg, fast.mrr, fast.f1, fast.map, fast.arhr,
               polls / static_cast<std::size_t>(runs));
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::size_t k = 10;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--k" && i + 1 < argc) {
      k = static_cast<std::size_t>(std::strtoull(argv[++i], nullptr, 10));
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: loo_bench [--runs N] [--k K] FILE.csv...\n");
    return 2;
  }

  std::printf("runs=%d (median), k=%zu\n\n", runs, k);
  std::printf(
      "| dataset | model | queries | items | driver ms | driver q/s | plain ms | plain q/s | "
      "speed-up | identical |\n|---|---|---:|---:|---:|---:|---:|---:|---:|---|\n");
  bool all_same = true;
  for (const auto& path : files) {
    auto rows = read_csv(path);
    if (!rows) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    vosket::Interner interner;
    const vosket::Sequences data = vosket::from_interactions(std::move(*rows), interner);
    const std::string dataset = path.substr(path.find_last_of('/') + 1);
    const auto popularity = vosket::Popularity::fit(data, interner.size());
    all_same &= bench_model(dataset.c_str(), "Popularity", popularity, interner, data, k, runs);
    const vosket::Random random(interner.size(), 0);
    all_same &= bench_model(dataset.c_str(), "Random", random, interner, data, k, runs);
  }
  return all_same ? 0 : 1;
}
