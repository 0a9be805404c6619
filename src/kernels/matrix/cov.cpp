#include "kernels/matrix/cov.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>
#include "core/constants.hpp"
#include "core/spread.hpp"
#include "core/stream.hpp"
#include "core/unit.hpp"

namespace ms::kernels::matrix {

namespace {


inline bool finite(double v) { return std::fabs(v) <= DBL_MAX; }

// v where the mask is all ones, +0.0 where it is zero.
inline double masked(double v, uint64_t mask) { return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & mask); }

using V4 = double __attribute__((vector_size(32)));
using M4 = int64_t __attribute__((vector_size(32)));

// The same for four lanes; a lane's mask is all ones where it is finite.
inline V4 masked(V4 v, M4 mask) { return reinterpret_cast<V4>(reinterpret_cast<M4>(v) & mask); }
inline M4 finite_lanes(V4 v) {
    const V4 mag = reinterpret_cast<V4>(reinterpret_cast<M4>(v) & INT64_MAX);
    return mag <= DBL_MAX;
}
inline V4 load_v4(const double* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store_v4(double* p, V4 v) { std::memcpy(p, &v, sizeof v); }

// The running maximum of magnitudes, NaN left out: m, raised to |v| lane by
// lane.
inline V4 max_magnitude(V4 m, V4 v) {
    const V4 a = reinterpret_cast<V4>(reinterpret_cast<M4>(v) & INT64_MAX);
    return a > m ? a : m;
}
inline double max_magnitude(double m, double v) { return std::fabs(v) > m ? std::fabs(v) : m; }
inline double max_lane(V4 v) { return std::max(std::max(v[0], v[1]), std::max(v[2], v[3])); }

constexpr auto product = [](double a, double b) { return a * b; };
constexpr auto squared_difference = [](double a, double b) {
    const double d = a - b;
    return d * d;
};

// Wider vectors where the processor has them: the same operations in the
// same order, so the same results.
#if defined(__x86_64__) && defined(__GNUC__)
#define MS_WIDE __attribute__((target_clones("avx2", "default")))
#else
#define MS_WIDE
#endif

// Work items over the p output rows of a column kernel: interleaved sets of
// rows (g, g + count, ...), of even cost, each carrying its rows through
// every block of input rows, so a block is read from memory once per item,
// not once per output row.
struct Groups {
    unsigned threads;
    size_t count;
};
Groups row_groups(size_t p, double cost) {
    const unsigned threads = team_size(p, cost);
    return {threads, std::min<size_t>(p, 4 * static_cast<size_t>(threads))};
}

// Rows per block: about 256 KiB of input.
size_t block_rows(size_t p) { return std::max<size_t>(8, (size_t{32} << 10) / std::max<size_t>(p, 1)); }

// Arrays kept per output row i of the pairwise-complete moments, each p - i
// long: count c, sums of a, b and a * b, with squares also of a * a and
// b * b, then the pair's two shifts.
constexpr size_t pair_arrays(bool squares) { return squares ? 8 : 6; }

// The shifts of the pairs (i, j >= i): x[r,i] and x[r,j] from the first row r
// where both are finite, so each shift is a value its pair's sums use (a
// column's own first finite value may sit in a row the pair skips, far from
// the pair's data). A pair without such a row keeps NaN: it has no sums.
void pair_shifts(const double* x, size_t n, size_t p, size_t i, double* si, double* sj) {
    const size_t len = p - i;
    std::fill(si, si + len, kNaN);
    std::fill(sj, sj + len, kNaN);
    size_t left = len;
    for (size_t r = 0; r < n && left > 0; ++r) {
        const double* xj = x + r * p + i;
        if (!finite(xj[0])) continue;
        for (size_t k = 0; k < len; ++k)
            if (std::isnan(sj[k]) && finite(xj[k])) {
                si[k] = xj[0];
                sj[k] = xj[k];
                --left;
            }
    }
}

// Adds one input row to the sums of output row i: a = x[r,i], b = x[r,j]
// for the pairs where b is finite too (a is). A missing pair's terms are
// masked to +0.0 bit by bit, which leaves its sums unchanged (a sum started
// at +0.0 is never -0.0), so the masked loop equals skipping it; unlike a
// select, the mask lets the loop be vectorised.
template <bool kSquares>
inline __attribute__((always_inline)) void add_complete_row(const double* __restrict xj, double a, size_t len,
                                                            double* __restrict c, double* __restrict sa,
                                                            double* __restrict sb, double* __restrict sab,
                                                            double* __restrict saa, double* __restrict sbb,
                                                            const double* __restrict si,
                                                            const double* __restrict sj) {
    for (size_t k = 0; k < len; ++k) {
        const double b = xj[k];
        const uint64_t ok = -static_cast<uint64_t>(finite(b));
        const double ak = masked(a - si[k], ok), bk = masked(b - sj[k], ok);
        c[k] += masked(1.0, ok);
        sa[k] += ak;
        sb[k] += bk;
        sab[k] += ak * bk;
        if constexpr (kSquares) {
            saa[k] += ak * ak;
            sbb[k] += bk * bk;
        }
    }
}

// For rows r0 ... r1 - 1 in order, adds to the sums of row i (pair_arrays,
// above) the rows where x[r,i] and x[r,j] are both finite, a and b their
// deviations from the pair's shifts.
template <bool kSquares>
__attribute__((always_inline)) inline void add_complete_pairs_as(const double* x, size_t p, size_t i, size_t r0,
                                                                 size_t r1, double* acc) {
    const size_t len = p - i;
    constexpr size_t kSums = pair_arrays(kSquares) - 2;
    double* sum[kSums];
    for (size_t q = 0; q < kSums; ++q) sum[q] = acc + q * len;
    const double* si = acc + kSums * len;
    const double* sj = si + len;
    // Row xj's terms for the pairs from k on.
    auto add_tail = [&](const double* xj, size_t k) {
        add_complete_row<kSquares>(xj + k, xj[0], len - k, sum[0] + k, sum[1] + k, sum[2] + k, sum[3] + k,
                                   kSquares ? sum[kSums - 2] + k : nullptr,
                                   kSquares ? sum[kSums - 1] + k : nullptr, si + k, sj + k);
    };
    // kRows rows at a time, their terms added in row order to each sum
    // while it sits in a register: the sums go through memory once for the
    // rows, not once for each. A lane of a row where x[r,i] or x[r,j] is
    // not finite adds +0.0.
    constexpr size_t kRows = 4;
    size_t r = r0;
    for (; r + kRows <= r1; r += kRows) {
        const double* xr[kRows];
        double a[kRows];
        int64_t row_ok[kRows];
        for (size_t t = 0; t < kRows; ++t) {
            xr[t] = x + (r + t) * p + i;
            a[t] = xr[t][0];
            row_ok[t] = -static_cast<int64_t>(finite(a[t]));
        }
        size_t k = 0;
        for (; k + 4 <= len; k += 4) {
            V4 s[kSums];
            for (size_t q = 0; q < kSums; ++q) s[q] = load_v4(sum[q] + k);
            const V4 vsi = load_v4(si + k), vsj = load_v4(sj + k);
            for (size_t t = 0; t < kRows; ++t) {
                const V4 b = load_v4(xr[t] + k);
                const M4 ok = finite_lanes(b) & row_ok[t];
                const V4 ak = masked(a[t] - vsi, ok), bk = masked(b - vsj, ok);
                s[0] += masked(V4{1.0, 1.0, 1.0, 1.0}, ok);
                s[1] += ak;
                s[2] += bk;
                s[3] += ak * bk;
                if constexpr (kSquares) {
                    s[4] += ak * ak;
                    s[5] += bk * bk;
                }
            }
            for (size_t q = 0; q < kSums; ++q) store_v4(sum[q] + k, s[q]);
        }
        if (k < len)
            for (size_t t = 0; t < kRows; ++t)
                if (finite(xr[t][0])) add_tail(xr[t], k);
    }
    for (; r < r1; ++r) {
        const double* xj = x + r * p + i;
        if (finite(xj[0])) add_tail(xj, 0);  // else no pair of this row can use it
    }
}

MS_WIDE void add_complete_pairs(const double* x, size_t p, size_t i, size_t r0, size_t r1, double* acc,
                                bool squares) {
    if (squares)
        add_complete_pairs_as<true>(x, p, i, r0, r1, acc);
    else
        add_complete_pairs_as<false>(x, p, i, r0, r1, acc);
}

// ---- Sums over pairs of columns, register-blocked.
//
// The operand is copied once into panels of kPanel columns, each stored row
// after row (kPanel values per row, zero past the last column), so a tile of
// kTile output rows by kPanel output columns reads two short contiguous
// streams and keeps its kTile * kPanel sums in registers over a block of
// rows. Every sum still adds its terms one row after another, starting from
// the +0.0 of the zeroed output, so tiles, blocks and threads leave it
// unchanged.

constexpr size_t kPanel = 12;
constexpr size_t kTile = 4;
constexpr size_t kVecs = kPanel / 4;

// Element (r, c) of the operand, r the summed index, c the output index, at
// byte offset r * rs + c * cs from x: the caller's array as it lies, float64
// or float32, read once into the packed panels.
struct Operand {
    const char* x;
    size_t rows, cols;
    ptrdiff_t rs, cs;
    bool f32;
};

// The column statistic formed while packing: none, the mean (subtracted from
// the packed values) or the root of the sum of squares.
enum class Stat { none, mean, norm };

// Packing first forms the column statistic, over groups of columns, then
// fills the panels in pieces of rows: a C-ordered array row after row across
// every panel, any other layout panel by panel, so that both read the array
// along its contiguous direction.
constexpr size_t kPackRows = 32, kPanelRows = 256;

// One value of type T at p (maybe unaligned).
template <class T>
inline T load_as(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Four consecutive values, as doubles: one vector load (no detour through
// memory, which a wide load cannot take from narrower stores).
template <class T>
__attribute__((always_inline)) inline V4 load4(const char* p) {
    if constexpr (sizeof(T) == sizeof(double)) {
        V4 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        using F4 = float __attribute__((vector_size(16)));
        F4 f;
        std::memcpy(&f, p, sizeof f);
        return __builtin_convertvector(f, V4);
    }
}

// The statistic of columns c0 ... c0 + kSumCols - 1 (those before m), each
// summed over the rows in order, with the sums in registers: no column is
// one long chain of dependent adds, and a column-major array is read down
// its columns.
constexpr size_t kSumCols = 16;
template <class T, bool kSquares>
void column_stats_as(const Operand& a, size_t c0, double* stats) {
    const size_t w = std::min(kSumCols, a.cols - c0);
    double s[kSumCols] = {};
    auto term = [](auto v) {
        if constexpr (kSquares)
            return v * v;
        else
            return v;
    };
    if (w == kSumCols && a.cs == static_cast<ptrdiff_t>(sizeof(T))) {
        // A whole group of a C-ordered array: four vectors a row. Each row of
        // a wide array lies on a page of its own, where the processor does
        // not fetch ahead by itself, so the rows a few ahead are asked for.
        constexpr size_t kAhead = 8;
        V4 acc[kSumCols / 4] = {};
        for (size_t r = 0; r < a.rows; ++r) {
            const char* p = a.x + static_cast<ptrdiff_t>(r) * a.rs + static_cast<ptrdiff_t>(c0 * sizeof(T));
            if (r + kAhead < a.rows) {
                const char* ahead = p + static_cast<ptrdiff_t>(kAhead) * a.rs;
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + kSumCols * sizeof(T) - 1);
            }
            for (size_t g = 0; g < kSumCols / 4; ++g) acc[g] += term(load4<T>(p + 4 * g * sizeof(T)));
        }
        std::memcpy(s, acc, sizeof s);
    } else {
        for (size_t r = 0; r < a.rows; ++r) {
            const char* p = a.x + static_cast<ptrdiff_t>(r) * a.rs + static_cast<ptrdiff_t>(c0) * a.cs;
            for (size_t q = 0; q < w; ++q) {
                T t;
                std::memcpy(&t, p + static_cast<ptrdiff_t>(q) * a.cs, sizeof t);
                s[q] += term(static_cast<double>(t));
            }
        }
    }
    const double inv = 1.0 / static_cast<double>(a.rows);
    for (size_t q = 0; q < w; ++q) stats[c0 + q] = kSquares ? std::sqrt(s[q]) : s[q] * inv;
}

// Writes the w values of one row of a panel (less the means, when given;
// zero past the last column), and takes their magnitudes into `big`.
inline void put_panel_row(double* d, const double* v, size_t w, const double* means, double& big) {
    for (size_t q = 0; q < w; ++q) big = max_magnitude(big, v[q]);
    size_t q = 0;
    if (means)
        for (; q < w; ++q) d[q] = v[q] - means[q];
    else
        for (; q < w; ++q) d[q] = v[q];
    for (; q < kPanel; ++q) d[q] = 0.0;
}

// Transposes the 4 x 4 block whose rows are a, b, c, d.
__attribute__((always_inline)) inline void transpose4(V4& a, V4& b, V4& c, V4& d) {
    const V4 t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6), t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const V4 t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6), t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Rows r0 ... r1 - 1 of every panel, from a C-ordered operand: four rows at
// a time, panel after panel, so that each panel gets whole lines while the
// four rows stay in the first-level cache.
template <class T>
__attribute__((always_inline)) inline void pack_rows_as(const Operand& a, size_t r0, size_t r1, double* dst,
                                                        const double* means, bool stream, double& big) {
    const size_t n = a.rows, m = a.cols;
    V4 vbig = {};
    for (size_t g0 = r0; g0 < r1; g0 += 4) {
        const size_t g1 = std::min(r1, g0 + 4);
        for (size_t c0 = 0; c0 < m; c0 += kPanel) {
            const size_t w = std::min(kPanel, m - c0);
            double* panel = dst + (c0 / kPanel) * n * kPanel;
            for (size_t r = g0; r < g1; ++r) {
                const char* src = a.x + static_cast<ptrdiff_t>(r) * a.rs + static_cast<ptrdiff_t>(c0 * sizeof(T));
                double* d = panel + r * kPanel;
                if (w == kPanel) {
                    for (size_t g = 0; g < kVecs; ++g) {
                        V4 v = load4<T>(src + 4 * g * sizeof(T));
                        vbig = max_magnitude(vbig, v);
                        if (means) {
                            V4 mu;
                            std::memcpy(&mu, means + c0 + 4 * g, sizeof mu);
                            v -= mu;
                        }
                        core::store4(d + 4 * g, v, stream);
                    }
                    continue;
                }
                double x[kPanel];
                for (size_t q = 0; q < w; ++q) x[q] = static_cast<double>(load_as<T>(src + q * sizeof(T)));
                put_panel_row(d, x, w, means ? means + c0 : nullptr, big);
            }
        }
    }
    big = std::max(big, max_lane(vbig));
}

// Rows r0 ... r1 - 1 of panel k, from an operand of any layout.
template <class T>
__attribute__((always_inline)) inline void pack_panel_as(const Operand& a, size_t k, size_t r0, size_t r1,
                                                         double* dst, const double* means, bool stream,
                                                         double& big) {
    const size_t c0 = k * kPanel, w = std::min(kPanel, a.cols - c0);
    double* base = dst + k * a.rows * kPanel;
    if (a.rs == static_cast<ptrdiff_t>(sizeof(T))) {
        // Column-major: four rows of every column at a time, each 4 x 4
        // block turned in registers, so that the panel is written row after
        // row; the last rows and a partial panel down each column.
        if (w == kPanel) {
            V4 vbig = {};
            V4 mu[kVecs] = {};
            if (means)
                for (size_t g = 0; g < kVecs; ++g) std::memcpy(&mu[g], means + c0 + 4 * g, sizeof(V4));
            const char* cols = a.x + static_cast<ptrdiff_t>(c0) * a.cs;
            for (; r0 + 4 <= r1; r0 += 4) {
                double* d = base + r0 * kPanel;
                for (size_t g = 0; g < kVecs; ++g) {
                    const char* p =
                        cols + static_cast<ptrdiff_t>(4 * g) * a.cs + static_cast<ptrdiff_t>(r0 * sizeof(T));
                    V4 v[4];
                    for (size_t i = 0; i < 4; ++i) {
                        v[i] = load4<T>(p + static_cast<ptrdiff_t>(i) * a.cs);
                        vbig = max_magnitude(vbig, v[i]);
                    }
                    transpose4(v[0], v[1], v[2], v[3]);
                    for (size_t i = 0; i < 4; ++i)
                        core::store4(d + i * kPanel + 4 * g, means ? v[i] - mu[g] : v[i], stream);
                }
            }
            big = std::max(big, max_lane(vbig));
        }
        for (size_t q = 0; q < kPanel; ++q) {
            double* d = base + q;
            if (q >= w) {
                for (size_t r = r0; r < r1; ++r) d[r * kPanel] = 0.0;
                continue;
            }
            const char* col = a.x + static_cast<ptrdiff_t>(c0 + q) * a.cs;
            const double mu = means ? means[c0 + q] : 0.0;
            for (size_t r = r0; r < r1; ++r) {
                T v;
                std::memcpy(&v, col + r * sizeof(T), sizeof v);
                big = max_magnitude(big, static_cast<double>(v));
                d[r * kPanel] = means ? static_cast<double>(v) - mu : static_cast<double>(v);
            }
        }
        return;
    }
    for (size_t r = r0; r < r1; ++r) {
        const char* src = a.x + static_cast<ptrdiff_t>(r) * a.rs + static_cast<ptrdiff_t>(c0) * a.cs;
        double d[kPanel];
        for (size_t q = 0; q < w; ++q)
            d[q] = static_cast<double>(load_as<T>(src + static_cast<ptrdiff_t>(q) * a.cs));
        put_panel_row(base + r * kPanel, d, w, means ? means + c0 : nullptr, big);
    }
}

// The packing loops built for wide vectors where the processor has them.
MS_WIDE double pack_rows(const Operand& a, size_t r0, size_t r1, double* dst, const double* means, bool stream) {
    double big = 0.0;
    if (a.f32)
        pack_rows_as<float>(a, r0, r1, dst, means, stream, big);
    else
        pack_rows_as<double>(a, r0, r1, dst, means, stream, big);
    return big;
}

MS_WIDE double pack_panel(const Operand& a, size_t k, size_t r0, size_t r1, double* dst, const double* means,
                          bool stream) {
    double big = 0.0;
    if (a.f32)
        pack_panel_as<float>(a, k, r0, r1, dst, means, stream, big);
    else
        pack_panel_as<double>(a, k, r0, r1, dst, means, stream, big);
    return big;
}

// The statistic of the kSumCols columns from c0, for either element type.
void column_stats(const Operand& a, Stat stat, size_t c0, double* stats) {
    const bool squares = stat == Stat::norm;
    if (a.f32)
        squares ? column_stats_as<float, true>(a, c0, stats) : column_stats_as<float, false>(a, c0, stats);
    else
        squares ? column_stats_as<double, true>(a, c0, stats) : column_stats_as<double, false>(a, c0, stats);
}

// Packs the operand into its panels and forms the column statistic, on a
// team of `threads`; returns the largest magnitude of the operand (NaN
// aside).
double pack(const Operand& a, Stat stat, unsigned threads, double* dst, double* stats) {
    const size_t n = a.rows, m = a.cols;
    if (stat != Stat::none)
        run_items(threads, (m + kSumCols - 1) / kSumCols, 0,
                  [&](size_t g, double*) { column_stats(a, stat, g * kSumCols, stats); });
    // Only the means change the packed values.
    const double* means = stat == Stat::mean ? stats : nullptr;
    const bool stream = threads > 1;
    // The largest magnitude over the items, as the bits of a non-negative
    // double, which order as the values do.
    std::atomic<uint64_t> most{0};
    auto note = [&](double big) {
        const uint64_t bits = std::bit_cast<uint64_t>(big);
        uint64_t seen = most.load(std::memory_order_relaxed);
        while (bits > seen && !most.compare_exchange_weak(seen, bits, std::memory_order_relaxed)) {
        }
    };
    if (a.cs == static_cast<ptrdiff_t>(a.f32 ? sizeof(float) : sizeof(double))) {
        run_items(threads, (n + kPackRows - 1) / kPackRows, 0, [&](size_t b, double*) {
            note(pack_rows(a, b * kPackRows, std::min(n, (b + 1) * kPackRows), dst, means, stream));
            core::end_stream(stream);
        });
    } else {
        const size_t panels = (m + kPanel - 1) / kPanel, pieces = (n + kPanelRows - 1) / kPanelRows;
        run_items(threads, panels * pieces, 0, [&](size_t t, double*) {
            const size_t k = t / pieces, r0 = t % pieces * kPanelRows;
            note(pack_panel(a, k, r0, std::min(n, r0 + kPanelRows), dst, means, stream));
            core::end_stream(stream);
        });
    }
    return std::bit_cast<double>(most.load(std::memory_order_relaxed));
}

// One block of rows for output rows lo ... hi - 1 (lo a multiple of kTile).
struct Block {
    const double* packed;
    size_t rows, panels, m, lo, hi, r0, r1;
    double* out;
};

// For each tile: o[ii][q] += term(a[r][ii], b[r][q]) over the block's rows.
// A tile across the diagonal also sums a few entries below it, but keeps
// only those on and above it.
template <class Term>
inline __attribute__((always_inline)) void tiles(const Block& bl, Term term) {
    const size_t len = bl.r1 - bl.r0, m = bl.m;
    // Panel after panel, so that the block's strip of the panel stays in the
    // first-level cache while every tile of the item that needs it passes.
    for (size_t k = bl.lo / kPanel; k < bl.panels; ++k) {
        const double* b = bl.packed + k * bl.rows * kPanel + bl.r0 * kPanel;
        const size_t j0 = k * kPanel;
        for (size_t i0 = bl.lo; i0 < bl.hi && i0 < j0 + kPanel; i0 += kTile) {
            const double* a = bl.packed + (i0 / kPanel) * bl.rows * kPanel + bl.r0 * kPanel + i0 % kPanel;
            // Tiles at the edge or across the diagonal run on a local copy of
            // their entries inside the upper triangle: below the diagonal
            // only the mirror writes, maybe on another thread.
            const bool inside = i0 + kTile <= m && j0 + kPanel <= m && j0 + 1 >= i0 + kTile;
            double edge[kTile * kPanel];
            double* o = inside ? bl.out + i0 * m + j0 : edge;
            const size_t ld = inside ? m : kPanel;
            auto upper = [&](size_t ii, size_t q) { return i0 + ii < m && j0 + q < m && j0 + q >= i0 + ii; };
            // The first block starts every sum at +0.0 without reading the
            // output, whose pages then are touched once, by the writes.
            const bool first = bl.r0 == 0;
            if (!inside)
                for (size_t ii = 0; ii < kTile; ++ii)
                    for (size_t q = 0; q < kPanel; ++q)
                        edge[ii * kPanel + q] = upper(ii, q) && !first ? bl.out[(i0 + ii) * m + j0 + q] : 0.0;
            V4 s[kTile][kVecs] = {};
            if (!first)
#pragma GCC unroll 16
                for (size_t ii = 0; ii < kTile; ++ii)
#pragma GCC unroll 16
                    for (size_t q = 0; q < kVecs; ++q) std::memcpy(&s[ii][q], o + ii * ld + 4 * q, sizeof(V4));
            for (size_t r = 0; r < len; ++r) {
                V4 bv[kVecs];
#pragma GCC unroll 16
                for (size_t q = 0; q < kVecs; ++q) std::memcpy(&bv[q], b + r * kPanel + 4 * q, sizeof(V4));
#pragma GCC unroll 16
                for (size_t ii = 0; ii < kTile; ++ii) {
                    const double v = a[r * kPanel + ii];
                    const V4 av = {v, v, v, v};
#pragma GCC unroll 16
                    for (size_t q = 0; q < kVecs; ++q) s[ii][q] = s[ii][q] + term(av, bv[q]);
                }
            }
#pragma GCC unroll 16
            for (size_t ii = 0; ii < kTile; ++ii)
#pragma GCC unroll 16
                for (size_t q = 0; q < kVecs; ++q) std::memcpy(o + ii * ld + 4 * q, &s[ii][q], sizeof(V4));
            if (!inside)
                for (size_t ii = 0; ii < kTile; ++ii)
                    for (size_t q = 0; q < kPanel; ++q)
                        if (upper(ii, q)) bl.out[(i0 + ii) * m + j0 + q] = edge[ii * kPanel + q];
        }
    }
}

MS_WIDE void block_products(const Block& bl) {
    tiles(bl, [](V4 a, V4 b) { return a * b; });
}
MS_WIDE void block_squared_differences(const Block& bl) {
    tiles(bl, [](V4 a, V4 b) {
        const V4 d = a - b;
        return d * d;
    });
}

using BlockFn = void (*)(const Block&);

// The packed operand lives in memory that each calling thread keeps between
// calls (up to 16 MiB): a buffer freed on every call is handed back to the
// system and faulted in again on the next, which costs more than packing.
class Workspace {
public:
    explicit Workspace(size_t len) {
        constexpr size_t kKept = size_t{2} << 20;
        // Room to start at a cache line: a panel row (96 bytes) then never
        // splits a vector load across two lines.
        constexpr size_t kSlack = core::kLineDoubles;
        thread_local Buf<double> kept;
        double* p;
        if (len > kKept) {
            own_ = Buf<double>(len + kSlack);
            p = own_.data();
        } else {
            if (kept.size() < len + kSlack) {
                kept = Buf<double>();
                kept = Buf<double>(std::max(len, std::min(kKept, 2 * kept.capacity())) + kSlack);
            }
            p = kept.data();
        }
        data_ = core::line_start(p);
    }
    double* data() { return data_; }

private:
    Buf<double> own_;
    double* data_ = nullptr;
};

// Output rows split into contiguous ranges (multiples of kTile) of about
// equal work, the first ones (longest rows) narrowest.
std::vector<size_t> row_ranges(size_t m, size_t pieces) {
    const double total = 0.5 * static_cast<double>(m) * static_cast<double>(m + 1);
    const double each = total / static_cast<double>(std::max<size_t>(pieces, 1));
    std::vector<size_t> cut{0};
    double acc = 0.0;
    for (size_t i = 0; i < m; i += kTile) {
        for (size_t ii = i; ii < std::min(m, i + kTile); ++ii) acc += static_cast<double>(m - ii);
        if (acc >= each && i + kTile < m) {
            cut.push_back(i + kTile);
            acc = 0.0;
        }
    }
    cut.push_back(m);
    return cut;
}

// ---- Columns far from 1.
//
// An array whose largest magnitude lies inside the plain range is read as
// given. Beyond it (infinities set aside) each column is read in a unit,
// scaled exactly by a power of two: columns taken from the largest down
// join the band of the largest column above them while they lie within
// 2^400 of it (a column without finite nonzero values joins any), and a
// band reads its columns in the unit of its largest, none when that lies
// inside the plain range. So the usual array, its columns of one size, is
// read in one unit; a few huge columns leave the others as given; and a
// product of two columns carries both their units, while a difference is
// formed in a unit they share.

// Element (r, c) of the operand, as a double.
inline double element(const Operand& a, size_t r, size_t c) {
    const char* v = a.x + static_cast<ptrdiff_t>(r) * a.rs + static_cast<ptrdiff_t>(c) * a.cs;
    return a.f32 ? static_cast<double>(load_as<float>(v)) : load_as<double>(v);
}

struct ColumnUnits {
    std::vector<core::Unit> unit;  // none: the array as given
    std::vector<int> exponent;

    bool any() const { return !unit.empty(); }
    // The exponent that entry (i, j) carries, of the `power`-th power of the
    // data's unit: a product both units, a difference the larger column's,
    // the one it is formed in (the smaller exponent).
    int of_entry(size_t i, size_t j, int power) const {
        if (power == 2) return exponent[i] + exponent[j];
        return power == 1 ? std::min(exponent[i], exponent[j]) : 0;
    }
    // The shared unit of columns i and j for a difference.
    const core::Unit& shared(size_t i, size_t j) const { return exponent[i] <= exponent[j] ? unit[i] : unit[j]; }
    // Scales the entries (i, i + k), k < len, back from the units.
    void unscale_row(size_t i, double* o, size_t len, int power) const {
        if (!any() || power == 0) return;
        for (size_t k = 0; k < len; ++k)
            if (const int e = of_entry(i, i + k, power)) o[k] = std::ldexp(o[k], -e);
    }
};

// The units of the operand's columns, given none when its largest
// magnitude `most` (NaN aside) lies inside the plain range; a pass over the
// operand otherwise, which sets infinities aside too.
ColumnUnits column_units(const Operand& a, double most) {
    ColumnUnits cu;
    if (core::plain_range(most)) return cu;
    const size_t n = a.rows, m = a.cols;
    std::vector<double> big(m, 0.0);
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < m; ++c) big[c] = std::max(big[c], core::finite_magnitude(element(a, r, c)));
    if (core::unit_beyond_range_of(*std::max_element(big.begin(), big.end())).identity()) return cu;
    std::vector<size_t> order(m);
    for (size_t c = 0; c < m; ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](size_t i, size_t j) { return big[i] > big[j]; });
    cu.unit.resize(m);
    cu.exponent.resize(m);
    double band = 0.0;
    core::Unit u;
    for (size_t q = 0; q < m; ++q) {
        const size_t c = order[q];
        if (q == 0 || (big[c] > 0.0 && big[c] < band * 0x1p-400)) {
            band = big[c];
            u = core::unit_beyond_range_of(band);
        }
        cu.unit[c] = u;
        cu.exponent[c] = u.exponent();
    }
    return cu;
}

// The operand with each column read in its unit, as a row-major float64 copy.
Operand in_units(const Operand& a, const ColumnUnits& cu, Buf<double>& copy) {
    const size_t n = a.rows, m = a.cols;
    copy = Buf<double>(n * m);
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < m; ++c) copy[r * m + c] = cu.unit[c](element(a, r, c));
    return {reinterpret_cast<const char*>(copy.data()), n, m, static_cast<ptrdiff_t>(m * sizeof(double)),
            sizeof(double), false};
}

// What a pair of columns sums: products, or squared differences (which
// need the two in one unit).
enum class Term { product, difference };

// Sums over the operand's rows of term(z[r,i], z[r,j]) for every output pair
// j >= i (z the operand, less its column means for Stat::mean), then
// finish(i, row i of out, stats) on each output row, then the mirror, each
// work item for its own rows.
//
// An operand beyond the plain range is read in the units of its columns
// (packed again from a scaled copy), so each sum is the plain one times a
// power of two; the finished entries, carrying the `power`-th power of the
// data's unit, are scaled back. finish sees them, and the statistics, in
// the units. A difference of two columns of different units is summed
// again in their shared one.
template <class Finish>
void pair_engine(const Operand& a, Stat stat, Term term, int power, Out out, Finish&& finish) {
    const size_t n = a.rows, m = a.cols;
    const size_t panels = (m + kPanel - 1) / kPanel;
    size_t len;
    if (__builtin_mul_overflow(panels * kPanel, n, &len)) throw std::bad_alloc();
    Workspace packed(len);
    Buf<double> stats(stat == Stat::none ? 0 : m);
    // A worker per 2^22 terms, about half a millisecond of these loops: a
    // 2000 x 100 input already gets eight, while a call much shorter than a
    // scheduler slice is not spread over workers that may start late.
    const auto threads = team_size(m, gram_row_cost(n, m));
    const ColumnUnits cu = column_units(a, pack(a, stat, threads, packed.data(), stats.data()));
    Buf<double> copy;
    if (cu.any()) pack(in_units(a, cu, copy), stat, threads, packed.data(), stats.data());
    const BlockFn block = term == Term::product ? block_products : block_squared_differences;
    const std::vector<size_t> cut = row_ranges(m, threads == 1 ? 1 : 4 * static_cast<size_t>(threads));
    run_items(threads, cut.size() - 1, 0, [&](size_t t, double*) {
        const size_t lo = cut[t], hi = cut[t + 1];
        // Rows per block: the item's own strips of the block (about 256 KiB)
        // stay in the core's cache while it passes over every panel; a
        // short last block joins the one before, since each block loads
        // and stores every sum of the item once more.
        size_t step = std::max<size_t>(64, (size_t{32} << 10) / (hi - lo + kTile));
        if (n <= step + step / 2) step = n;
        for (size_t r0 = 0; r0 < n; r0 += step)
            block(Block{packed.data(), n, panels, m, lo, hi, r0, std::min(n, r0 + step), out.data()});
        for (size_t i = lo; i < hi; ++i) {
            double* o = out.data() + i * m;
            if (cu.any() && term == Term::difference)
                for (size_t j = i + 1; j < m; ++j) {
                    if (cu.exponent[j] == cu.exponent[i]) continue;
                    const core::Unit& u = cu.shared(i, j);
                    double sum = 0.0;
                    for (size_t r = 0; r < n; ++r)
                        sum += squared_difference(u(element(a, r, i)), u(element(a, r, j)));
                    o[j] = sum;
                }
            finish(i, o, stats.data());
            cu.unscale_row(i, o + i, m - i, power);
        }
        // The item's rows, finished, into their columns below the diagonal:
        // each write runs along a row, the reads stay in the item's rows.
        double* o = out.data();
        for (size_t j = lo + 1; j < m; ++j)
            for (size_t i = lo; i < std::min(j, hi); ++i) o[j * m + i] = o[i * m + j];
    });
}

Operand columns(const MatView& x) { return {x.data, x.rows, x.cols, x.rstride, x.cstride, x.f32}; }

// The covariance with divisor `div`: deviations from the column means.
//
// A column of equal values has variance 0 and covariance 0 with every
// column, but around an inexact mean (ten 0.1 average to
// 0.09999999999999999) each of its deviations keeps the same few ulps, and
// so do its sums. Only a variance tiny against its mean has its column
// compared value by value; such a column's row and column become 0.0 but
// where the other column leaves NaN, as two series give.
void centred_gram(const MatView& x, Out out, double div, int power) {
    const size_t n = x.rows, p = x.cols;
    Buf<unsigned char> equal(p);
    pair_engine(columns(x), Stat::mean, Term::product, power, out, [&](size_t i, double* o, const double* mean) {
        for (size_t j = i; j < p; ++j) o[j] /= div;
        equal[i] = o[i] > 0.0 && core::spread_within_rounding(o[i], mean[i], n) &&
                   core::all_equal_of(n, [&](size_t r) { return x.at(r, i); });
    });
    double* o = out.data();
    for (size_t i = 0; i < p; ++i) {
        if (!equal[i]) continue;
        for (size_t j = 0; j < p; ++j) {
            if (!std::isnan(o[i * p + j])) o[i * p + j] = 0.0;
            o[j * p + i] = o[i * p + j];
        }
    }
}

constexpr auto keep = [](size_t, double*, const double*) {};
}  // namespace

void mirror_upper(Out out, size_t m) {
    // In blocks of 8 x 8, filling the rows below the diagonal one after the
    // other: the writes then run along rows and only the reads jump from row
    // to row, which the processor overlaps far better than jumping writes.
    constexpr size_t kSide = 8;
    double* o = out.data();
    for (size_t j0 = 0; j0 < m; j0 += kSide)
        for (size_t i0 = 0; i0 <= j0; i0 += kSide)
            for (size_t j = j0; j < std::min(m, j0 + kSide); ++j)
                for (size_t i = i0; i < std::min(j, i0 + kSide); ++i) o[j * m + i] = o[i * m + j];
}

void cov_matrix_out(const MatView& x, Out out) { centred_gram(x, out, static_cast<double>(x.rows - 1), 2); }

void cov_matrix_in_unit_out(const MatView& x, Out out) {
    centred_gram(x, out, static_cast<double>(x.rows - 1), 0);
}

void cov_matrix_bias_out(const MatView& x, Out out) { centred_gram(x, out, static_cast<double>(x.rows), 2); }

void cov_matrix_centered_out(const MatView& x, Out out) {
    const size_t p = x.cols;
    const double div = static_cast<double>(x.rows - 1);
    pair_engine(columns(x), Stat::none, Term::product, 2, out, [&](size_t i, double* o, const double*) {
        for (size_t j = i; j < p; ++j) o[j] /= div;
    });
}

void xtx_matrix_out(const MatView& x, Out out) {
    pair_engine(columns(x), Stat::none, Term::product, 2, out, keep);
}

void complete_pairs_out(In data, size_t n, size_t p, bool squares, CompleteEntries entries, int power, Out out) {
    // Columns beyond the plain range, infinities (which no pair uses) aside,
    // are read in their units; entries carrying the power-th power of the
    // data's unit are then scaled back.
    const Operand given{reinterpret_cast<const char*>(data.data()), n, p,
                        static_cast<ptrdiff_t>(p * sizeof(double)), sizeof(double), false};
    const ColumnUnits cu = column_units(given, core::max_magnitude(data));
    Buf<double> copy;
    if (cu.any()) in_units(given, cu, copy);
    const In x = cu.any() ? In(copy.data(), copy.size()) : data;
    const size_t block = block_rows(p);
    const Groups gr = row_groups(p, gram_row_cost(n, p));
    const size_t arrays = pair_arrays(squares);
    // Per row of an item: the sums and shifts of every pair j >= i, kept
    // across the blocks.
    const size_t per_item = arrays * p * ((p + gr.count - 1) / gr.count);
    run_items(gr.threads, gr.count, per_item, [&](size_t g, double* acc) {
        std::fill(acc, acc + per_item, 0.0);
        double* sums = acc;
        for (size_t i = g; i < p; i += gr.count) {
            const size_t len = p - i;
            pair_shifts(x.data(), n, p, i, sums + (arrays - 2) * len, sums + (arrays - 1) * len);
            sums += arrays * len;
        }
        for (size_t r0 = 0; r0 < n; r0 += block) {
            double* a = acc;
            for (size_t i = g; i < p; i += gr.count) {
                add_complete_pairs(x.data(), p, i, r0, std::min(n, r0 + block), a, squares);
                a += arrays * (p - i);
            }
        }
        const double* a = acc;
        for (size_t i = g; i < p; i += gr.count) {
            const size_t len = p - i;
            const CompleteSums s{a,
                                 a + len,
                                 a + 2 * len,
                                 a + 3 * len,
                                 squares ? a + 4 * len : nullptr,
                                 squares ? a + 5 * len : nullptr};
            entries(s, len, out.data() + i * p + i);
            cu.unscale_row(i, out.data() + i * p + i, len, power);
            a += arrays * len;
        }
    });
    mirror_upper(out, p);
}

void cov_matrix_skipna_out(In x, size_t n, size_t p, Out out) {
    complete_pairs_out(
        x, n, p, false,
        [](const CompleteSums& s, size_t len, double* o) noexcept {
            for (size_t k = 0; k < len; ++k)
                o[k] = s.c[k] < 2.0 ? kNaN : centred_moment(s.sab[k], s.sa[k], s.sb[k], s.c[k]);
        },
        2, out);
}

// The row Gram matrix is the column Gram matrix of the transpose: entry
// (i, j) sums x[i,k] * x[j,k] in column order k = 0 ... p - 1.
void xxt_matrix_out(const MatView& x, Out out) {
    pair_engine(Operand{x.data, x.cols, x.rows, x.cstride, x.rstride, x.f32}, Stat::none, Term::product, 2, out,
                keep);
}

void pairwise_euclidean_cols_out(const MatView& x, Out out) {
    const size_t p = x.cols;
    pair_engine(columns(x), Stat::none, Term::difference, 1, out, [&](size_t i, double* o, const double*) {
        o[i] = 0.0;
        for (size_t j = i + 1; j < p; ++j) o[j] = std::sqrt(o[j]);
    });
}

// Two equal columns are at distance 0, as a column is from itself; their
// dot product is the square of a rounded norm only to a few ulps, which
// leaves a distance of that size. Only a distance within that rounding of 0
// has its two columns compared, so other data pay one comparison.
void pairwise_cosine_cols_out(const MatView& x, Out out) {
    const size_t n = x.rows, p = x.cols;
    constexpr double kRounding = 8.0 * DBL_EPSILON;
    auto equal_columns = [&](size_t i, size_t j) {
        for (size_t r = 0; r < n; ++r)
            if (!(x.at(r, i) == x.at(r, j))) return false;
        return true;
    };
    pair_engine(columns(x), Stat::norm, Term::product, 0, out, [&](size_t i, double* o, const double* norm) {
        o[i] = norm[i] == 0.0 ? kNaN : 0.0;
        for (size_t j = i + 1; j < p; ++j) {
            const double d = norm[i] * norm[j];
            o[j] = (d == 0.0 || std::isnan(d)) ? kNaN : 1.0 - o[j] / d;
            if (std::fabs(o[j]) <= kRounding && equal_columns(i, j)) o[j] = 0.0;
        }
    });
}

namespace {

// The pairs of one block, for the sums where pairs are skipped: deviations
// from the shifts, +0.0 where x[i] or y[i] is NaN, and `one` 1.0 where
// neither is, else +0.0.
constexpr size_t kPairBlock = 256;
struct PairBlock {
    double dx[kPairBlock], dy[kPairBlock], one[kPairBlock];
};

// Reads the n <= kPairBlock pairs at x and y with wide vectors: raises bx
// and by to the largest |x[i]| and |y[i]| (NaN aside), fills *b when given,
// and says whether a pair holds NaN.
MS_WIDE bool scan_pairs(const double* x, const double* y, size_t n, double shx, double shy, PairBlock* b,
                        double& bx, double& by) {
    const V4 vx = {shx, shx, shx, shx}, vy = {shy, shy, shy, shy}, one = {1.0, 1.0, 1.0, 1.0};
    V4 mx = {}, my = {};
    M4 all = ~M4{};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const V4 u = load_v4(x + i), v = load_v4(y + i);
        const M4 ok = (u == u) & (v == v);
        if (b) {
            store_v4(b->dx + i, masked(u - vx, ok));
            store_v4(b->dy + i, masked(v - vy, ok));
            store_v4(b->one + i, masked(one, ok));
        }
        mx = max_magnitude(mx, u);
        my = max_magnitude(my, v);
        all &= ok;
    }
    bool clean = (all[0] & all[1] & all[2] & all[3]) != 0;
    for (; i < n; ++i) {
        const bool ok = !(std::isnan(x[i]) || std::isnan(y[i]));
        if (b) {
            b->dx[i] = ok ? x[i] - shx : 0.0;
            b->dy[i] = ok ? y[i] - shy : 0.0;
            b->one[i] = ok ? 1.0 : 0.0;
        }
        mx[0] = max_magnitude(mx[0], x[i]);
        my[0] = max_magnitude(my[0], y[i]);
        clean = clean && ok;
    }
    bx = std::max(bx, max_lane(mx));
    by = std::max(by, max_lane(my));
    return !clean;
}

// The sums of pair_sums as the values are read, and the largest magnitudes
// of x and y (NaN aside). Each block of pairs is first read with wide
// vectors, for its magnitudes and NaN (and, where pairs are skipped, its
// masked deviations), so that the sums, one long chain each in order, are
// about all the scalar loop does.
PairSums sums_as_read(In x, In y, bool skip_nan, bool squares, double& big_x, double& big_y) {
    // Each shift is the first finite value of its series among the pairs the
    // sums use: a value from a skipped pair may lie far from the data and
    // cancel their digits. Without skipping every pair is used (or the walk
    // stops at a NaN), so this is the series' first finite value.
    const size_t n = x.size();
    auto first_finite = [&](In v) {
        for (size_t i = 0; i < n; ++i)
            if (finite(v[i]) && !(skip_nan && (std::isnan(x[i]) || std::isnan(y[i])))) return v[i];
        return 0.0;
    };
    const double shx = first_finite(x), shy = first_finite(y);
    PairSums s;
    auto add = [&](double dx, double dy) {
        s.sx += dx;
        s.sy += dy;
        s.sxy += dx * dy;
        if (squares) {
            s.sxx += dx * dx;
            s.syy += dy * dy;
        }
    };
    PairBlock b;
    big_x = big_y = 0.0;
    for (size_t b0 = 0; b0 < n; b0 += kPairBlock) {
        const size_t len = std::min(n - b0, kPairBlock);
        const double *xb = x.data() + b0, *yb = y.data() + b0;
        if (!skip_nan) {
            if (scan_pairs(xb, yb, len, shx, shy, nullptr, big_x, big_y)) {
                s.hit_nan = true;  // the walk stops at the block's NaN
                return s;
            }
            for (size_t i = 0; i < len; ++i) add(xb[i] - shx, yb[i] - shy);
        } else {
            // A skipped pair adds +0.0 to every sum, which leaves it unchanged.
            scan_pairs(xb, yb, len, shx, shy, &b, big_x, big_y);
            for (size_t i = 0; i < len; ++i) {
                s.c += b.one[i];
                add(b.dx[i], b.dy[i]);
            }
        }
    }
    if (!skip_nan) s.c = static_cast<double>(n);
    return s;
}

// The unit of v among the pairs where neither series is NaN, infinities
// aside: a far value whose partner is missing, or an infinite one (which
// leaves NaN or infinity in any unit), leaves the others as they are.
core::Unit unit_of_pairs(In v, In x, In y) {
    double big = 0.0;
    for (size_t i = 0; i < v.size(); ++i)
        if (!std::isnan(x[i]) && !std::isnan(y[i])) big = std::max(big, core::finite_magnitude(v[i]));
    return core::unit_beyond_range_of(big);
}

}  // namespace

PairSums pair_sums(In x, In y, bool skip_nan, bool squares) {
    double big_x = 0.0, big_y = 0.0;
    PairSums s = sums_as_read(x, y, skip_nan, squares, big_x, big_y);
    // (Data of no magnitude at all read alike in any unit.)
    auto plain = [](double big) { return core::plain_range(big) || big == 0.0; };
    if (s.hit_nan || (plain(big_x) && plain(big_y))) return s;
    // Beyond the plain range each series is read again in its own unit
    // among the pairs used: every sum is then the plain one times a power of
    // two, exactly.
    const core::Unit ux = unit_of_pairs(x, x, y), uy = unit_of_pairs(y, x, y);
    if (ux.identity() && uy.identity()) return s;
    const core::InUnit xs(x, ux), ys(y, uy);
    s = sums_as_read(xs.span(), ys.span(), skip_nan, squares, big_x, big_y);
    s.exponent = ux.exponent() + uy.exponent();
    return s;
}

double cov_pair(In x, In y, bool skip_nan) {
    if (!skip_nan && x.size() < 2) return kNaN;
    const PairSums s = pair_sums(x, y, skip_nan, false);
    if (s.hit_nan || s.c < 2.0) return kNaN;
    const double v = centred_moment(s.sxy, s.sx, s.sy, s.c);
    return s.exponent == 0 ? v : std::ldexp(v, -s.exponent);
}

}  // namespace ms::kernels::matrix
