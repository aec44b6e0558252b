#include "hnsw/py_hnsw.h"

#include "hnsw/hnsw.h"

namespace tamsel::py {

namespace {

constexpr CallableSpec kNew = make_callable(
    "PyHNSW", "__new__", {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"});

constexpr char kClassName[] = "PyHNSW";

// Converts an optional unsigned 32-bit argument; absent or None keeps the
// default already in *value.
bool optional_u32(const BoundArgs& args, std::size_t index, std::uint32_t* value) {
  PyObject* object = args.optional(index);
  if (object == nullptr) return true;
  if (!to_u32(object, value)) return argument_error(kNew.parameters[index]);
  return true;
}

bool build_hnsw(const BoundArgs& args, std::optional<HNSW>* index) {
  // Every argument is converted, in parameter order, before the metric name
  // is looked at.
  HNSWConfig config;
  if (!to_u32(args[0], &config.dim)) return argument_error("dim");
  if (!optional_u32(args, 1, &config.layers) || !optional_u32(args, 2, &config.m) ||
      !optional_u32(args, 3, &config.ef_construction) || !optional_u32(args, 4, &config.ef_search)) {
    return Failed{};
  }
  std::optional<std::string> metric_name;
  if (PyObject* name_object = args.optional(5)) {
    if (!to_utf8(name_object, &metric_name.emplace())) return argument_error("metric");
  }
  if (PyObject* schema_object = args.optional(6)) {
    if (!to_string_list(schema_object, &config.schema.emplace())) return argument_error("schema");
  }
  std::optional<MetricFn> metric = metric_name ? hnsw_metric_by_name(*metric_name) : std::nullopt;
  if (!metric) {
    PyErr_SetString(PyExc_ValueError, "Unsupported metric");
    return false;
  }
  config.metric = *metric;
  index->emplace(std::move(config));
  return true;
}

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PythonClass hnsw_class(ClassDef{
    kClassName,
    "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)",
    "",
    sizeof(Instance<HNSW>),
    construct<HNSW, kNew, build_hnsw>,
    deallocate<HNSW, kClassName>,
    methods,
});

}  // namespace tamsel::py
