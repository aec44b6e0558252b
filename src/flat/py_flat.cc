#include "flat/py_flat.h"

#include <string_view>

#include "common/parallel.h"
#include "flat/flat.h"
#include "flat/flat_batch.h"
#include "module/new_list.h"
#include "module/persistence.h"

namespace tamsel::py {

namespace {

constexpr CallableSpec kNew = make_callable("PyFlat", "__new__", {"dim", "metric"});
constexpr CallableSpec kInsert = make_callable("PyFlat", "insert", {"vector"});
constexpr CallableSpec kSearch = make_callable("PyFlat", "search", {"query", "k"});
constexpr CallableSpec kCreate = make_callable("PyFlat", "create", {"vectors"});
constexpr CallableSpec kSearchMany = make_callable("PyFlat", "search_many", {"queries", "k"});

constexpr CallableSpec kSave = make_callable("PyFlat", "save", {"path"});
constexpr CallableSpec kLoad = make_callable("PyFlat", "load", {"path"});
constexpr CallableSpec kReduce = make_callable("PyFlat", "__reduce__", {});

constexpr char kClassName[] = "PyFlat";

// Every name but these two selects the Euclidean distance; none is refused.
MetricFn flat_metric_by_name(std::string_view name) {
  if (name == "inner_product") return dot_product;
  if (name == "cosine") return cosine_similarity;
  return euclidean_distance;
}

bool build_flat(const BoundArgs& args, std::optional<Flat>* flat) {
  std::uint32_t dim;
  if (!to_u32(args[0], &dim)) return argument_error("dim");
  MetricFn metric = euclidean_distance;
  if (PyObject* name_object = args.optional(1)) {
    std::string name;
    if (!to_utf8(name_object, &name)) return argument_error("metric");
    metric = flat_metric_by_name(name);
  }
  flat->emplace(dim, metric);
  return true;
}

PyObject* insert(Flat& flat, const BoundArgs& args) {
  std::vector<double> vector;
  if (!to_vector(args[0], &vector)) return argument_error("vector");
  if (vector.size() != flat.dim()) {
    return PyErr_Format(PyExc_ValueError, "Expected vector of length %zu, got %zu", flat.dim(), vector.size());
  }
  core_work(vector.size(), [&](Checkpoint&) { flat.insert(vector); });
  Py_RETURN_NONE;
}

PyObject* search_error(FlatError error) {
  return PyErr_Format(PyExc_ValueError, "Search error: %s", flat_error_name(error));
}

// (id, distance) tuples.
PyObject* hits_to_list(const std::vector<FlatHit>& hits) {
  return new_list(hits.size(), [&](std::size_t i) -> PyObject* {
    PyRef id(PyLong_FromSize_t(hits[i].id));
    if (!id) return nullptr;
    PyRef value(PyFloat_FromDouble(hits[i].value));
    if (!value) return nullptr;
    return PyTuple_Pack(2, id.get(), value.get());
  });
}

PyObject* search(const Flat& flat, const BoundArgs& args) {
  std::vector<double> query;
  if (!to_vector(args[0], &query)) return argument_error("query");
  std::uint32_t k = 1;
  if (PyObject* k_object = args.optional(1)) {
    if (!to_u32(k_object, &k)) return argument_error("k");
  }
  if (query.size() != flat.dim()) {
    return PyErr_Format(PyExc_ValueError, "Expected query of length %zu, got %zu", flat.dim(), query.size());
  }
  std::vector<FlatHit> hits;
  const Status<FlatError> status =
      core_work(flat.size() * flat.dim(), [&](Checkpoint&) { return flat.search(query, k, &hits); });
  if (!status.ok()) return search_error(status.error());
  return hits_to_list(hits);
}

// The answers of search() for each query in turn, found in one pass per
// tile of queries on every usable core. Every check search() makes is made
// for each query, in order, before any work.
PyObject* search_many(const Flat& flat, const BoundArgs& args) {
  BatchArgument argument;
  if (!to_vector_batch(args[0], &argument)) return argument_error("queries");
  const VectorBatch& queries = argument.batch();
  if (queries.empty()) return PyList_New(0);  // no query, so no search to fail
  std::uint32_t k = 1;
  if (PyObject* k_object = args.optional(1)) {
    if (!to_u32(k_object, &k)) return argument_error("k");
  }
  // search() checks the length, then the index: the first query with a good
  // length fails for an empty index before any later one for its length.
  const std::size_t row = queries.first_row_not_of_length(flat.dim());
  if (row == 0 || (row < queries.size() && flat.size() > 0)) {
    return PyErr_Format(PyExc_ValueError, "Expected query of length %zu, got %zu", flat.dim(), queries[row].size());
  }
  if (flat.size() == 0) return search_error(FlatError::EmptyIndex);
  argument.own();  // the scan runs without the lock
  std::vector<std::vector<FlatHit>> answers;
  bool completed = true;
  const Status<FlatError> status = release_lock([&](Checkpoint& checkpoint) {
    return search_batch(flat, queries, k, usable_cores(), checkpoint, &answers, &completed);
  });
  if (!status.ok()) return search_error(status.error());
  if (!completed) return nullptr;  // a signal handler raised
  return new_list(answers.size(), [&](std::size_t i) { return hits_to_list(answers[i]); });
}

PyObject* create(Flat& flat, const BoundArgs& args) {
  BatchArgument argument;
  if (!to_vector_batch(args[0], &argument)) return argument_error("vectors");
  const VectorBatch& batch = argument.batch();
  // Every length is checked before anything is stored, so a bad vector
  // leaves the index as it was.
  if (const std::size_t row = batch.first_row_not_of_length(flat.dim()); row < batch.size()) {
    return PyErr_Format(PyExc_ValueError, "Vector length %zu does not match index dimension %zu", batch[row].size(),
                        flat.dim());
  }
  // A caller's array is read where it is, so under the lock; a converted
  // list is ours, and stored without it.
  bool completed = true;
  const auto store = [&](Checkpoint& checkpoint) { return flat.create(batch, checkpoint, &completed); };
  const Status<FlatError> status = argument.views_caller() ? keep_lock(store) : release_lock(store);
  if (!status.ok()) return PyErr_Format(PyExc_ValueError, "Create error: %s", flat_error_name(status.error()));
  if (!completed) return nullptr;  // a signal handler raised; nothing was stored
  Py_RETURN_NONE;
}

PyObject* save(const Flat& index, const BoundArgs& args) { return save_index(index, args); }
PyObject* load(const BoundArgs& args) { return load_index(persist::IndexClass::Flat, args); }
PyObject* reduce(const Flat& index, const BoundArgs& args) { return reduce_index(index, args); }

PyMethodDef methods[] = {
    method_entry<method<Flat, flat_class, kInsert, Access::Exclusive, insert>>(
        "insert",
        "insert($self, vector)\n--\n\n"
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats whose length equals the index dimension."),
    method_entry<method<Flat, flat_class, kSearch, Access::Shared, search>>(
        "search",
        "search($self, query, k=None)\n--\n\n"
        "Search for the k nearest neighbors.\n\n"
        "Returns a list of tuples `(id, distance)`."),
    method_entry<method<Flat, flat_class, kCreate, Access::Exclusive, create>>(
        "create",
        "create($self, vectors)\n--\n\n"
        "Create an index from a list of vectors."),
    method_entry<method<Flat, flat_class, kSave, Access::Shared, save>>(
        "save",
        "save($self, path)\n--\n\n"
        "Write the whole index to the file at `path` (a str or os.PathLike).\n\n"
        "The file is replaced atomically: a temporary file beside it is written,\n"
        "synced and renamed over it, so an interrupted save leaves the old file.\n"
        "Raises OSError when the file cannot be written."),
    class_method_entry<class_method<kLoad, load>>(
        "load",
        "load($cls, path)\n--\n\n"
        "Read an index that PyFlat.save wrote and return it as a new PyFlat.\n\n"
        "Raises ValueError when the file is not a saved PyFlat (another class,\n"
        "damaged, truncated, or from a newer version) and OSError when it\n"
        "cannot be read."),
    method_entry<method<Flat, flat_class, kReduce, Access::Shared, reduce>>(
        "__reduce__",
        "__reduce__($self)\n--\n\n"
        "Support for pickle and copy: the index as saved bytes."),
    method_entry<method<Flat, flat_class, kSearchMany, Access::Shared, search_many>>(
        "search_many",
        "search_many($self, queries, k=None)\n--\n\n"
        "Search for the k nearest neighbors of each of many queries.\n\n"
        "`queries` is a 2-D array or a sequence of sequences of floats. Returns\n"
        "`[self.search(q, k) for q in queries]`: a list with one list of\n"
        "`(id, distance)` tuples per query, in the order of the queries, with\n"
        "exactly the values `search` returns. The queries are answered on every\n"
        "core the process may use, several at a time per pass over the stored\n"
        "vectors. Errors are those `search` raises for the first query that\n"
        "fails, raised before any searching (a conversion error names the\n"
        "argument 'queries'); an empty `queries` gives `[]`. An interrupt\n"
        "(KeyboardInterrupt) ends the call within a fraction of a second and\n"
        "discards the partial answers."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PythonClass flat_class(ClassDef{
    kClassName,
    "(dim, metric=None)",
    "Our Python-facing Flat index.",
    sizeof(Instance<Flat>),
    construct<Flat, kNew, build_flat>,
    deallocate<Flat, kClassName>,
    methods,
});

}  // namespace tamsel::py
