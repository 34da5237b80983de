// The multiply-adds one core of this processor can do per second at each precision the network
// could run in: float32 fused multiply-adds (AVX-512 FMA), bfloat16 pair dot products
// (AVX512-BF16 VDPBF16PS: two products per float32 lane) and int8 quad dot products (AVX512-VNNI
// VPDPBUSD: four products per int32 lane). Each loop keeps twelve independent accumulators so
// that the instructions' latency is hidden and only their throughput counts; the figure is
// multiply-adds per second (operations are twice that), the best of five timed runs, together
// with the clock it implies for one instruction per cycle per accumulator chain. An instruction
// set the processor lacks is reported as such. The network's achieved figures are compared with
// these in docs/performance.md.
//
// Usage: build/release/bench/peak_ops   (one thread; run it on an idle core)
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int kChains = 12;
constexpr long kIterations = 20'000'000;

template <class Body>
double best_seconds(Body&& body) {
  double best = 1e30;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

__attribute__((target("avx512f"))) float fp32_fma() {
  __m512 acc[kChains];
  for (int c = 0; c < kChains; ++c)
    acc[c] = _mm512_set1_ps(static_cast<float>(c));
  const __m512 a = _mm512_set1_ps(0.999F);
  const __m512 b = _mm512_set1_ps(1e-7F);
  for (long i = 0; i < kIterations; ++i) {
    for (int c = 0; c < kChains; ++c)
      acc[c] = _mm512_fmadd_ps(acc[c], a, b);
  }
  __m512 sum = acc[0];
  for (int c = 1; c < kChains; ++c)
    sum = _mm512_add_ps(sum, acc[c]);
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, sum);
  return lanes[0];
}

__attribute__((target("avx512f,avx512bf16"))) float bf16_dot() {
  __m512 acc[kChains];
  for (int c = 0; c < kChains; ++c)
    acc[c] = _mm512_set1_ps(static_cast<float>(c));
  const __m512bh a = _mm512_cvtne2ps_pbh(_mm512_set1_ps(0.5F), _mm512_set1_ps(0.25F));
  const __m512bh b = _mm512_cvtne2ps_pbh(_mm512_set1_ps(1e-3F), _mm512_set1_ps(1e-3F));
  for (long i = 0; i < kIterations; ++i) {
    for (int c = 0; c < kChains; ++c)
      acc[c] = _mm512_dpbf16_ps(acc[c], a, b);
  }
  __m512 sum = acc[0];
  for (int c = 1; c < kChains; ++c)
    sum = _mm512_add_ps(sum, acc[c]);
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, sum);
  return lanes[0];
}

__attribute__((target("avx512f,avx512vnni"))) int int8_dot() {
  __m512i acc[kChains];
  for (int c = 0; c < kChains; ++c)
    acc[c] = _mm512_set1_epi32(c);
  const __m512i a = _mm512_set1_epi32(0x03030303);  // bytes of 3
  const __m512i b = _mm512_set1_epi32(-1);          // bytes of -1
  for (long i = 0; i < kIterations; ++i) {
    for (int c = 0; c < kChains; ++c)
      acc[c] = _mm512_dpbusd_epi32(acc[c], a, b);
  }
  __m512i sum = acc[0];
  for (int c = 1; c < kChains; ++c)
    sum = _mm512_add_epi32(sum, acc[c]);
  alignas(64) int lanes[16];
  _mm512_store_si512(lanes, sum);
  return lanes[0];
}

// Multiply-adds of one call: instructions * lanes * products per lane.
void report(const char* name, double seconds, int products_per_lane, int lanes) {
  const double instructions = static_cast<double>(kIterations) * kChains;
  const double macs = instructions * lanes * products_per_lane;
  std::printf("%-7s %8.1f G multiply-adds/s  (%.2f G instructions/s)\n", name, macs / seconds / 1e9,
              instructions / seconds / 1e9);
}

}  // namespace

int main() {
  volatile double sink = 0;
  if (!__builtin_cpu_supports("avx512f")) {
    std::printf("fp32    no AVX-512 on this processor\n");
    return 0;
  }
  report("fp32", best_seconds([&] { sink = sink + fp32_fma(); }), 1, 16);
  if (__builtin_cpu_supports("avx512bf16")) {
    report("bf16", best_seconds([&] { sink = sink + bf16_dot(); }), 2, 16);
  } else {
    std::printf("bf16    no AVX512-BF16 on this processor\n");
  }
  if (__builtin_cpu_supports("avx512vnni")) {
    report("int8", best_seconds([&] { sink = sink + int8_dot(); }), 4, 16);
  } else {
    std::printf("int8    no AVX512-VNNI on this processor\n");
  }
  return 0;
}
