#include <gtest/gtest.h>

#include <random>

#include "metadata/metadata.h"
#include "test_util.h"

namespace tamsel {
namespace {

Metadata random_value(std::mt19937_64& rng) {
  switch (rng() % 6) {
    case 0:
      return Metadata(std::int64_t(rng() % 3));
    case 1:
      return Metadata(double(rng() % 3));
    case 2:
      return Metadata(testing::kNaN);
    case 3:
      return Metadata(-0.0);
    case 4:
      return Metadata(std::string(1, "x\0y"[rng() % 3]));
    default:
      return Metadata(std::string(rng() % 2 ? "" : "xy"));
  }
}

// The codes agree with metadata_equal for every pair of stored values and
// every value looked up, also when reservations are abandoned and nodes
// taken back on the way.
TEST(MetadataStore, CodesFollowEquality) {
  std::mt19937_64 rng(13);
  MetadataStore store(2);
  std::vector<std::optional<std::vector<Metadata>>> records;
  for (int node = 0; node < 300; ++node) {
    const bool abandoned = rng() % 4 == 0;
    if (abandoned) {  // a reservation that no append follows, as when an insertion fails
      std::vector<Metadata> dropped{random_value(rng), random_value(rng)};
      store.reserve_node(rng() % 2 ? &dropped : nullptr);
    }
    std::optional<std::vector<Metadata>> record;
    if (rng() % 5 != 0) record = std::vector<Metadata>{random_value(rng), random_value(rng)};
    records.push_back(record);
    if (abandoned || rng() % 2) store.reserve_node(record ? &*record : nullptr);
    if (record) {
      store.append_record(*record);
    } else {
      store.append_without_record();
    }
    if (rng() % 6 == 0) {  // an insertion taken back
      store.remove_last_node();
      records.pop_back();
    }
  }
  for (std::size_t position = 0; position < 2; ++position) {
    const std::uint32_t* codes = store.codes(position);
    for (int probe = 0; probe < 200; ++probe) {
      const Metadata value = random_value(rng);
      const std::uint32_t code = store.code_of(position, value);
      for (std::size_t node = 0; node < records.size(); ++node) {
        const bool equal = records[node] && metadata_equal((*records[node])[position], value);
        ASSERT_EQ(codes[node] == code, equal) << "node " << node;
      }
    }
    for (std::size_t a = 0; a < records.size(); ++a) {
      for (std::size_t b = 0; b < records.size(); ++b) {
        const bool equal = records[a] && records[b] && metadata_equal((*records[a])[position], (*records[b])[position]);
        ASSERT_EQ(codes[a] == codes[b] && codes[a] != MetadataStore::kNoValue, equal) << a << " " << b;
      }
    }
  }
}

}  // namespace
}  // namespace tamsel
