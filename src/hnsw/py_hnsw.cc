#include "hnsw/py_hnsw.h"

#include "common/panic.h"
#include "common/parallel.h"
#include "hnsw/hnsw.h"
#include "metadata/py_metadata.h"
#include "module/new_list.h"
#include "module/persistence.h"

namespace tamsel::py {

namespace {

constexpr CallableSpec kNew = make_callable(
    "PyHNSW", "__new__", {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"}, {"prune"});

constexpr CallableSpec kInsert = make_callable("PyHNSW", "insert", {"vector", "metadata"});
constexpr CallableSpec kSearch = make_callable("PyHNSW", "search", {"query", "k", "filter"});
constexpr CallableSpec kCreate = make_callable("PyHNSW", "create", {"vectors", "metadata"});
constexpr CallableSpec kSearchMany = make_callable("PyHNSW", "search_many", {"queries", "k", "filter"});

constexpr CallableSpec kSave = make_callable("PyHNSW", "save", {"path"});
constexpr CallableSpec kLoad = make_callable("PyHNSW", "load", {"path"});
constexpr CallableSpec kReduce = make_callable("PyHNSW", "__reduce__", {});

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
  // prune: keyword only, taken by its truth value; None or absent is False.
  if (PyObject* prune_object = args.optional(7)) {
    const int prune = PyObject_IsTrue(prune_object);
    if (prune < 0) return argument_error("prune");
    config.prune = prune == 1;
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

// About how many values a walk of the graph with beam `ef` reads.
std::size_t walk_cost(const HNSW& index, std::uint32_t ef) {
  constexpr std::size_t kVisitsPerBeamEntry = 32;
  return std::min<std::size_t>(index.size(), std::size_t{ef} * kVisitsPerBeamEntry) * index.dim();
}

PyObject* length_error(std::size_t dim, std::size_t length) {
  return PyErr_Format(PyExc_ValueError, "Expected vector of length %zu, got %zu", dim, length);
}

PyObject* no_schema_error(const char* use) {
  return PyErr_Format(PyExc_ValueError, "No schema provided in HNSW instance; cannot use %s", use);
}

PyObject* insert(HNSW& index, const BoundArgs& args) {
  std::vector<double> vector;
  if (!to_vector(args[0], &vector)) return argument_error("vector");
  std::optional<std::vector<NamedValue>> pairs;
  if (PyObject* metadata = args.optional(1)) {
    if (!to_named_values(metadata, &pairs.emplace())) return argument_error("metadata");
  }
  // Every stored vector has exactly `dim` values; anything else is refused
  // before it can be stored.
  if (vector.size() != index.dim()) return length_error(index.dim(), vector.size());
  std::optional<std::vector<Metadata>> record;
  if (pairs) {
    if (!index.schema()) return no_schema_error("metadata");
    if (!build_record(*pairs, *index.schema(), &record.emplace())) return Failed{};
  }
  const Status<HNSWError> status = core_work(walk_cost(index, index.ef_construction()), [&](Checkpoint&) {
    ThreadRandomLevels levels;
    return index.insert(vector, std::move(record), levels);
  });
  if (!status.ok()) return PyErr_Format(PyExc_ValueError, "Insert error: %s", hnsw_error_name(status.error()));
  Py_RETURN_NONE;
}

// (distance, vector) tuples, each vector a new list of the stored values.
PyObject* results_to_list(const HNSW& index, const std::vector<Neighbor>& results) {
  return new_list(results.size(), [&](std::size_t i) -> PyObject* {
    PyRef distance(PyFloat_FromDouble(results[i].distance));
    if (!distance) return nullptr;
    const std::span<const double> values = index.vector(results[i].id);
    PyRef vector(new_list(values.size(), [&](std::size_t j) { return PyFloat_FromDouble(values[j]); }));
    if (!vector) return nullptr;
    return PyTuple_Pack(2, distance.get(), vector.get());
  });
}

PyObject* search_error(HNSWError error) {
  return PyErr_Format(PyExc_ValueError, "Search error: %s", hnsw_error_name(error));
}

// The optional k and filter of both searches, converted as search() does.
bool search_options(const HNSW& index, const BoundArgs& args, std::uint32_t* k, std::optional<Filter>* filter) {
  *k = 1;
  if (PyObject* k_object = args.optional(1)) {
    if (!to_u32(k_object, k)) return argument_error("k");
  }
  std::optional<NamedValue> filter_pair;
  if (PyObject* filter_object = args.optional(2)) {
    if (!to_named_value(filter_object, &filter_pair.emplace())) return argument_error("filter");
  }
  if (filter_pair) {
    if (!index.schema()) {
      no_schema_error("metadata filtering");
      return false;
    }
    Metadata value;
    if (!to_metadata(filter_pair->value.get(), &value)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "Unsupported type for metadata filter");
      return false;
    }
    *filter = make_equality_filter(std::move(filter_pair->name), std::move(value));
  }
  return true;
}

PyObject* search(const HNSW& index, const BoundArgs& args) {
  std::vector<double> query;
  if (!to_vector(args[0], &query)) return argument_error("query");
  std::uint32_t k;
  std::optional<Filter> filter;
  if (!search_options(index, args, &k, &filter)) return nullptr;
  std::vector<Neighbor> results;
  const Status<HNSWError> status = core_work(walk_cost(index, index.ef_search()), [&](Checkpoint&) {
    return index.search(query, k, filter ? &*filter : nullptr, &results);
  });
  if (!status.ok()) return search_error(status.error());
  return results_to_list(index, results);
}

// The answers of search() for each query in turn, spread over every usable
// core. Its checks depend on no query, so they are made once, before any
// work.
PyObject* search_many(const HNSW& index, const BoundArgs& args) {
  BatchArgument argument;
  if (!to_vector_batch(args[0], &argument)) return argument_error("queries");
  const VectorBatch& queries = argument.batch();
  if (queries.empty()) return PyList_New(0);  // no query, so no search to fail
  std::uint32_t k;
  std::optional<Filter> filter;
  if (!search_options(index, args, &k, &filter)) return nullptr;
  const Filter* applied = filter ? &*filter : nullptr;
  if (Status<HNSWError> status = index.check_search(applied); !status.ok()) return search_error(status.error());
  argument.own();  // the searches run without the lock
  std::vector<std::vector<Neighbor>> answers(queries.size());
  const bool completed = release_lock([&](Checkpoint& checkpoint) {
    constexpr std::size_t kQueriesPerChunk = 4;
    return run_parallel(
        queries.size(), kQueriesPerChunk, usable_cores(),
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            const Status<HNSWError> status = index.search(queries[i], k, applied, &answers[i]);
            check_invariant(status.ok(), "a search failed after its checks passed");
          }
        },
        checkpoint);
  });
  if (!completed) return nullptr;  // a signal handler raised
  return new_list(answers.size(), [&](std::size_t i) { return results_to_list(index, answers[i]); });
}

// One list of pairs per vector; a str is refused both for the outer list and
// in place of an inner one.
bool to_metadata_lists(PyObject* object, std::vector<std::vector<NamedValue>>* lists) {
  std::size_t hint = 0;
  return convert_sequence(object, &hint, [&](PyObject* item) {
    if (lists->empty()) lists->reserve(reservation_for(hint));
    return to_named_values(item, &lists->emplace_back());
  });
}

PyObject* create_error(HNSWError error) {
  return PyErr_Format(PyExc_ValueError, "Create error: %s", hnsw_error_name(error));
}

// Notes on the pending exception how many vectors of a batch of `total` a
// failed create stored before it stopped, since they stay in the index:
// "{stored} of {total} vectors were stored before the failure". The note is
// best effort: if it cannot be added, the exception stays as it was.
void add_stored_note(std::size_t stored, std::size_t total) {
  PendingError error = PendingError::fetch();
  if (error.empty()) return;
  PyRef note(PyUnicode_FromFormat("%zu of %zu vectors were stored before the failure", stored, total));
  if (!note || !PyRef(PyObject_CallMethod(error.value(), "add_note", "O", note.get()))) PyErr_Clear();
  error.restore();
}

// The insertion loop of a create: vector i with records[i] when records are
// given, without the interpreter lock. Between two insertions the index is
// consistent, and there an interrupt stops the loop. A failure, whether an
// error value or an exception (no memory, a panic, an interrupt), is raised
// with the note of how many vectors were stored before it.
PyObject* insert_all(HNSW& index, BatchArgument& argument, std::vector<std::vector<Metadata>>* records) {
  argument.own();  // the insertions run without the lock
  const VectorBatch& vectors = argument.batch();
  std::size_t i = 0;
  PyObject* result = call_boundary([&]() -> PyObject* {
    bool completed = true;
    const Status<HNSWError> status = release_lock([&](Checkpoint& checkpoint) -> Status<HNSWError> {
      ThreadRandomLevels levels;
      for (; i < vectors.size(); ++i) {
        if (!checkpoint.keep_going()) {
          completed = false;
          break;
        }
        std::optional<std::vector<Metadata>> record;
        if (records != nullptr) record = std::move((*records)[i]);
        if (Status<HNSWError> inserted = index.insert(vectors[i], std::move(record), levels); !inserted.ok()) {
          return inserted;
        }
      }
      return Status<HNSWError>::Ok();
    });
    if (!status.ok()) return create_error(status.error());
    if (!completed) return nullptr;  // a signal handler raised
    Py_RETURN_NONE;
  });
  if (result == nullptr) add_stored_note(i, vectors.size());
  return result;
}

PyObject* create(HNSW& index, const BoundArgs& args) {
  BatchArgument argument;
  if (!to_vector_batch(args[0], &argument)) return argument_error("vectors");
  const VectorBatch& vectors = argument.batch();
  std::optional<std::vector<std::vector<NamedValue>>> metadata;
  if (PyObject* metadata_object = args.optional(1)) {
    argument.own();  // converting the metadata can run Python code
    if (!to_metadata_lists(metadata_object, &metadata.emplace())) return argument_error("metadata");
  }
  // Every length is checked before any vector is stored.
  if (const std::size_t i = vectors.first_row_not_of_length(index.dim()); i < vectors.size()) {
    return length_error(index.dim(), vectors[i].size());
  }
  if (!metadata) {
    if (vectors.empty()) return create_error(HNSWError::EmptyVectors);
    index.check_room_for(vectors.size());
    return insert_all(index, argument, nullptr);
  }
  if (metadata->size() != vectors.size()) {
    PyErr_SetString(PyExc_ValueError, "Length of metadata list must match number of vectors");
    return nullptr;
  }
  if (!index.schema()) return no_schema_error("metadata");
  // Every record is built before anything is inserted.
  std::vector<std::vector<Metadata>> records(metadata->size());
  for (std::size_t i = 0; i < metadata->size(); ++i) {
    if (!build_record((*metadata)[i], *index.schema(), &records[i])) return nullptr;
  }
  if (vectors.empty()) return create_error(HNSWError::EmptyVectors);
  index.check_room_for(vectors.size());
  return insert_all(index, argument, &records);
}

PyObject* save(const HNSW& index, const BoundArgs& args) { return save_index(index, args); }
PyObject* load(const BoundArgs& args) { return load_index(persist::IndexClass::HNSW, args); }
PyObject* reduce(const HNSW& index, const BoundArgs& args) { return reduce_index(index, args); }

PyMethodDef methods[] = {
    method_entry<method<HNSW, hnsw_class, kInsert, Access::Exclusive, insert>>(
        "insert",
        "insert($self, vector, metadata=None)\n--\n\n"
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats.\n"
        "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
        "`[(\"color\", \"blue\"), (\"size\", 42)]`"),
    method_entry<method<HNSW, hnsw_class, kSearch, Access::Shared, search>>(
        "search",
        "search($self, query, k=None, filter=None)\n--\n\n"
        "Search for the k nearest neighbors.\n\n"
        "Returns a list of tuples `(distance, vector)`."),
    method_entry<method<HNSW, hnsw_class, kCreate, Access::Exclusive, create>>(
        "create", "create($self, vectors, metadata=None)\n--\n\n"),
    method_entry<method<HNSW, hnsw_class, kSave, Access::Shared, save>>(
        "save",
        "save($self, path)\n--\n\n"
        "Write the whole index to the file at `path` (a str or os.PathLike).\n\n"
        "The file is replaced atomically: a temporary file beside it is written,\n"
        "synced and renamed over it, so an interrupted save leaves the old file.\n"
        "Raises OSError when the file cannot be written."),
    class_method_entry<class_method<kLoad, load>>(
        "load",
        "load($cls, path)\n--\n\n"
        "Read an index that PyHNSW.save wrote and return it as a new PyHNSW.\n\n"
        "Raises ValueError when the file is not a saved PyHNSW (another class,\n"
        "damaged, truncated, or from a newer version) and OSError when it\n"
        "cannot be read."),
    method_entry<method<HNSW, hnsw_class, kReduce, Access::Shared, reduce>>(
        "__reduce__",
        "__reduce__($self)\n--\n\n"
        "Support for pickle and copy: the index as saved bytes."),
    method_entry<method<HNSW, hnsw_class, kSearchMany, Access::Shared, search_many>>(
        "search_many",
        "search_many($self, queries, k=None, filter=None)\n--\n\n"
        "Search for the k nearest neighbors of each of many queries.\n\n"
        "`queries` is a 2-D array or a sequence of sequences of floats. Returns\n"
        "`[self.search(q, k, filter) for q in queries]`: a list with one list of\n"
        "`(distance, vector)` tuples per query, in the order of the queries, with\n"
        "exactly the values `search` returns. The queries are answered on every\n"
        "core the process may use. Errors are those `search` raises for the\n"
        "first query that fails, raised before any searching (a conversion\n"
        "error names the argument 'queries'); an empty `queries` gives `[]`.\n"
        "An interrupt (KeyboardInterrupt) ends the call within a fraction of a\n"
        "second and discards the partial answers."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PythonClass hnsw_class(ClassDef{
    kClassName,
    "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None, *, prune=False)",
    "",
    sizeof(Instance<HNSW>),
    construct<HNSW, kNew, build_hnsw>,
    deallocate<HNSW, kClassName>,
    methods,
});

}  // namespace tamsel::py
