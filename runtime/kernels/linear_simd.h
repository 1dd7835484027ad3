// The dense layer for a vector type V (simd_avx512.h, simd_avx2.h,
// simd_neon.h), in the
// reference order: every output y[i][j] is one chain of additions kept in one
// vector lane, acc = +0.0, then acc = acc + W[j][k] * x[i][k] for k ascending,
// then acc + b[j]. Lanes only ever hold different outputs, so a vector of
// lanes gives the scalar bits lane by lane. No fused multiply-add: the files
// including this are compiled with -ffp-contract=off.
//
// Two shapes of work:
// - whole vectors of rows: lanes are rows i. A panel of up to kRowVectors
//   vectors of rows of x (kRowVectorsSameSet where the weight rows are a
//   multiple of 4 KiB apart) is copied k-major into scratch memory, and each
//   W[j][k] is broadcast straight from the weight row, for a tile of
//   kWidth / vectors outputs.
// - a few rows (fewer than a vector, or up to half a vector left over):
//   lanes are outputs j. kWidth rows of W are read in place and transposed,
//   kWidth / 2 columns k at a time, and each x[i][k] is broadcast.
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

// The 4x4 transpose of every 128-bit block across each group of four
// registers: block q of r[4g + c] lane m becomes block q of r[4g + m] lane c.
template <class V, uint64_t kCount>
[[gnu::always_inline]] inline void transpose_within_blocks(typename V::Reg (&r)[kCount]) {
  typename V::Reg t[kCount];
  for (uint64_t i = 0; i < kCount; i += 2) {
    t[i] = V::interleave_low(r[i], r[i + 1]);
    t[i + 1] = V::interleave_high(r[i], r[i + 1]);
  }
  for (uint64_t i = 0; i < kCount; i += 4) {
    r[i] = V::interleave_low_pairs(t[i], t[i + 2]);
    r[i + 1] = V::interleave_high_pairs(t[i], t[i + 2]);
    r[i + 2] = V::interleave_low_pairs(t[i + 1], t[i + 3]);
    r[i + 3] = V::interleave_high_pairs(t[i + 1], t[i + 3]);
  }
}

// r[i] lane j becomes r[j] lane i. Within each 128-bit block first, which
// leaves column 4q + c of rows 4g .. 4g + 3 in block q of r[4g + c]; the
// vector type moves the blocks. Always inlined: called out of line, the
// registers went through memory on every block, which cost the few-rows
// path a third of its time.
template <class V>
[[gnu::always_inline]] inline void transpose(typename V::Reg (&r)[V::kWidth]) {
  transpose_within_blocks<V>(r);
  V::transpose_blocks(r);
}

// Rows j0 .. j0 + kCount - 1 of W, the last real row standing in for those past N.
template <uint64_t kCount>
void weight_rows(const LinearArgs& a, uint64_t j0, const unsigned char* (&rows)[kCount]) {
  const uint64_t last = a.n - 1;
  for (uint64_t l = 0; l < kCount; ++l) rows[l] = float_at(a.w, smaller(j0 + l, last) * a.k);
}

// Adds bias b[j0 + l] to lane l (the last addition of every chain) and stores
// the first `cols` lanes at y[i][j0], NaNs made canonical.
template <class V>
void store_outputs(const LinearArgs& a, uint64_t i, uint64_t j0, uint64_t cols, typename V::Reg acc) {
  const typename V::Reg y = V::add(acc, V::load_first(float_at(a.b, j0), cols));
  V::store_first(float_at(a.y, i * a.y_stride + j0), V::with_canonical_nans(y), cols);
}

// The tile of the many-rows shape: kVectors vectors of rows by kCols
// outputs, kVectors * kCols <= kWidth accumulators. Each weight broadcast
// serves kVectors vectors of rows. Walking few weight rows at once keeps
// their pointers in registers, and their cache lines within the ways of one
// L1 set: rows whose length is a multiple of 4 KiB all fall in the same set,
// and an 8-way L1 (AMD Zen 4) holds no more than 8 of them beside the panel.
template <class V, uint64_t kVectors>
struct RowTile {
  static constexpr uint64_t kCols = V::kWidth / kVectors;
  static constexpr uint64_t kRows = kVectors * V::kWidth;
};

// panel[k * kRows + l] = x[i0 + l][k]; lanes past `rows` are +0.0.
template <class V, uint64_t kVectors>
void pack_rows(const LinearArgs& a, uint64_t i0, uint64_t rows, float* panel) {
  constexpr uint64_t kRows = RowTile<V, kVectors>::kRows;
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
template <class V, uint64_t kVectors>
void linear_across_rows(const LinearArgs& a, uint64_t i0, uint64_t rows, uint64_t j0, const float* panel) {
  using T = RowTile<V, kVectors>;
  const unsigned char* w[T::kCols];
  weight_rows(a, j0, w);
  // acc[v * kCols + c]: output j0 + c of rows i0 + v * kWidth + lane.
  typename V::Reg acc[V::kWidth];
  for (auto& r : acc) r = V::zero();
  // No software prefetch: each weight row is read in ascending order, which
  // the hardware prefetcher follows, and a 256-bit step already issues about
  // as many instructions a cycle as the CPU takes in; a hint per step cost
  // the AVX2 tile 6 % on Zen 4 and gained the AVX-512 one nothing.
  for (uint64_t k = 0; k < a.k; ++k) {
    typename V::Reg x[kVectors];
    for (uint64_t v = 0; v < kVectors; ++v) x[v] = V::load(panel + k * T::kRows + v * V::kWidth);
    for (uint64_t c = 0; c < T::kCols; ++c) {
      const typename V::Reg wc = V::broadcast(w[c] + k * 4);
      for (uint64_t v = 0; v < kVectors; ++v) acc[v * T::kCols + c] = V::add(acc[v * T::kCols + c], V::mul(wc, x[v]));
    }
  }
  // acc[l] lane v * kCols + c: output j0 + c of row i0 + v * kWidth + l.
  transpose<V>(acc);
  const uint64_t cols = smaller(T::kCols, a.n - j0);
  for (uint64_t l = 0; l < V::kWidth; ++l)
    for (uint64_t v = 0; v < kVectors; ++v)
      if (v * V::kWidth + l < rows)
        store_outputs<V>(a, i0 + v * V::kWidth + l, j0, cols, V::lanes_from(acc[l], v * T::kCols));
}

// Outputs y[i0 .. i0 + rows) from one panel of just enough vectors of rows.
template <class V, uint64_t kVectors>
void linear_row_panel(const LinearArgs& a, uint64_t i0, uint64_t rows, float* panel) {
  if constexpr (kVectors > 1) {
    if (rows <= (kVectors - 1) * V::kWidth) return linear_row_panel<V, kVectors - 1>(a, i0, rows, panel);
  }
  pack_rows<V, kVectors>(a, i0, rows, panel);
  for (uint64_t j0 = 0; j0 < a.n; j0 += RowTile<V, kVectors>::kCols)
    linear_across_rows<V, kVectors>(a, i0, rows, j0, panel);
}

// Outputs y[i0 .. i0 + kRows)[j0 .. j0 + kTiles * kWidth), lane = output,
// one tile of kWidth outputs after another. For vectors of two or more
// 128-bit blocks, half a vector of columns of two weight rows is loaded into
// the two halves of one register, placed so that the shuffles within 128-bit
// blocks and one exchange of blocks between register pairs leave t[kk] lane
// l = W[j0 + l][k0 + kk]: the load ports do the rest of the transpose.
// Each accumulator adds one column after another, so a single row of x
// waits on the latency of its adds; a second tile gives it a second chain to
// run in the meantime, the tiles taking turns column block by column block.
// Both finish 64 bytes of each of their weight rows before going on, so
// that a cache line is used up at once even where the rows of both tiles
// share few L1 sets (rows a multiple of 1 KiB long).
template <class V, uint64_t kRows, uint64_t kTiles>
void linear_across_outputs(const LinearArgs& a, uint64_t i0, uint64_t j0) {
  // Columns transposed at once, and columns in 64 bytes.
  constexpr uint64_t kCols = V::kWidth >= 8 ? V::kWidth / 2 : V::kWidth, kLine = 16;
  const unsigned char* w[kTiles][V::kWidth];
  for (uint64_t tile = 0; tile < kTiles; ++tile) weight_rows(a, j0 + tile * V::kWidth, w[tile]);
  typename V::Reg acc[kTiles][kRows];
  for (auto& tile : acc)
    for (auto& v : tile) v = V::zero();
  // Columns k0 .. k0 + count of a tile's weight rows, each column added in
  // ascending order, from t[kk] lane l = W[j0 + l][k0 + kk].
  auto add_columns = [&](uint64_t tile, const typename V::Reg* t, uint64_t k0, uint64_t count) {
    for (uint64_t kk = 0; kk < count; ++kk)
      for (uint64_t r = 0; r < kRows; ++r)
        acc[tile][r] = V::add(acc[tile][r], V::mul(t[kk], V::broadcast(float_at(a.x, (i0 + r) * a.k + k0 + kk))));
  };
  // Columns k0 .. k0 + kCols of a tile; for vectors of one 128-bit block
  // whole rows, transposed in registers.
  auto columns = [&](uint64_t tile, uint64_t k0) {
    typename V::Reg t[kCols];
    if constexpr (V::kWidth >= 8) {
      // t[4g + m]: rows 8g + m and 8g + 4 + m.
      for (uint64_t g = 0; g < kCols / 4; ++g)
        for (uint64_t m = 0; m < 4; ++m)
          t[4 * g + m] = V::load_halves(w[tile][8 * g + m], w[tile][8 * g + 4 + m], k0 * 4);
      transpose_within_blocks<V>(t);
      V::join_halves(t);
    } else {
      for (uint64_t l = 0; l < V::kWidth; ++l) t[l] = V::load(w[tile][l] + k0 * 4);
      transpose<V>(t);
    }
    add_columns(tile, t, k0, kCols);
  };
  uint64_t k0 = 0;
  for (; k0 + kLine <= a.k; k0 += kLine)
    for (uint64_t c = 0; c < kLine; c += kCols)
      for (uint64_t tile = 0; tile < kTiles; ++tile) columns(tile, k0 + c);
  for (; k0 + kCols <= a.k; k0 += kCols)
    for (uint64_t tile = 0; tile < kTiles; ++tile) columns(tile, k0);
  // The last columns, fewer than kCols: whole rows, transposed in registers.
  if (k0 < a.k)
    for (uint64_t tile = 0; tile < kTiles; ++tile) {
      typename V::Reg t[V::kWidth];
      for (uint64_t l = 0; l < V::kWidth; ++l) t[l] = V::load_first(w[tile][l] + k0 * 4, a.k - k0);
      transpose<V>(t);
      add_columns(tile, t, k0, a.k - k0);
    }
  for (uint64_t tile = 0; tile < kTiles && j0 + tile * V::kWidth < a.n; ++tile) {
    const uint64_t first = j0 + tile * V::kWidth;
    for (uint64_t r = 0; r < kRows; ++r)
      store_outputs<V>(a, i0 + r, first, smaller(V::kWidth, a.n - first), acc[tile][r]);
  }
}

// Rows i0 .. m - 1 in groups of up to four, so that their accumulators and
// one transposed block of weights fit in registers together. A row alone
// takes V::kSingleRowTiles tiles of outputs at once, except where the weight
// rows are a multiple of 4 KiB long: the rows of two tiles would then all
// fall in one L1 set, twice as many as it has ways.
template <class V>
void linear_few_rows(const LinearArgs& a, uint64_t first) {
  const bool two_tiles = V::kSingleRowTiles == 2 && a.k * sizeof(float) % 4096 != 0;
  for (uint64_t i0 = first; i0 < a.m; i0 += 4) {
    const uint64_t rows = smaller(4, a.m - i0);
    for (uint64_t j0 = 0; j0 < a.n; j0 += V::kWidth) {
      switch (rows) {
        case 1:
          if (two_tiles && a.n - j0 > V::kWidth) {
            linear_across_outputs<V, 1, 2>(a, i0, j0);
            j0 += V::kWidth;
          } else {
            linear_across_outputs<V, 1, 1>(a, i0, j0);
          }
          break;
        case 2: linear_across_outputs<V, 2, 1>(a, i0, j0); break;
        case 3: linear_across_outputs<V, 3, 1>(a, i0, j0); break;
        default: linear_across_outputs<V, 4, 1>(a, i0, j0); break;
      }
    }
  }
}

// Panels of kVectors vectors of rows for rows 0 .. panel_rows - 1.
template <class V, uint64_t kVectors>
void linear_row_panels(const LinearArgs& a, uint64_t panel_rows, float* panel) {
  constexpr uint64_t kRows = RowTile<V, kVectors>::kRows;
  for (uint64_t i0 = 0; i0 < panel_rows; i0 += kRows)
    linear_row_panel<V, kVectors>(a, i0, smaller(kRows, panel_rows - i0), panel);
}

// Whole panels of rows, then the rows left: up to half a vector of them go
// the few-rows way (a group of four costs about what 16 padded panel rows
// do), more make one last padded panel. A panel that cannot be allocated
// leaves the work to the scalar reference, which gives the same bits.
template <class V>
void linear_f32(const LinearArgs& a) {
  constexpr uint64_t kVectors = V::kRowVectors > V::kRowVectorsSameSet ? V::kRowVectors : V::kRowVectorsSameSet;
  if (a.m == 0 || a.n == 0) return;
  const uint64_t tail = a.m % V::kWidth;
  const uint64_t panel_rows = tail <= V::kWidth / 2 ? a.m - tail : a.m;
  if (panel_rows > 0) {
    float* panel = static_cast<float*>(aligned_allocate(a.k * RowTile<V, kVectors>::kRows * sizeof(float)));
    if (panel == nullptr) return linear_f32_scalar(a);
    // Weight rows a multiple of 4 KiB apart all map to one L1 set, whose few
    // ways hold only a tile of few rows.
    if (a.k * sizeof(float) % 4096 == 0)
      linear_row_panels<V, V::kRowVectorsSameSet>(a, panel_rows, panel);
    else
      linear_row_panels<V, V::kRowVectors>(a, panel_rows, panel);
    aligned_free(panel);
  }
  linear_few_rows<V>(a, panel_rows);
}

}  // namespace
}  // namespace qen
