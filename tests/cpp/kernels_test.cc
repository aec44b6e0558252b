#include <gtest/gtest.h>
#include <xmmintrin.h>

#include "metric/kernels.h"
#include "metric/screen_rotation.h"
#include "metric/metric.h"
#include "test_util.h"

namespace tamsel {
namespace {

using testing::kNaN;
using testing::same_double;

class Kernels : public ::testing::TestWithParam<const BatchKernels*> {};

// Lanes of random vectors, plus the interleaved copy of them.
struct Batch {
  std::vector<std::vector<double>> vectors;
  std::vector<double> interleaved;
  const double* lanes[kLanes];
};

Batch make_batch(std::mt19937_64& rng, std::size_t n, bool specials) {
  Batch batch;
  batch.vectors = testing::awkward_vectors(rng, kLanes, n, specials);
  if (rng() % 2) {  // smooth values too, where sums are never exact
    std::normal_distribution<double> normal;
    for (auto& v : batch.vectors) {
      for (double& x : v) x = normal(rng);
    }
  }
  batch.interleaved.resize(n * kLanes);
  for (std::size_t l = 0; l < kLanes; ++l) {
    batch.lanes[l] = batch.vectors[l].data();
    for (std::size_t i = 0; i < n; ++i) batch.interleaved[i * kLanes + l] = batch.vectors[l][i];
  }
  return batch;
}

// Each lane is the scalar value, or the whole batch was abandoned and every
// true distance is at least the bound (or NaN).
void check_euclidean(const double* out, const Batch& batch, const std::vector<double>& query, double bound) {
  const bool abandoned = std::isinf(out[0]) && std::all_of(out, out + kLanes, [](double v) { return std::isinf(v); });
  for (std::size_t l = 0; l < kLanes; ++l) {
    const double exact = euclidean_distance(query, batch.vectors[l]);
    if (abandoned && !same_double(out[l], exact)) {
      ASSERT_TRUE(std::isnan(exact) || exact >= bound) << "lane " << l << " abandoned at " << exact;
    } else {
      ASSERT_TRUE(same_double(out[l], exact)) << "lane " << l << ": " << out[l] << " against " << exact;
    }
  }
}

TEST_P(Kernels, MatchTheScalarSumsBitForBit) {
  const BatchKernels& kernels = *GetParam();
  std::mt19937_64 rng(5);
  double out[kLanes];
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = rng() % 70;
    const bool specials = round % 4 == 0;
    const Batch batch = make_batch(rng, n, specials);
    const std::vector<double> query = testing::awkward_vectors(rng, 1, n, specials)[0];

    kernels.dot_interleaved(query.data(), n, batch.interleaved.data(), out);
    for (std::size_t l = 0; l < kLanes; ++l) ASSERT_TRUE(same_double(out[l], dot_product(query, batch.vectors[l])));
    kernels.dot_gathered(query.data(), n, batch.lanes, out);
    for (std::size_t l = 0; l < kLanes; ++l) ASSERT_TRUE(same_double(out[l], dot_product(query, batch.vectors[l])));

    kernels.euclidean_interleaved(query.data(), n, batch.interleaved.data(), kNaN, out);
    for (std::size_t l = 0; l < kLanes; ++l) {
      ASSERT_TRUE(same_double(out[l], euclidean_distance(query, batch.vectors[l])));
    }
    kernels.euclidean_gathered(query.data(), n, batch.lanes, kNaN, out);
    for (std::size_t l = 0; l < kLanes; ++l) {
      ASSERT_TRUE(same_double(out[l], euclidean_distance(query, batch.vectors[l])));
    }
  }
}

TEST_P(Kernels, AbandonOnlyHopelessBatches) {
  const BatchKernels& kernels = *GetParam();
  std::mt19937_64 rng(6);
  double out[kLanes];
  int abandoned = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = rng() % 90;
    const bool specials = round % 5 == 0;
    const Batch batch = make_batch(rng, n, specials);
    const std::vector<double> query = testing::awkward_vectors(rng, 1, n, specials)[0];
    const double exact = euclidean_distance(query, batch.vectors[rng() % kLanes]);
    const double bounds[] = {0.0, 1.0, exact, std::nextafter(exact, 0.0), testing::kInf, 1e-300};
    const double bound = bounds[rng() % 6];
    kernels.euclidean_interleaved(query.data(), n, batch.interleaved.data(), bound, out);
    check_euclidean(out, batch, query, bound);
    abandoned += std::isinf(out[0]);
    kernels.euclidean_gathered(query.data(), n, batch.lanes, bound, out);
    check_euclidean(out, batch, query, bound);
  }
  EXPECT_GT(abandoned, 100);  // the early exit is actually taken
}

// Lanes that differ from one another and from the query by about the
// rounding to float, at magnitudes from subnormal to near overflow, so that
// the rounded screen's slack is all that keeps a lane close to the bound.
Batch make_close_batch(std::mt19937_64& rng, std::size_t n, std::vector<double>* query) {
  const double scales[] = {1.0, 1e-30, 1e30, 1e-160, 1e150, 3e38, 1e-40, 1e-310};
  const double scale = scales[rng() % 8];
  std::normal_distribution<double> normal;
  std::vector<double> base(n);
  for (double& x : base) x = normal(rng) * scale;
  Batch batch = make_batch(rng, n, false);
  const double spreads[] = {0.0, 1e-9, 1e-7, 1e-6};
  for (auto& v : batch.vectors) {
    const double spread = spreads[rng() % 4];
    for (std::size_t i = 0; i < n; ++i) v[i] = base[i] + normal(rng) * spread * scale;
  }
  *query = batch.vectors[rng() % kLanes];
  for (std::size_t i = 0; i < n; ++i) (*query)[i] += normal(rng) * spreads[rng() % 4] * scale;
  for (std::size_t l = 0; l < kLanes; ++l) {
    for (std::size_t i = 0; i < n; ++i) batch.interleaved[i * kLanes + l] = batch.vectors[l][i];
  }
  return batch;
}

// Slabbed groups of random capacity, scanned from a random block: without
// the rounded copy every value is bit for bit the block-by-block kernel's;
// with it, a block is either the same or ruled out as a whole, and then
// every lane's exact distance is at least the bound (or NaN).
TEST_P(Kernels, SlabbedGroupsMatchBlockByBlock) {
  const BatchKernels& kernels = *GetParam();
  std::mt19937_64 rng(7);
  int abandoned = 0, screened = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::size_t dim = rng() % 60, capacity = 1 + rng() % 80, first = rng() % capacity;
    const std::size_t count = rng() % (capacity - first + 1);
    const bool specials = round % 3 == 0, close = round % 2 == 1;
    std::vector<double> group(capacity * kLanes * dim, kNaN), blocks;
    std::vector<float> rounded(group.size(), std::numeric_limits<float>::quiet_NaN());
    std::vector<double> query = testing::awkward_vectors(rng, 1, dim, specials)[0];
    std::vector<Batch> batches;
    for (std::size_t b = 0; b < capacity; ++b) {
      std::vector<double> close_query;
      batches.push_back(close ? make_close_batch(rng, dim, &close_query) : make_batch(rng, dim, specials));
      if (close && b == first) query = close_query;
      const Batch& batch = batches.back();
      blocks.insert(blocks.end(), batch.interleaved.begin(), batch.interleaved.end());
      for (std::size_t i = 0; i < dim; ++i) {
        const std::size_t at = slabbed_offset(dim, capacity, b, i);
        std::copy_n(batch.interleaved.data() + i * kLanes, kLanes, group.data() + at);
        for (std::size_t l = 0; l < kLanes; ++l) rounded[at + l] = rounded_component(group[at + l]);
      }
    }
    double bound = std::vector<double>{kNaN, 0.0, 3.0, 10.0, testing::kInf}[rng() % 5];
    if (count != 0 && rng() % 2) {  // a tie with some lane, or just beside it
      const double exact = euclidean_distance(query, batches[first + rng() % count].vectors[rng() % kLanes]);
      bound = std::vector<double>{exact, std::nextafter(exact, 0.0), std::nextafter(exact, testing::kInf)}[rng() % 3];
    }
    std::vector<double> run(count * kLanes), one(count * kLanes);
    kernels.euclidean_slabbed(query.data(), dim, group.data(), nullptr, capacity, first, count, bound, run.data());
    for (std::size_t b = 0; b < count; ++b) {
      kernels.euclidean_interleaved(query.data(), dim, blocks.data() + (first + b) * kLanes * dim, bound,
                                    one.data() + b * kLanes);
      abandoned += std::isinf(one[b * kLanes]);
    }
    for (std::size_t i = 0; i < run.size(); ++i) ASSERT_TRUE(same_double(run[i], one[i])) << "round " << round;
    kernels.euclidean_slabbed(query.data(), dim, group.data(), rounded.data(), capacity, first, count, bound,
                              run.data());
    for (std::size_t b = 0; b < count; ++b) {
      if (std::equal(run.begin() + b * kLanes, run.begin() + (b + 1) * kLanes, one.begin() + b * kLanes, same_double)) {
        continue;
      }
      ++screened;
      check_euclidean(run.data() + b * kLanes, batches[first + b], query, bound);
      ASSERT_TRUE(std::isinf(run[b * kLanes])) << "round " << round;  // ruled out, not a different value
    }
    kernels.dot_slabbed(query.data(), dim, group.data(), capacity, first, count, run.data());
    for (std::size_t b = 0; b < count; ++b) {
      kernels.dot_interleaved(query.data(), dim, blocks.data() + (first + b) * kLanes * dim, one.data() + b * kLanes);
    }
    for (std::size_t i = 0; i < run.size(); ++i) ASSERT_TRUE(same_double(run[i], one[i])) << "round " << round;
  }
  EXPECT_GT(abandoned, 100);
  EXPECT_GT(screened, 100);
}

// The gathered screen rules out only lanes whose exact distance reaches the
// bound (or is NaN), and rules out most of the far ones. Two adversarial
// batches, where rounding moves the copies apart, must keep every lane: one
// whose squared sum grows by 2^-21 when rounded, one where the query and the
// lanes round apart by far more than they differ (only the slack's |q| term
// covers it). Half the rounds screen copies turned by a rotation fitted
// to the batch, with the rotation's limit.
TEST_P(Kernels, GatheredScreenRulesOutOnlyHopelessLanes) {
  const BatchKernels& kernels = *GetParam();
  std::mt19937_64 rng(8);
  int ruled = 0, far = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = rng() % 90;
    const bool specials = round % 5 == 0;
    std::vector<double> query;
    Batch batch = round % 2 ? make_close_batch(rng, n, &query) : make_batch(rng, n, specials);
    if (round % 2 == 0) query = testing::awkward_vectors(rng, 1, n, specials)[0];
    if (round % 7 == 0) {  // the adversarial batches, each lane the same
      const double x = 1.0 + 0x1p-24 + 0x1p-40, q = round % 14 == 0 ? -x : 1.0 + 0x1p-24 - 0x1p-40;
      std::fill(query.begin(), query.end(), q);
      for (auto& v : batch.vectors) std::fill(v.begin(), v.end(), x);
    }
    std::optional<ScreenRotation> rotation;
    if (round % 4 >= 2) {
      std::vector<double> sample(query);
      for (const auto& v : batch.vectors) sample.insert(sample.end(), v.begin(), v.end());
      rotation = ScreenRotation::fit(sample.data(), kLanes + 1, 1, n);
    }
    std::vector<std::vector<float>> rounded(kLanes, std::vector<float>(n));
    const float* rows[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      for (std::size_t i = 0; i < n; ++i) rounded[l][i] = rounded_component(batch.vectors[l][i]);
      if (rotation) rotation->rotate_rounded(batch.vectors[l].data(), rounded[l].data());
      rows[l] = rounded[l].data();
    }
    std::vector<double> screened_query(query);
    if (rotation) rotation->rotate(query.data(), screened_query.data());
    const std::vector<float> rounded_query(screened_query.begin(), screened_query.end());
    const double exact = n == 0 ? 0.0 : euclidean_distance(query, batch.vectors[rng() % kLanes]);
    const double bounds[] = {kNaN, 0.0, 1.0, 1e-300, testing::kInf, exact, std::nextafter(exact, testing::kInf),
                             std::nextafter(exact, 0.0)};
    const double bound = round % 7 == 0 ? std::nextafter(exact, testing::kInf) : bounds[rng() % 8];
    const double norm = rotation ? ScreenRotation::query_norm(screen_query_norm(query.data(), n),
                                                              screen_query_norm(screened_query.data(), n))
                                 : screen_query_norm(query.data(), n);
    const auto limit_for = [&](double b) {
      return rotation ? ScreenRotation::limit(norm, n, b) : gathered_screen_limit(norm, n, b);
    };
    const float limit = limit_for(bound);
    if (!(norm < testing::kInf)) {
      ASSERT_TRUE(std::isnan(limit));
    }
    if (std::isnan(limit)) continue;
    // In one go, or in two parts with the sums carried over.
    float sums[kLanes] = {};
    const std::size_t split = round % 3 == 0 ? n / 2 / kScreenCheckpoint * kScreenCheckpoint : 0;
    unsigned out = split == 0 ? 0 : kernels.euclidean_screen_gathered(rounded_query.data(), 0, split, rows, limit, sums);
    if (out != (1u << kLanes) - 1) {
      out |= kernels.euclidean_screen_gathered(rounded_query.data(), split, n, rows, limit, sums);
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double d = euclidean_distance(query, batch.vectors[l]);
      // Far beyond the bound and the rounding, well within the float range,
      // with a copy that bounds something.
      far += d >= 2 * bound + 1e-6 * norm && d > 1e-15 && d < 1e15 &&
             std::all_of(rounded[l].begin(), rounded[l].end(), [](float x) { return std::isfinite(x); });
      if (!(out >> l & 1u)) continue;
      ++ruled;
      ASSERT_TRUE(std::isnan(d) || d >= bound) << "round " << round << " lane " << l << ": " << d << " < " << bound;
      // The lane's sum rules it out against every bound whose limit it
      // reaches: against a bound near its distance too.
      ASSERT_GE(sums[l], limit);
      const double other = std::isnan(d) ? bound : d * std::uniform_real_distribution<double>(0.9, 1.1)(rng);
      if (sums[l] >= limit_for(other)) {
        ASSERT_TRUE(std::isnan(d) || d >= other) << "round " << round << " lane " << l << ": " << d << " < " << other;
      }
    }
  }
  EXPECT_GT(ruled, far / 2);  // the screen does rule out
}

// A rotation is only as good as the check of its axes: one a little longer
// than a unit, or two a little off square, would let the screen rule out a
// lane at its bound. The check refuses both, and what the proof does not
// cover.
TEST(ScreenRotation, RefusesAxesThatAreNotOrthonormal) {
  for (const std::size_t dim : {2, 17, 256}) {
    std::vector<double> axes(dim * dim, 0.0);
    for (std::size_t i = 0; i < dim; ++i) axes[i * dim + i] = 1.0;
    EXPECT_TRUE(ScreenRotation::from_axes(axes, dim)) << dim;
    std::vector<double> longer = axes;
    longer[0] = 1.0 + 0x1p-30;
    EXPECT_FALSE(ScreenRotation::from_axes(longer, dim)) << dim;
    std::vector<double> skewed = axes;
    skewed[1] = 0x1p-30;
    EXPECT_FALSE(ScreenRotation::from_axes(skewed, dim)) << dim;
  }
  EXPECT_FALSE(ScreenRotation::from_axes({1.0}, 1));
  EXPECT_FALSE(ScreenRotation::from_axes(std::vector<double>(257 * 257, 0.0), 257));
  // Fitted axes pass, constant and unusable rows alike.
  std::mt19937_64 rng(3);
  for (const bool specials : {false, true}) {
    std::vector<double> rows;
    for (const auto& v : testing::awkward_vectors(rng, 40, 33, specials)) rows.insert(rows.end(), v.begin(), v.end());
    EXPECT_TRUE(ScreenRotation::fit(rows.data(), 40, 1, 33) || specials);
    EXPECT_TRUE(ScreenRotation::fit(std::vector<double>(33 * 5, 2.0).data(), 5, 1, 33));
  }
}

// Some libraries switch the processor to treat subnormal floats as zero
// (and flush subnormal results) for the whole process. A lane whose copy
// holds subnormal floats then reads as zero, off by up to 2^-126 per
// component: the screens must still rule out only hopeless lanes. Here the
// lane equals the query (distance 0), and the bound is tiny but positive.
TEST_P(Kernels, ScreensHoldWithSubnormalsFlushed) {
  const BatchKernels& kernels = *GetParam();
  struct FlushMode {
    unsigned saved = _mm_getcsr();
    FlushMode() { _mm_setcsr(saved | 0x8040); }  // flush to zero, denormals are zero
    ~FlushMode() { _mm_setcsr(saved); }
  } flush;
  for (const std::size_t dim : {1, 16, 40}) {
    const std::vector<double> query(dim, 0x1p-127);
    std::vector<double> group(kLanes * dim, 0x1p-127);
    std::vector<float> rounded(group.size());
    for (std::size_t i = 0; i < group.size(); ++i) rounded[i] = rounded_component(group[i]);
    for (const double bound : {0x1p-140, 0x1p-130, 0x1p-127}) {
      double out[kLanes];
      kernels.euclidean_slabbed(query.data(), dim, group.data(), rounded.data(), 1, 0, 1, bound, out);
      for (double d : out) ASSERT_EQ(d, 0.0) << "dim " << dim << " bound " << bound;
      const std::vector<float> rounded_query(query.begin(), query.end());
      const float* rows[kLanes];
      for (auto& row : rows) row = rounded.data();
      const float limit = gathered_screen_limit(screen_query_norm(query.data(), dim), dim, bound);
      if (!std::isnan(limit)) {
        float sums[kLanes] = {};
        ASSERT_EQ(kernels.euclidean_screen_gathered(rounded_query.data(), 0, dim, rows, limit, sums), 0u)
            << "dim " << dim;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Supported, Kernels, ::testing::ValuesIn(supported_batch_kernels().begin(),
                                                                  supported_batch_kernels().end()),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace tamsel
