#include "softmax.h"

#include <cmath>
#include <limits>
#include <string>

#include "fatal.h"

namespace tessarin {
void softmax_in_place(std::span<float> values) {
  float maximum = -std::numeric_limits<float>::infinity();
  for (float value : values) {
    if (value > maximum) maximum = value;
  }
  float sum = 0.0F;
  for (float& value : values) {
    value = std::exp(value - maximum);
    sum += value;
  }
  for (float& value : values)
    value /= sum;
}

std::vector<float> softmax(std::vector<float> values) {
  softmax_in_place(values);
  return values;
}

void gathered_softmax(std::span<const float> logits, std::span<const std::size_t> legal,
                      std::vector<float>& out) {
  out.clear();
  for (std::size_t tile : legal) {
    if (tile >= logits.size()) {
      fatal("Legal tile " + std::to_string(tile) + " has no policy logit: the policy has " +
            std::to_string(logits.size()) + " entries");
    }
    out.push_back(logits[tile]);
  }
  softmax_in_place(out);
}

std::vector<float> masked_softmax(std::span<const float> logits,
                                  std::span<const std::size_t> legal) {
  thread_local std::vector<float> gathered;
  gathered_softmax(logits, legal, gathered);
  std::vector<float> policy(logits.size(), 0.0F);
  for (std::size_t k = 0; k < legal.size(); ++k)
    policy[legal[k]] = gathered[k];
  return policy;
}

}  // namespace tessarin
