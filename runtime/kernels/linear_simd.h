// The dense layer for a vector type V (simd_avx512.h, simd_avx2.h,
// simd_neon.h), in the
// reference order: every output y[i][j] is one chain of additions kept in one
// vector lane, acc = +0.0, then acc = acc + W[j][k] * x[i][k] for k ascending,
// then acc + b[j]. Lanes only ever hold different outputs, so a vector of
// lanes gives the scalar bits lane by lane. No fused multiply-add: the files
// including this are compiled with -ffp-contract=off.
//
// Two shapes of work:
// - at least one vector of rows: lanes are rows i. A panel of two vectors of
//   rows of x is copied k-major into scratch memory, and each W[j][k] is
//   broadcast straight from the weight row, for a tile of kWidth / 2 outputs.
// - fewer rows: lanes are outputs j. kWidth rows of W are read in place and
//   transposed in registers, kWidth columns k at a time, and each x[i][k] is
//   broadcast.
// Weights are read where they lie, at any alignment, and never copied. Past
// the last row of W a tile repeats that row; lanes past M, N or K are
// computed on zeros or repeated rows and never stored.
#pragma once

#include <cstdint>

#include "kernels.h"

namespace qen {
namespace {

inline uint64_t smaller(uint64_t a, uint64_t b) { return a < b ? a : b; }

inline const unsigned char* float_at(const void* base, uint64_t index) {
  return static_cast<const unsigned char*>(base) + index * sizeof(float);
}

inline unsigned char* float_at(void* base, uint64_t index) {
  return static_cast<unsigned char*>(base) + index * sizeof(float);
}

// r[i] lane j becomes r[j] lane i. Rows are interleaved within each 128-bit
// block, first singly, then in pairs, which leaves column 4q + c of rows
// 4g .. 4g + 3 in block q of r[4g + c]; the vector type moves the blocks.
// Always inlined: called out of line, the registers went through memory on
// every block, which cost the few-rows path a third of its time.
template <class V>
[[gnu::always_inline]] inline void transpose(typename V::Reg (&r)[V::kWidth]) {
  typename V::Reg t[V::kWidth];
  for (uint64_t i = 0; i < V::kWidth; i += 2) {
    t[i] = V::interleave_low(r[i], r[i + 1]);
    t[i + 1] = V::interleave_high(r[i], r[i + 1]);
  }
  for (uint64_t i = 0; i < V::kWidth; i += 4) {
    r[i] = V::interleave_low_pairs(t[i], t[i + 2]);
    r[i + 1] = V::interleave_high_pairs(t[i], t[i + 2]);
    r[i + 2] = V::interleave_low_pairs(t[i + 1], t[i + 3]);
    r[i + 3] = V::interleave_high_pairs(t[i + 1], t[i + 3]);
  }
  V::transpose_blocks(r);
}

// Rows j0 .. j0 + kCount - 1 of W, the last real row standing in for those past N.
template <uint64_t kCount>
void weight_rows(const LinearArgs& a, uint64_t j0, const unsigned char* (&rows)[kCount]) {
  const uint64_t last = a.n - 1;
  for (uint64_t l = 0; l < kCount; ++l) rows[l] = float_at(a.w, smaller(j0 + l, last) * a.k);
}

// Adds bias b[j0 + l] to lane l (the last addition of every chain) and stores
// the first `cols` lanes at y[i][j0].
template <class V>
void store_outputs(const LinearArgs& a, uint64_t i, uint64_t j0, uint64_t cols, typename V::Reg acc) {
  V::store_first(float_at(a.y, i * a.y_stride + j0), V::add(acc, V::load_first(float_at(a.b, j0), cols)), cols);
}

// The tile of the many-rows shape: two vectors of rows by half a vector of
// outputs. Walking only kWidth / 2 weight rows at once keeps their pointers
// in registers, and their cache lines within the 12 ways of an L1 set: rows
// whose length is a multiple of 4 KiB all fall in the same set.
template <class V>
struct RowTile {
  static constexpr uint64_t kRows = 2 * V::kWidth;
  static constexpr uint64_t kCols = V::kWidth / 2;
};

// panel[k * kRows + l] = x[i0 + l][k]; lanes past `rows` are +0.0.
template <class V>
void pack_rows(const LinearArgs& a, uint64_t i0, uint64_t rows, float* panel) {
  constexpr uint64_t kRows = RowTile<V>::kRows;
  typename V::Reg r[V::kWidth];
  for (uint64_t half = 0; half < kRows; half += V::kWidth)
    for (uint64_t k0 = 0; k0 < a.k; k0 += V::kWidth) {
      const uint64_t count = smaller(V::kWidth, a.k - k0);
      for (uint64_t l = 0; l < V::kWidth; ++l)
        r[l] = half + l < rows ? V::load_first(float_at(a.x, (i0 + half + l) * a.k + k0), count) : V::zero();
      transpose<V>(r);
      for (uint64_t kk = 0; kk < count; ++kk) V::store(panel + (k0 + kk) * kRows + half, r[kk]);
    }
}

// Outputs y[i0 .. i0 + rows)[j0 .. j0 + kCols) from the packed panel of those rows.
template <class V>
void linear_across_rows(const LinearArgs& a, uint64_t i0, uint64_t rows, uint64_t j0, const float* panel) {
  constexpr uint64_t kRows = RowTile<V>::kRows, kCols = RowTile<V>::kCols;
  const unsigned char* w[kCols];
  weight_rows(a, j0, w);
  // acc[h * kCols + c]: output j0 + c of rows i0 + h * kWidth + lane.
  typename V::Reg acc[V::kWidth];
  for (auto& v : acc) v = V::zero();
  // The next tile's weight rows follow these in memory; a step of them per
  // k brings them into L2 by the time that tile starts. Past the last tile
  // the step is 0 and the hint stays on the last row.
  const uint64_t next_rows = j0 + kCols < a.n ? smaller(kCols, a.n - j0 - kCols) : 0;
  const unsigned char* next = float_at(a.w, smaller(j0 + kCols, a.n - 1) * a.k);
  for (uint64_t k = 0; k < a.k; ++k) {
    __builtin_prefetch(next + k * next_rows * sizeof(float), 0, 2);  // read, into L2 (x86's prefetcht1)
    const typename V::Reg x0 = V::load(panel + k * kRows), x1 = V::load(panel + k * kRows + V::kWidth);
    // One broadcast of each weight serves both vectors of rows.
    for (uint64_t c = 0; c < kCols; ++c) {
      const typename V::Reg wc = V::broadcast(w[c] + k * 4);
      acc[c] = V::add(acc[c], V::mul(wc, x0));
      acc[kCols + c] = V::add(acc[kCols + c], V::mul(wc, x1));
    }
  }
  // acc[l]: output j0 + c in lane c for row i0 + l, in lane kCols + c for
  // row i0 + kWidth + l.
  transpose<V>(acc);
  const uint64_t cols = smaller(kCols, a.n - j0);
  for (uint64_t l = 0; l < V::kWidth; ++l) {
    if (l < rows) store_outputs<V>(a, i0 + l, j0, cols, acc[l]);
    if (V::kWidth + l < rows) store_outputs<V>(a, i0 + V::kWidth + l, j0, cols, V::upper_half(acc[l]));
  }
}

// Outputs y[i0 .. i0 + kRows)[j0 .. j0 + kWidth), lane = output. The
// kWidth weight rows share one L1 set when their length is a multiple of
// 4 KiB, but each load uses its cache line at once; only the second line of a
// misaligned load may be gone by the next block (about a tenth slower).
template <class V, uint64_t kRows>
void linear_across_outputs(const LinearArgs& a, uint64_t i0, uint64_t j0) {
  const unsigned char* w[V::kWidth];
  weight_rows(a, j0, w);
  typename V::Reg acc[kRows];
  for (auto& v : acc) v = V::zero();
  typename V::Reg t[V::kWidth];
  // One block of columns k0 .. k0 + count of the tile's weight rows, each
  // column added in ascending order.
  auto step = [&](uint64_t k0, uint64_t count) {
    transpose<V>(t);  // t[kk] lane l = W[j0 + l][k0 + kk]
    for (uint64_t kk = 0; kk < count; ++kk)
      for (uint64_t r = 0; r < kRows; ++r)
        acc[r] = V::add(acc[r], V::mul(t[kk], V::broadcast(float_at(a.x, (i0 + r) * a.k + k0 + kk))));
  };
  uint64_t k0 = 0;
  for (; k0 + V::kWidth <= a.k; k0 += V::kWidth) {
    for (uint64_t l = 0; l < V::kWidth; ++l) t[l] = V::load(w[l] + k0 * 4);
    step(k0, V::kWidth);
  }
  if (k0 < a.k) {
    for (uint64_t l = 0; l < V::kWidth; ++l) t[l] = V::load_first(w[l] + k0 * 4, a.k - k0);
    step(k0, a.k - k0);
  }
  const uint64_t cols = smaller(V::kWidth, a.n - j0);
  for (uint64_t r = 0; r < kRows; ++r) store_outputs<V>(a, i0 + r, j0, cols, acc[r]);
}

// Rows in groups of up to four, so that their accumulators and one
// transposed block of weights fit in registers together.
template <class V>
void linear_few_rows(const LinearArgs& a) {
  for (uint64_t i0 = 0; i0 < a.m; i0 += 4) {
    const uint64_t rows = smaller(4, a.m - i0);
    for (uint64_t j0 = 0; j0 < a.n; j0 += V::kWidth) {
      switch (rows) {
        case 1: linear_across_outputs<V, 1>(a, i0, j0); break;
        case 2: linear_across_outputs<V, 2>(a, i0, j0); break;
        case 3: linear_across_outputs<V, 3>(a, i0, j0); break;
        default: linear_across_outputs<V, 4>(a, i0, j0); break;
      }
    }
  }
}

// A panel that cannot be allocated leaves the work to the scalar reference,
// which gives the same bits.
template <class V>
void linear_f32(const LinearArgs& a) {
  constexpr uint64_t kRows = RowTile<V>::kRows;
  if (a.m == 0 || a.n == 0) return;
  if (a.m < V::kWidth) return linear_few_rows<V>(a);
  float* panel = static_cast<float*>(aligned_allocate(a.k * kRows * sizeof(float)));
  if (panel == nullptr) return linear_f32_scalar(a);
  for (uint64_t i0 = 0; i0 < a.m; i0 += kRows) {
    const uint64_t rows = smaller(kRows, a.m - i0);
    pack_rows<V>(a, i0, rows, panel);
    for (uint64_t j0 = 0; j0 < a.n; j0 += RowTile<V>::kCols) linear_across_rows<V>(a, i0, rows, j0, panel);
  }
  aligned_free(panel);
}

}  // namespace
}  // namespace qen
