// The saved-index file format, version 1: the constants both directions
// share. Every field is fixed-width little-endian; the README lists them all.
//
//   offset  size  field
//        0     8  magic "\x89TAMSEL\n"
//        8     4  format version (1)
//       12     4  class: 1 PyFlat, 2 PyHNSW
//       16     8  file length in bytes, trailer included
//       24     8  vector count N
//       32     4  dim
//       36     4  metric: 0 Euclidean, 1 cosine ("cosine"/"angular"), 2 inner product
//       40    16  layers, m, ef_construction, ef_search (4 bytes each; 0 for PyFlat)
//       56     4  graph construction mode (0: rows never pruned, 1: pruned graph)
//       60     4  reserved, 0
//       64  8·N·dim  the vectors, row after row, as IEEE 754 doubles
//
// A PyHNSW file goes on with the graph and the metadata (see hnsw_sections
// in persist.cc), and every file ends in an 8-byte checksum (checksum.h) of
// all bytes before it. The vectors start 64-byte aligned so that a later
// reader can map them in place.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tamsel::persist {

static_assert(std::endian::native == std::endian::little, "the file format is written in native little-endian order");

inline constexpr unsigned char kMagic[8] = {0x89, 'T', 'A', 'M', 'S', 'E', 'L', '\n'};
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kTrailerSize = 8;

enum class IndexClass : std::uint32_t { Flat = 1, HNSW = 2 };

enum class MetricCode : std::uint32_t { Euclidean = 0, Cosine = 1, InnerProduct = 2 };

// How the graph's rows were built: the described rows that are never pruned,
// or the pruned graph's lists per layer (PyHNSW(..., prune=True)).
inline constexpr std::uint32_t kModeUnpruned = 0;
inline constexpr std::uint32_t kModePruned = 1;

// Tags of metadata values, in the order of the Metadata variants.
enum class ValueTag : std::uint8_t { Text = 0, Integer = 1, Float = 2 };

// Per-node flag bits of a PyHNSW file.
inline constexpr std::uint8_t kFlagHasRow = 1;
inline constexpr std::uint8_t kFlagHasRecord = 2;

struct Header {
  std::uint32_t version = kFormatVersion;
  IndexClass index_class = IndexClass::Flat;
  std::uint64_t file_length = 0;
  std::uint64_t count = 0;
  std::uint32_t dim = 0;
  MetricCode metric = MetricCode::Euclidean;
  std::uint32_t layers = 0, m = 0, ef_construction = 0, ef_search = 0;
  std::uint32_t mode = kModeUnpruned;
};

}  // namespace tamsel::persist
