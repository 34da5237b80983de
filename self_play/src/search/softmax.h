// Normalisation of network outputs, in 32-bit floating point with sums in index order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tessarin {

// exp(v - m) / sum for every value, m the largest non-NaN value (minus infinity if none). No
// guard against non-finite results: plus infinity, or only minus infinities, give NaN.
std::vector<float> softmax(std::vector<float> values);
// The same in place.
void softmax_in_place(std::span<float> values);

// The softmax over logits[legal[k]] in the order of `legal`, into out[k] (`out` resized to
// legal.size(), allocating only when it lacks the capacity). Throws FatalStop for a legal index
// not below the logits' length.
void gathered_softmax(std::span<const float> logits, std::span<const std::size_t> legal,
                      std::vector<float>& out);

// A softmax over logits[legal[k]] in the order of `legal`, scattered back into an array of the
// logits' length that is 0 elsewhere (a repeated index keeps the last value). Throws FatalStop
// for a legal index not below the logits' length.
std::vector<float> masked_softmax(std::span<const float> logits,
                                  std::span<const std::size_t> legal);

}  // namespace tessarin
