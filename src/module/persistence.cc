#include "module/persistence.h"

#include "flat/py_flat.h"
#include "hnsw/py_hnsw.h"
#include "module/core_section.h"
#include "persist/file.h"

namespace tamsel::py {

namespace {

using persist::ErrorKind;
using persist::IndexClass;
using persist::PersistError;
using persist::PersistStatus;

constexpr CallableSpec kRestore = make_callable("tamsel", "_restore", {"data"});

// A path argument (str, bytes or os.PathLike) in the file system's encoding.
bool to_path(PyObject* object, PyRef* encoded) {
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(object, &bytes)) return false;
  encoded->reset(bytes);
  return true;
}

// Stops a long save or load when a signal handler raised (Ctrl-C); the
// exception it set is what the call raises.
persist::KeepGoing signal_check() {
  return [] { return PyErr_CheckSignals() == 0; };
}

Failed raise_error(const PersistError& error, PyObject* filename) {
  switch (error.kind) {
    case ErrorKind::Format:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
      break;
    case ErrorKind::Io:
      errno = error.error_number;
      if (filename != nullptr) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
      } else {
        PyErr_SetFromErrno(PyExc_OSError);
      }
      break;
    case ErrorKind::Interrupted:
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      break;
  }
  return Failed{};
}

template <class Index>
PyObject* save_to_file(const Index& index, const BoundArgs& args) {
  PyRef path;
  if (!to_path(args[0], &path)) return argument_error("path");
  // Written without the interpreter lock: the index is only read, and the
  // path stays alive in `path`.
  const char* name = PyBytes_AS_STRING(path.get());
  persist::AtomicFile file;
  const PersistStatus status = release_lock([&](Checkpoint& checkpoint) {
    const persist::KeepGoing keep_going = [&] { return checkpoint.keep_going(); };
    PersistStatus written = file.open(name);
    if (written.ok()) written = persist::save(index, file, keep_going);
    if (written.ok()) written = file.commit();
    return written;
  });
  if (!status.ok()) return raise_error(status.error(), args[0]);
  Py_RETURN_NONE;
}

template <class Index>
PyObject* save_to_bytes(const Index& index) {
  const std::uint64_t size = persist::saved_size(index);
  if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return nullptr;
  persist::MemoryOutput output(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(size));
  const persist::KeepGoing keep_going = signal_check();
  if (PersistStatus status = persist::save(index, output, keep_going); !status.ok()) {
    return raise_error(status.error(), nullptr);
  }
  return bytes.release();
}

// The loaded index as a new instance of its class.
PyObject* to_instance(persist::LoadedIndex&& loaded) {
  if (loaded.flat) {
    PyTypeObject* type = flat_class.type();
    return type == nullptr ? nullptr : new_instance(type, std::move(*loaded.flat));
  }
  PyTypeObject* type = hnsw_class.type();
  return type == nullptr ? nullptr : new_instance(type, std::move(*loaded.hnsw));
}

// A C-contiguous byte view of any buffer, released on every way out.
class ByteView {
 public:
  ByteView() = default;
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;
  ~ByteView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  const void* data() const { return view_.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* restore(const BoundArgs& args) {
  ByteView data;
  if (!data.acquire(args[0])) return argument_error("data");
  persist::MemoryInput input(data.data(), data.size());
  persist::LoadedIndex loaded;
  const persist::KeepGoing keep_going = signal_check();
  if (PersistStatus status = persist::load(input, std::nullopt, keep_going, &loaded); !status.ok()) {
    return raise_error(status.error(), nullptr);
  }
  return to_instance(std::move(loaded));
}

// The reconstructor as pickle stores it: found by name in the module.
PyObject* restore_function() {
  PyRef module(PyImport_ImportModule("tamsel"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), "_restore");
}

template <class Index>
PyObject* reduce(const Index& index) {
  PyRef function(restore_function());
  if (!function) return nullptr;
  PyRef bytes(save_to_bytes(index));
  if (!bytes) return nullptr;
  return Py_BuildValue("(O(O))", function.get(), bytes.get());
}

}  // namespace

PyObject* save_index(const Flat& index, const BoundArgs& args) { return save_to_file(index, args); }
PyObject* save_index(const HNSW& index, const BoundArgs& args) { return save_to_file(index, args); }

PyObject* load_index(IndexClass index_class, const BoundArgs& args) {
  PyRef path;
  if (!to_path(args[0], &path)) return argument_error("path");
  // Read without the interpreter lock: nothing Python sees exists yet.
  const char* name = PyBytes_AS_STRING(path.get());
  persist::FileInput file;
  persist::LoadedIndex loaded;
  const PersistStatus status = release_lock([&](Checkpoint& checkpoint) {
    const persist::KeepGoing keep_going = [&] { return checkpoint.keep_going(); };
    PersistStatus read = file.open(name);
    if (read.ok()) read = persist::load(file, index_class, keep_going, &loaded);
    return read;
  });
  if (!status.ok()) return raise_error(status.error(), args[0]);
  return to_instance(std::move(loaded));
}

PyObject* reduce_index(const Flat& index, const BoundArgs&) { return reduce(index); }
PyObject* reduce_index(const HNSW& index, const BoundArgs&) { return reduce(index); }

PyMethodDef module_functions[] = {
    {"_restore",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&class_method<kRestore, restore>)),
     METH_FASTCALL | METH_KEYWORDS,
     "_restore(data)\n--\n\n"
     "Rebuild an index from the bytes its __reduce__ gave; pickle and copy call this."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::py
