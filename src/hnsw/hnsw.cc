#include "hnsw/hnsw.h"

#include <cmath>
#include <utility>

namespace tamsel {

const char* hnsw_error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF:
      return "InvalidEF";
    case HNSWError::InvalidLayer:
      return "InvalidLayer";
    case HNSWError::NoSchema:
      return "NoSchema";
    case HNSWError::EmptySchema:
      return "EmptySchema";
    case HNSWError::AttributeNotFound:
      return "AttributeNotFound";
    case HNSWError::EmptyVectors:
      return "EmptyVectors";
    case HNSWError::InvalidNodeID:
      return "InvalidNodeID";
  }
  return "?";
}

std::optional<MetricFn> hnsw_metric_by_name(std::string_view name) {
  if (name == "euclidean") return euclidean_distance;
  if (name == "angular") return cosine_similarity;
  if (name == "inner_product") return dot_product;
  return std::nullopt;
}

std::vector<double> make_level_weights(std::uint32_t layers) {
  std::vector<double> weights;
  for (std::uint32_t j = 0; j < layers; ++j) {
    const double weight = std::exp(-static_cast<double>(j));
    if (weight == 0.0) break;
    weights.push_back(weight);
  }
  return weights;
}

HNSW::HNSW(HNSWConfig config) : config_(std::move(config)), level_weights_(make_level_weights(config_.layers)) {}

}  // namespace tamsel
