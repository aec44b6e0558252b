#include "persist/persist.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <variant>

#include "common/panic.h"

namespace tamsel::persist {

// After the vectors, a PyHNSW file holds, in this order:
//   levels        N x u32
//   node flags    N x u8: bit 0 the node has its row, bit 1 it has a metadata record
//   row lengths   N x u32, the lengths of the layer-0 neighbour lists
//                 (mode 1: of all the node's lists together)
//   E             u64, the number of neighbour entries
//   neighbours    E x u32, the rows end to end, each in the order its links were made
//                 (mode 1: each node's lists from layer 0 up to its level)
//   mode 1 only:  list lengths, for each node (level + 1) x u32, layer 0 first;
//                 entry u32, the node searches enter at (0xFFFFFFFF: none)
//   schema        u64: 0 for none, else 1 + S, then S names (u64 length, UTF-8 bytes)
//   metadata      for each node with a record, S values: u8 tag (0 text,
//                 1 integer, 2 float), then u64 length and bytes, an i64, or
//                 an f64
// Every length is bounded by the bytes left before anything is allocated.

namespace {

// Vectors move in pieces that stay in the cache between being copied,
// summed and stored.
constexpr std::size_t kChunkBytes = std::size_t{256} << 10;

MetricCode metric_code(MetricFn metric) {
  if (metric == cosine_similarity) return MetricCode::Cosine;
  if (metric == dot_product) return MetricCode::InnerProduct;
  check_invariant(metric == euclidean_distance, "saving an index with a metric the file format does not know");
  return MetricCode::Euclidean;
}

MetricFn metric_function(MetricCode code) {
  switch (code) {
    case MetricCode::Cosine:
      return cosine_similarity;
    case MetricCode::InnerProduct:
      return dot_product;
    case MetricCode::Euclidean:
      break;
  }
  return euclidean_distance;
}

template <class T>
void store_at(unsigned char* bytes, std::size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof value);
}

template <class T>
T load_at(const unsigned char* bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

void put_header(Writer& writer, const Header& header) {
  unsigned char bytes[kHeaderSize] = {};
  std::memcpy(bytes, kMagic, sizeof kMagic);
  store_at(bytes, 8, header.version);
  store_at(bytes, 12, static_cast<std::uint32_t>(header.index_class));
  store_at(bytes, 16, header.file_length);
  store_at(bytes, 24, header.count);
  store_at(bytes, 32, header.dim);
  store_at(bytes, 36, static_cast<std::uint32_t>(header.metric));
  store_at(bytes, 40, header.layers);
  store_at(bytes, 44, header.m);
  store_at(bytes, 48, header.ef_construction);
  store_at(bytes, 52, header.ef_search);
  store_at(bytes, 56, header.mode);
  writer.put(bytes, sizeof bytes);
}

std::uint64_t value_size(const Metadata& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return 1 + 8 + text->size();
  return 1 + 8;
}

std::uint64_t neighbor_entries(const HNSW& index) {
  std::uint64_t entries = 0;
  if (const PrunedGraph* pruned = index.pruned_graph()) {
    for (std::size_t v = 0; v < index.size(); ++v) {
      for (std::uint32_t layer = 0; layer <= pruned->level(static_cast<NodeId32>(v)); ++layer) {
        entries += pruned->neighbors(static_cast<NodeId32>(v), layer).size();
      }
    }
    return entries;
  }
  for (std::size_t v = 0; v < index.size(); ++v) {
    entries += index.graph().with_list(static_cast<NodeId32>(v), 0, [](auto list) { return list.size(); });
  }
  return entries;
}

std::string class_mismatch(IndexClass found, IndexClass expected) {
  return std::string("the file holds a ") + class_name(found) + " index, not a " + class_name(expected) + " index";
}

}  // namespace

const char* class_name(IndexClass index_class) { return index_class == IndexClass::Flat ? "PyFlat" : "PyHNSW"; }

std::uint64_t saved_size(const Flat& index) {
  return kHeaderSize + std::uint64_t{index.size()} * index.dim() * sizeof(double) + kTrailerSize;
}

std::uint64_t saved_size(const HNSW& index) {
  const std::uint64_t nodes = index.size();
  std::uint64_t size = kHeaderSize + nodes * index.dim() * sizeof(double);
  size += nodes * (4 + 1 + 4) + 8 + neighbor_entries(index) * 4 + 8;
  if (const PrunedGraph* pruned = index.pruned_graph()) {
    for (std::size_t v = 0; v < nodes; ++v) size += 4 * (std::uint64_t{pruned->level(static_cast<NodeId32>(v))} + 1);
    size += 4;
  }
  if (const auto& schema = index.schema()) {
    for (const std::string& name : *schema) size += 8 + name.size();
    for (std::size_t v = 0; v < nodes; ++v) {
      if (!index.metadata().has_record(v)) continue;
      for (std::size_t i = 0; i < schema->size(); ++i) size += value_size(*index.metadata().value(v, i));
    }
  }
  return size + kTrailerSize;
}

PersistStatus save(const Flat& index, Output& output, const KeepGoing& keep_going) {
  const std::uint64_t total = saved_size(index);
  Writer writer(output, total, keep_going);
  Header header;
  header.index_class = IndexClass::Flat;
  header.file_length = total;
  header.count = index.size();
  header.dim = static_cast<std::uint32_t>(index.dim());
  header.metric = metric_code(index.metric());
  put_header(writer, header);
  const std::size_t row_bytes = index.dim() * sizeof(double);
  for (std::size_t id = 0; id < index.size() && writer.ok();) {
    // Whole rows straight into the writer's buffer; a row larger than the
    // buffer goes through a copy of its own.
    const std::size_t room = writer.room(std::max(row_bytes, kChunkBytes));
    if (room >= row_bytes) {
      const std::size_t rows = std::min(room / row_bytes, index.size() - id);
      index.copy_vectors(id, rows, reinterpret_cast<double*>(writer.room_data()));
      writer.commit(rows * row_bytes);
      id += rows;
    } else if (room > 0) {
      const std::vector<double> row = index.vector(id++);
      writer.put(row.data(), row_bytes);
    }
  }
  return writer.finish();
}

PersistStatus save(const HNSW& index, Output& output, const KeepGoing& keep_going) {
  const std::uint64_t total = saved_size(index);
  Writer writer(output, total, keep_going);
  const std::size_t nodes = index.size();
  Header header;
  header.index_class = IndexClass::HNSW;
  header.file_length = total;
  header.count = nodes;
  header.dim = index.dim();
  header.metric = metric_code(index.metric());
  header.layers = index.layers();
  header.m = index.m();
  header.ef_construction = index.ef_construction();
  header.ef_search = index.ef_search();
  const PrunedGraph* pruned = index.pruned_graph();
  if (pruned != nullptr) header.mode = kModePruned;
  put_header(writer, header);
  for (std::size_t v = 0; v < nodes && writer.ok(); ++v) {
    const std::span<const double> vector = index.vector(v);
    writer.put(vector.data(), vector.size_bytes());
  }
  for (std::size_t v = 0; v < nodes; ++v) writer.put_value<std::uint32_t>(index.level(v));
  for (std::size_t v = 0; v < nodes; ++v) {
    const bool has_record = index.schema() && index.metadata().has_record(v);
    writer.put_value<std::uint8_t>((index.has_row(v) ? kFlagHasRow : 0) | (has_record ? kFlagHasRecord : 0));
  }
  if (pruned != nullptr) {
    const auto lists = [&](std::size_t v, auto&& fn) {
      const auto node = static_cast<NodeId32>(v);
      for (std::uint32_t layer = 0; layer <= pruned->level(node); ++layer) fn(pruned->neighbors(node, layer));
    };
    for (std::size_t v = 0; v < nodes; ++v) {
      std::uint32_t length = 0;
      lists(v, [&](auto list) { length += static_cast<std::uint32_t>(list.size()); });
      writer.put_value<std::uint32_t>(length);
    }
    writer.put_value<std::uint64_t>(neighbor_entries(index));
    for (std::size_t v = 0; v < nodes && writer.ok(); ++v) {
      lists(v, [&](auto list) {
        for (const auto n : list) writer.put_value<std::uint32_t>(n);
      });
    }
    for (std::size_t v = 0; v < nodes; ++v) {
      lists(v, [&](auto list) { writer.put_value<std::uint32_t>(static_cast<std::uint32_t>(list.size())); });
    }
    writer.put_value<std::uint32_t>(pruned->has_entry() ? pruned->entry() : 0xFFFFFFFFu);
  } else {
    const auto row = [&](std::size_t v, auto&& fn) { return index.graph().with_list(static_cast<NodeId32>(v), 0, fn); };
    for (std::size_t v = 0; v < nodes; ++v) {
      writer.put_value<std::uint32_t>(static_cast<std::uint32_t>(row(v, [](auto list) { return list.size(); })));
    }
    writer.put_value<std::uint64_t>(neighbor_entries(index));
    for (std::size_t v = 0; v < nodes && writer.ok(); ++v) {
      row(v, [&](auto list) {
        for (const auto n : list) writer.put_value<std::uint32_t>(n);
      });
    }
  }
  const auto& schema = index.schema();
  writer.put_value<std::uint64_t>(schema ? schema->size() + 1 : 0);
  if (schema) {
    for (const std::string& name : *schema) {
      writer.put_value<std::uint64_t>(name.size());
      writer.put(name.data(), name.size());
    }
    for (std::size_t v = 0; v < nodes && writer.ok(); ++v) {
      if (!index.metadata().has_record(v)) continue;
      for (std::size_t i = 0; i < schema->size(); ++i) {
        std::visit(
            [&](const auto& value) {
              using T = std::decay_t<decltype(value)>;
              if constexpr (std::is_same_v<T, std::string>) {
                writer.put_value(ValueTag::Text);
                writer.put_value<std::uint64_t>(value.size());
                writer.put(value.data(), value.size());
              } else if constexpr (std::is_same_v<T, std::int64_t>) {
                writer.put_value(ValueTag::Integer);
                writer.put_value(value);
              } else {
                writer.put_value(ValueTag::Float);
                writer.put_value(value);
              }
            },
            *index.metadata().value(v, i));
      }
    }
  }
  return writer.finish();
}

namespace {

PersistStatus read_header(Input& input, std::optional<IndexClass> expected, unsigned char* bytes, Header* header) {
  const std::uint64_t size = input.size();
  if (size < sizeof kMagic) return PersistError::format("not a tamsel index file");
  if (PersistStatus status = input.read(bytes, sizeof kMagic); !status.ok()) return status;
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return PersistError::format("not a tamsel index file");
  if (size < kHeaderSize) return PersistError::format("truncated");
  if (PersistStatus status = input.read(bytes + sizeof kMagic, kHeaderSize - sizeof kMagic); !status.ok()) {
    return status;
  }
  header->version = load_at<std::uint32_t>(bytes, 8);
  if (header->version > kFormatVersion) {
    return PersistError::format("written by a newer version (format " + std::to_string(header->version) + ")");
  }
  if (header->version != kFormatVersion) {
    return PersistError::format("unknown format version " + std::to_string(header->version));
  }
  const auto index_class = load_at<std::uint32_t>(bytes, 12);
  if (index_class != 1 && index_class != 2) {
    return PersistError::format("unknown index class " + std::to_string(index_class));
  }
  header->index_class = static_cast<IndexClass>(index_class);
  if (expected && header->index_class != *expected) {
    return PersistError::format(class_mismatch(header->index_class, *expected));
  }
  header->file_length = load_at<std::uint64_t>(bytes, 16);
  if (header->file_length < kHeaderSize + kTrailerSize) return PersistError::format("corrupt: file length too small");
  if (size < header->file_length) return PersistError::format("truncated");
  if (size > header->file_length) return PersistError::format("unexpected data after the end of the index");
  header->count = load_at<std::uint64_t>(bytes, 24);
  header->dim = load_at<std::uint32_t>(bytes, 32);
  const auto metric = load_at<std::uint32_t>(bytes, 36);
  if (metric > 2) return PersistError::format("unknown metric code " + std::to_string(metric));
  header->metric = static_cast<MetricCode>(metric);
  header->layers = load_at<std::uint32_t>(bytes, 40);
  header->m = load_at<std::uint32_t>(bytes, 44);
  header->ef_construction = load_at<std::uint32_t>(bytes, 48);
  header->ef_search = load_at<std::uint32_t>(bytes, 52);
  header->mode = load_at<std::uint32_t>(bytes, 56);
  if (header->mode != kModeUnpruned && header->mode != kModePruned) {
    return PersistError::format("unknown graph construction mode " + std::to_string(header->mode));
  }
  if (load_at<std::uint32_t>(bytes, 60) != 0) return PersistError::format("corrupt: reserved header field is not 0");
  return PersistStatus::Ok();
}

PersistError corrupt(const char* what) { return PersistError::format(std::string("corrupt: ") + what); }

PersistStatus load_flat(Reader& reader, const Header& header, std::optional<Flat>* loaded) {
  if (header.layers != 0 || header.m != 0 || header.ef_construction != 0 || header.ef_search != 0) {
    return corrupt("graph parameters in a flat index");
  }
  if (header.dim == 0 && header.count != 0) return corrupt("vectors of dimension 0");
  const std::size_t row_bytes = std::size_t{header.dim} * sizeof(double);
  if (!reader.fits(header.count, row_bytes)) return PersistError::format("truncated");
  Flat& flat = loaded->emplace(header.dim, metric_function(header.metric));
  flat.reserve(header.count);
  const std::size_t rows_per_chunk = std::max<std::size_t>(1, kChunkBytes / std::max<std::size_t>(row_bytes, 1));
  std::vector<double> chunk;
  for (std::uint64_t done = 0; done < header.count;) {
    const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_chunk, header.count - done));
    chunk.resize(rows * header.dim);
    if (PersistStatus status = reader.take(chunk.data(), rows * row_bytes); !status.ok()) return status;
    if (!flat.create(VectorBatch::view(chunk.data(), rows, header.dim)).ok()) return corrupt("empty batch");
    done += rows;
  }
  return reader.finish();
}

template <class T, class Allocator>
PersistStatus take_array(Reader& reader, std::uint64_t count, std::vector<T, Allocator>* out) {
  if (!reader.fits(count, sizeof(T))) return PersistError::format("truncated");
  out->resize(static_cast<std::size_t>(count));
  return reader.take(out->data(), out->size() * sizeof(T));
}

PersistStatus take_text(Reader& reader, std::string* text) {
  std::uint64_t length;
  if (PersistStatus status = reader.take_value(&length); !status.ok()) return status;
  if (!reader.fits(length, 1)) return PersistError::format("truncated");
  text->resize(static_cast<std::size_t>(length));
  return reader.take(text->data(), text->size());
}

PersistStatus take_value(Reader& reader, Metadata* value) {
  ValueTag tag;
  if (PersistStatus status = reader.take_value(&tag); !status.ok()) return status;
  switch (tag) {
    case ValueTag::Text:
      return take_text(reader, &value->emplace<std::string>());
    case ValueTag::Integer:
      return reader.take_value(&value->emplace<std::int64_t>());
    case ValueTag::Float:
      return reader.take_value(&value->emplace<double>());
  }
  return corrupt("unknown metadata value tag");
}

PersistStatus load_hnsw(Reader& reader, const Header& header, std::optional<HNSW>* loaded) {
  HNSWImage image;
  image.config.dim = header.dim;
  image.config.layers = header.layers;
  image.config.m = header.m;
  image.config.ef_construction = header.ef_construction;
  image.config.ef_search = header.ef_search;
  image.config.metric = metric_function(header.metric);
  image.config.prune = header.mode == kModePruned;
  const std::uint64_t nodes = header.count;
  // Each node takes at least its level, flags and row length.
  if (!reader.fits(nodes, 4 + 1 + 4)) return PersistError::format("truncated");
  if (!reader.fits(nodes, std::uint64_t{header.dim} * sizeof(double))) return PersistError::format("truncated");
  PersistStatus status = take_array(reader, nodes * header.dim, &image.vectors);
  if (status.ok()) status = take_array(reader, nodes, &image.levels);
  std::vector<std::uint8_t> flags;
  if (status.ok()) status = take_array(reader, nodes, &flags);
  if (!status.ok()) return status;
  image.has_row.resize(flags.size());
  image.has_record.resize(flags.size());
  std::uint64_t records = 0;
  for (std::size_t v = 0; v < flags.size(); ++v) {
    if ((flags[v] & ~(kFlagHasRow | kFlagHasRecord)) != 0) return corrupt("unknown node flags");
    image.has_row[v] = (flags[v] & kFlagHasRow) != 0;
    image.has_record[v] = (flags[v] & kFlagHasRecord) != 0;
    records += image.has_record[v];
  }
  if (status = take_array(reader, nodes, &image.row_lengths); !status.ok()) return status;
  std::uint64_t entries;
  if (status = reader.take_value(&entries); !status.ok()) return status;
  if (status = take_array(reader, entries, &image.neighbors); !status.ok()) return status;
  if (image.config.prune) {
    std::uint64_t lists = 0;
    for (const std::uint32_t level : image.levels) {
      if (level >= kPrunedLevelLimit) return corrupt("node level out of range");
      lists += std::uint64_t{level} + 1;
    }
    if (status = take_array(reader, lists, &image.list_lengths); !status.ok()) return status;
    if (status = reader.take_value(&image.entry); !status.ok()) return status;
  }
  std::uint64_t schema_field;
  if (status = reader.take_value(&schema_field); !status.ok()) return status;
  if (schema_field != 0) {
    const std::uint64_t names = schema_field - 1;
    if (!reader.fits(names, 8)) return PersistError::format("truncated");
    auto& schema = image.config.schema.emplace(static_cast<std::size_t>(names));
    for (std::string& name : schema) {
      if (status = take_text(reader, &name); !status.ok()) return status;
    }
    // Each value takes at least its tag and eight bytes.
    if (names != 0 && records > reader.remaining() / 9 / names) return PersistError::format("truncated");
    image.values.resize(static_cast<std::size_t>(records * names));
    for (Metadata& value : image.values) {
      if (status = take_value(reader, &value); !status.ok()) return status;
    }
  } else if (records != 0) {
    return corrupt("metadata record in an index without a schema");
  }
  if (status = reader.finish(); !status.ok()) return status;
  if (Status<RestoreError> restored = HNSW::restore(std::move(image), loaded); !restored.ok()) {
    return corrupt(restored.error().message);
  }
  return PersistStatus::Ok();
}

}  // namespace

PersistStatus load(Input& input, std::optional<IndexClass> expected, const KeepGoing& keep_going,
                   LoadedIndex* loaded) {
  unsigned char bytes[kHeaderSize];
  Header header;
  if (PersistStatus status = read_header(input, expected, bytes, &header); !status.ok()) return status;
  Reader reader(input, bytes, header.file_length, keep_going);
  PersistStatus status = header.index_class == IndexClass::Flat ? load_flat(reader, header, &loaded->flat)
                                                                : load_hnsw(reader, header, &loaded->hnsw);
  if (!status.ok()) *loaded = LoadedIndex{};  // nothing half loaded is handed out
  return status;
}

}  // namespace tamsel::persist
