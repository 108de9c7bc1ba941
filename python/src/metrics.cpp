// The metric functions and the EvaluationReport class.

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "evaluation.hpp"
#include "models.hpp"
#include "types.hpp"
#include "vosket/metrics/ranking.hpp"

namespace vosket::py {
namespace {

// ---------------------------------------------------------- metric functions

using RawSet = metrics::IdSet<std::int64_t>;
using CutoffMetric = double (*)(std::span<const std::int64_t>, const RawSet&, std::size_t);
using FullMetric = double (*)(std::span<const std::int64_t>, const RawSet&);

struct MetricInfo {
  const char* name;
  const char* display;
  const char* doc;
  bool has_k;
  CutoffMetric at_k;  // null for the full-ranking metrics
  FullMetric full;
};

constexpr std::array<MetricInfo, 8> kMetrics = {{
    {"precision_at_k", "precision_at_k()",
     "precision_at_k(recommended, relevant, k)\n--\n\n"
     "Precision@k: fraction of the top `k` recommendations that are relevant.",
     true, &metrics::precision_at_k<std::int64_t>, nullptr},
    {"recall_at_k", "recall_at_k()",
     "recall_at_k(recommended, relevant, k)\n--\n\n"
     "Recall@k: fraction of relevant items present in the top `k`.",
     true, &metrics::recall_at_k<std::int64_t>, nullptr},
    {"hit_rate_at_k", "hit_rate_at_k()",
     "hit_rate_at_k(recommended, relevant, k)\n--\n\n"
     "Hit Rate@k: 1.0 if any relevant item is in the top `k`, else 0.0.",
     true, &metrics::hit_rate_at_k<std::int64_t>, nullptr},
    {"ndcg_at_k", "ndcg_at_k()",
     "ndcg_at_k(recommended, relevant, k)\n--\n\nNormalized Discounted Cumulative Gain@k.",
     true, &metrics::ndcg_at_k<std::int64_t>, nullptr},
    {"f1_at_k", "f1_at_k()",
     "f1_at_k(recommended, relevant, k)\n--\n\nF1@k: harmonic mean of precision@k and recall@k.",
     true, &metrics::f1_at_k<std::int64_t>, nullptr},
    {"arhr_at_k", "arhr_at_k()", "arhr_at_k(recommended, relevant, k)\n--\n\nAverage Reciprocal Hit Rank@k.",
     true, &metrics::arhr_at_k<std::int64_t>, nullptr},
    {"reciprocal_rank", "reciprocal_rank()",
     "reciprocal_rank(recommended, relevant)\n--\n\n"
     "Reciprocal Rank: 1 / rank of the first relevant item, over the full ranking.",
     false, nullptr, &metrics::reciprocal_rank<std::int64_t>},
    {"average_precision", "average_precision()",
     "average_precision(recommended, relevant)\n--\n\nAverage Precision over the full ranking.",
     false, nullptr, &metrics::average_precision<std::int64_t>},
}};

constexpr Param kCutoffParams[] = {{"recommended"}, {"relevant"}, {"k"}};
constexpr Param kFullParams[] = {{"recommended"}, {"relevant"}};

/// Reads any iterable of integers into a set, consuming it once. Errors
/// carry no argument prefix.
bool collect_relevant(PyObject* obj, RawSet& out) {
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    std::int64_t value = 0;
    if (!to_i64(item.get(), value)) return false;
    out.insert(value);
  }
  return !PyErr_Occurred();
}

template <std::size_t I>
PyObject* metric_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    constexpr MetricInfo info = kMetrics[I];
    constexpr bool has_k = info.has_k;
    const Signature sig{info.display, has_k ? std::span<const Param>(kCutoffParams)
                                            : std::span<const Param>(kFullParams)};
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    ensure(bind_fastcall(sig, args, nargs, kwnames, bound));
    std::vector<std::int64_t> recommended;
    ensure(convert_named("recommended", [&] { return to_id_list(bound[0], recommended); }));
    std::size_t k = 0;
    if constexpr (has_k) ensure(convert_named("k", [&] { return to_usize(bound[2], k); }));
    RawSet relevant;
    ensure(collect_relevant(bound[1], relevant));
    double value = 0.0;
    if constexpr (has_k) {
      value = info.at_k(recommended, relevant, k);
    } else {
      value = info.full(recommended, relevant);
    }
    return PyFloat_FromDouble(value);
  });
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> make_metric_defs(std::index_sequence<I...>) {
  return {{{kMetrics[I].name, as_cfunction(metric_function<I>), METH_FASTCALL | METH_KEYWORDS,
            kMetrics[I].doc}...,
           {nullptr, nullptr, 0, nullptr}}};
}

// ---------------------------------------------------------- EvaluationReport

const EvaluationRecord& record_of(PyObject* self) { return unbox<EvaluationRecord>(self); }

PyObject* get_k(PyObject* self, void*) { return PyLong_FromSize_t(record_of(self).k); }
PyObject* get_num_queries(PyObject* self, void*) { return PyLong_FromSize_t(record_of(self).num_queries); }
PyObject* get_hit_rate(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).hit_rate); }
PyObject* get_ndcg(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).ndcg); }
PyObject* get_mrr(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).mrr); }
PyObject* get_f1(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).f1); }
PyObject* get_map(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).map); }
PyObject* get_arhr(PyObject* self, void*) { return PyFloat_FromDouble(record_of(self).arhr); }

/// Fixed-point with four decimals, correctly rounded (ties to even on the
/// exact binary value).
void append_fixed4(std::string& out, double value) {
  char buffer[400];
  const std::to_chars_result result =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 4);
  VOSKET_CHECK(result.ec == std::errc(), "metric value does not fit its text");
  out.append(buffer, result.ptr);
}

PyObject* report_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const EvaluationRecord& r = record_of(self);
    std::string text = "EvaluationReport(k=";
    text += std::to_string(r.k);
    text += ", num_queries=";
    text += std::to_string(r.num_queries);
    const std::pair<const char*, double> fields[] = {
        {", hit_rate=", r.hit_rate}, {", ndcg=", r.ndcg}, {", mrr=", r.mrr},
        {", f1=", r.f1},             {", map=", r.map},   {", arhr=", r.arhr},
    };
    for (const auto& [label, value] : fields) {
      text += label;
      append_fixed4(text, value);
    }
    text += ')';
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

constexpr const char* kReportDoc =
    "Aggregate metrics from an evaluation run. Construction is internal; instances\n"
    "are returned by a model's `evaluate_leave_one_out`.";

PyGetSetDef report_getset[] = {
    {"k", get_k, nullptr, "The cutoff applied to the `@k` metrics.", nullptr},
    {"num_queries", get_num_queries, nullptr, "The number of queries that were scored.", nullptr},
    {"hit_rate", get_hit_rate, nullptr, "Hit Rate@k.", nullptr},
    {"ndcg", get_ndcg, nullptr, "Normalized Discounted Cumulative Gain@k.", nullptr},
    {"mrr", get_mrr, nullptr, "Mean Reciprocal Rank, over the full ranking.", nullptr},
    {"f1", get_f1, nullptr, "F1@k.", nullptr},
    {"map", get_map, nullptr, "Mean Average Precision, over the full ranking.", nullptr},
    {"arhr", get_arhr, nullptr, "Average Reciprocal Hit Rank@k.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot report_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReportDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<EvaluationRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_getset, report_getset},
    {0, nullptr},
};

PyType_Spec report_spec = {
    "builtins.EvaluationReport",
    static_cast<int>(sizeof(Box<EvaluationRecord>)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION),
    report_slots,
};

}  // namespace

PyObject* new_evaluation_report(const EvaluationRecord& record) {
  PyTypeObject* type = ensure(evaluation_report_type());
  return ensure(box_new(type, EvaluationRecord(record)));
}

PyTypeObject* evaluation_report_type() {
  static PyObject* type = nullptr;
  return type_once(type, report_spec);
}

PyMethodDef* metric_function_defs() {
  static std::array<PyMethodDef, 9> defs = make_metric_defs(std::make_index_sequence<8>());
  return defs.data();
}

}  // namespace vosket::py
