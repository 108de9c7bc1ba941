// The Sknn, VSknn and SSknn classes.

#include <cstddef>

#include "models.hpp"
#include "vosket/models/sknn/baseline.hpp"
#include "vosket/models/sknn/config.hpp"
#include "vosket/models/sknn/sequential.hpp"
#include "vosket/models/sknn/vector.hpp"

namespace vosket::py {
namespace {

/// Texts and fit shared by the three classes; each class adds its names.
template <class CoreModel>
struct SknnTraitsBase {
  using Model = CoreModel;
  static constexpr const char* kDoc = "";
  static constexpr ModelDocs kDocs = {
      "fit(data, config=None)\n--\n\nFits the model.\n\n`data` is either a list of interaction sequences "
      "(each a list of\ninteger item ids, oldest to newest) or a `Sequences`. `config` is\nan optional "
      "`SknnConfig`; defaults are used when it is omitted.",
      "num_items($self)\n--\n\nReturns the number of distinct items seen during `fit`.",
      "recommend($self, sequence, k)\n--\n\nReturns up to `k` recommended item ids for a query sequence, "
      "best\nfirst.",
      "score_all_items($self, sequence)\n--\n\nReturns every item's score as a list of `(item_id, score)` "
      "pairs,\nsorted by descending score.",
      "evaluate_leave_one_out($self, data, k=10)\n--\n\nEvaluates the model with leave-one-out over `data` "
      "(a list of\nsequences or a `Sequences`). See `Popularity.evaluate_leave_one_out`.",
  };
  static constexpr bool kHasConstructor = false;
  static constexpr Param kFitParams[] = {{"data"}, {"config", false, false}};

  using Options = SknnConfig;
  /// The record of a SknnConfig argument, copied; the defaults when the
  /// argument is omitted or None.
  static void convert_options(PyObject* const* bound, Options& options) {
    options = SknnConfig{};
    PyObject* config = bound[1];
    if (config == nullptr || config == Py_None) return;
    ensure(convert_named("config", [&] {
      PyTypeObject* type = sknn_config_type();
      if (type == nullptr) return false;
      return check_instance(config, type, "SknnConfig");
    }));
    options = unbox<SknnConfig>(config);
  }
  static Model fit(const Sequences& sequences, std::size_t num_items, const Options& options) {
    return Model::fit(sequences, num_items, options);
  }
};

struct SknnTraits : SknnTraitsBase<Sknn> {
  static constexpr const char* kName = "Sknn";
  static constexpr const char* kTypeName = "builtins.Sknn";
};

struct VSknnTraits : SknnTraitsBase<VSknn> {
  static constexpr const char* kName = "VSknn";
  static constexpr const char* kTypeName = "builtins.VSknn";
};

struct SSknnTraits : SknnTraitsBase<SSknn> {
  static constexpr const char* kName = "SSknn";
  static constexpr const char* kTypeName = "builtins.SSknn";
};

}  // namespace

PyTypeObject* sknn_type() { return ModelClass<SknnTraits>::type(); }
PyTypeObject* vsknn_type() { return ModelClass<VSknnTraits>::type(); }
PyTypeObject* ssknn_type() { return ModelClass<SSknnTraits>::type(); }

}  // namespace vosket::py
