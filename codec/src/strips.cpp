#include "strips.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "dtypes.h"
#include "entropy/lanes.h"
#include "words.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace varda::codec {

namespace {

template <class S> struct Range {
    using Word = std::make_unsigned_t<S>;
    using Acc = std::conditional_t<sizeof(S) <= 2, int32_t, int64_t>;
    static constexpr unsigned bits = 8 * sizeof(S);
    static constexpr Acc lo = std::is_signed_v<S> ? -(Acc(1) << (bits - 1)) : 0,
                         hi = std::is_signed_v<S> ? (Acc(1) << (bits - 1)) - 1
                                                  : Acc((int64_t(1) << bits) - 1);
    static Acc value(Word word) { return Acc(S(word)); }
};

template <class Acc> Acc median_of(Acc w, Acc n, Acc nw) {
    return std::max(std::min(w, n), std::min(std::max(w, n), w + n - nw));
}

// The median predictor in sample order, both ways (in place allowed).
template <class S, bool rebuild>
void median_pass(const Plane &plane, const unsigned char *in, unsigned char *out) {
    using R = Range<S>;
    using Word = typename R::Word;
    const uint64_t width = plane.width, height = plane.count / width;
    std::vector<typename R::Acc> above(width), row(width);
    for (uint64_t r = 0; r < height; ++r) {
        for (uint64_t c = 0; c < width; ++c) {
            const typename R::Acc prediction = r == 0 ? (c ? row[c - 1] : 0)
                                               : c == 0
                                                   ? above[0]
                                                   : median_of(row[c - 1], above[c], above[c - 1]);
            const uint64_t i = r * width + c;
            Word sample;
            if constexpr (rebuild) {
                sample = Word(Word(prediction) + unzigzag(load<Word>(in, i)));
                store<Word>(out, i, sample);
            } else {
                sample = load<Word>(in, i);
                store<Word>(out, i, zigzag(Word(sample - Word(prediction))));
            }
            row[c] = R::value(sample);
        }
        above.swap(row);
    }
}

template <class S> void unzigzag_all(const Plane &plane, unsigned char *codes) {
    using Word = typename Range<S>::Word;
    for (uint64_t i = 0; i < plane.count; ++i)
        store<Word>(codes, i, unzigzag(load<Word>(codes, i)));
}

#if defined(__x86_64__)

// The strips in lockstep, samples of up to 16 bits (whose sums fit 32
// bits). At time t strip k rebuilds row t - k. Each time's samples are
// kept lane-interleaved: entry (j + 2) * 16 + k holds column k s + j of
// the row strip k rebuilt then, for j from -2 to s + 1, so that every
// neighbour of a step is a whole vector of the rows of the two times
// before. The columns left of a strip (j < 0) come from the strip to the
// left one time earlier, the columns right of it (j >= s) from the strip
// to the right one time later, once its first two steps are done.
class Skewed {
  public:
    Skewed(const Plane &plane)
        : width_(plane.width), height_(plane.count / plane.width), strip_(strip_width(width_)),
          last_(unsigned((width_ - 1) / strip_)), tail_(width_ - 1 - last_ * strip_) {}
    static size_t at(int64_t j, unsigned k) { return size_t(j + 2) * 16 + k; }
    size_t size() const { return size_t(strip_ + 4) * 16; }
    uint64_t strip() const { return strip_; }
    uint64_t times() const { return height_ + last_; }
    // The strips that hold columns of the tile: 0 .. last.
    unsigned last() const { return last_; }
    // Strip k's row at time t, or -1 when it has none.
    int64_t row(uint64_t t, unsigned k) const {
        return k <= last_ && t >= k && t - k < height_ ? int64_t(t - k) : -1;
    }
    // The columns left of each strip, at the start of a time.
    void left(int32_t *cur, const int32_t *before) const {
        cur[at(-1, 0)] = cur[at(-2, 0)] = 0; // the first row's W; other rows set after step 0
        for (unsigned k = 1; k < 16; ++k) {
            cur[at(-1, k)] = before[at(int64_t(strip_) - 1, k - 1)];
            cur[at(-2, k)] = before[at(int64_t(strip_) - 2, k - 1)];
        }
    }
    // The columns right of each strip of the time before, from the first
    // two of the strip to the right now; the last strip's from its own
    // last column (the tile's edge).
    void right(int32_t *before, const int32_t *cur) const {
        const int64_t s = int64_t(strip_);
        for (unsigned k = 0; k < last_; ++k) {
            before[at(s, k)] = cur[at(0, k + 1)];
            before[at(s + 1, k)] = cur[at(1, k + 1)];
        }
        // Its columns past the tile inside the strip were mended already.
        const int32_t edge = before[at(int64_t(tail_), last_)];
        for (int64_t j = std::max(int64_t(tail_) + 1, s); j < s + 2; ++j)
            before[at(j, last_)] = edge;
    }
    // The last strip's columns past the tile hold its edge.
    void mend(int32_t *cur) const {
        const int32_t edge = cur[at(int64_t(tail_), last_)];
        for (int64_t j = int64_t(tail_) + 1; j < int64_t(strip_); ++j) cur[at(j, last_)] = edge;
    }

  private:
    uint64_t width_, height_, strip_;
    unsigned last_;
    uint64_t tail_; // the last strip's last column in the tile
};

__attribute__((target("avx2"))) inline __m256i vec(const int32_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

__attribute__((target("avx2"))) inline __m256i pick(__m256i mask, __m256i yes, __m256i no) {
    return _mm256_blendv_epi8(no, yes, mask);
}

// Eight vectors of eight 32-bit values to their transpose: v[k] element j
// becomes v[j] element k.
__attribute__((target("avx2"))) inline void transpose8(__m256i v[8]) {
    __m256i t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(v[i], v[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(v[i], v[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
        u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
        u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
        u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
        v[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
        v[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
    }
}

// Eight samples of S from the values of a vector, in its order.
template <class S>
__attribute__((target("avx2"))) inline void store8(unsigned char *to, __m256i v) {
    constexpr int mask = sizeof(S) == 1 ? 0xFF : 0xFFFF;
    const __m256i words = _mm256_permute4x64_epi64(
        _mm256_packus_epi32(_mm256_and_si256(v, _mm256_set1_epi32(mask)), _mm256_setzero_si256()),
        0x08);
    const __m128i low = _mm256_castsi256_si128(words);
    if constexpr (sizeof(S) == 2)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to), low);
    else
        _mm_storel_epi64(reinterpret_cast<__m128i *>(to), _mm_packus_epi16(low, low));
}

// Eight codes of S from `from`, widened.
template <class S> __attribute__((target("avx2"))) inline __m256i load8(const unsigned char *from) {
    if constexpr (sizeof(S) == 2)
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(from)));
    else
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(from)));
}

template <class S, bool median, bool zigzagged>
__attribute__((target("avx2"))) void rebuild_avx2(const LinearWeights &lw, const Plane &plane,
                                                  unsigned char *codes) {
    using Word = typename Range<S>::Word;
    constexpr int bits = 8 * sizeof(S);
    const Skewed layout(plane);
    const uint64_t width = plane.width, strip = layout.strip();
    std::vector<int32_t> buffers(3 * layout.size());
    int32_t *up2 = buffers.data(), *up1 = up2 + layout.size(), *cur = up1 + layout.size();
    __m256i k[linear_taps];
    for (unsigned t = 0; t < linear_taps; ++t) k[t] = _mm256_set1_epi32(lw.weight[t]);
    const __m256i round = _mm256_set1_epi32(lw.shift ? 1 << (lw.shift - 1) : 0);
    const __m128i shift = _mm_cvtsi32_si128(int(lw.shift));
    const __m256i lo = _mm256_set1_epi32(int32_t(Range<S>::lo)),
                  hi = _mm256_set1_epi32(int32_t(Range<S>::hi)), one = _mm256_set1_epi32(1);
    const __m256i lane_of[2] = {_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                _mm256_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15)};
    const __m256i first_lane = _mm256_setr_epi32(-1, 0, 0, 0, 0, 0, 0, 0);
    // Each time's codes, lane-interleaved as the samples are (a copy beats
    // a gather of them).
    std::vector<int32_t> incoming(strip * 16);
    for (uint64_t t = 0; t < layout.times(); ++t) {
        layout.left(cur, up1);
        // A half whose eight strips all have a row and whole columns moves
        // its codes and samples eight columns at a time, transposed.
        bool whole[2];
        for (unsigned h = 0; h < 2; ++h) {
            whole[h] = (8 * h + 8) * strip <= width;
            for (unsigned lane = 8 * h; lane < 8 * h + 8; ++lane)
                whole[h] = whole[h] && layout.row(t, lane) >= 0;
        }
        const uint64_t blocks = strip / 8 * 8;
        for (unsigned lane = 0; lane < 16; ++lane) {
            const int64_t r = layout.row(t, lane);
            const uint64_t first = lane * strip,
                           end = r < 0 ? first : std::min(width, first + strip);
            uint64_t j = whole[lane / 8] ? blocks : 0;
            for (const uint64_t row = uint64_t(std::max<int64_t>(r, 0)) * width; first + j < end;
                 ++j)
                incoming[j * 16 + lane] = int32_t(load<Word>(codes, row + first + j));
            for (; j < strip; ++j) incoming[j * 16 + lane] = 0;
        }
        for (unsigned h = 0; h < 2; ++h) {
            if (!whole[h]) continue;
            for (uint64_t j = 0; j < blocks; j += 8) {
                __m256i v[8];
                for (unsigned k = 0; k < 8; ++k) {
                    const unsigned lane = 8 * h + k;
                    const uint64_t at = uint64_t(layout.row(t, lane)) * width + lane * strip + j;
                    v[k] = load8<S>(codes + at * sizeof(S));
                }
                transpose8(v);
                for (unsigned i = 0; i < 8; ++i)
                    _mm256_storeu_si256(
                        reinterpret_cast<__m256i *>(incoming.data() + (j + i) * 16 + 8 * h), v[i]);
            }
        }
        __m256i w[2], ww[2], row0[2], row1[2], first[2];
        for (unsigned h = 0; h < 2; ++h) {
            w[h] = vec(cur + Skewed::at(-1, 8 * h));
            ww[h] = vec(cur + Skewed::at(-2, 8 * h));
            const __m256i r = _mm256_sub_epi32(_mm256_set1_epi32(int(t)), lane_of[h]);
            row0[h] = _mm256_cmpeq_epi32(r, _mm256_setzero_si256());
            row1[h] = _mm256_cmpeq_epi32(r, one);
            // The first column of a row but the first predicts N.
            first[h] = h == 0 ? _mm256_andnot_si256(row0[h], first_lane) : _mm256_setzero_si256();
        }
        for (uint64_t j = 0; j < strip; ++j) {
            if (j == 2) layout.right(up1, cur);
            for (unsigned h = 0; h < 2; ++h) {
                const size_t at = Skewed::at(int64_t(j), 8 * h);
                const int32_t *n = up1 + at, *nn = up2 + at;
                const __m256i north = vec(n), north_west = vec(n - 16);
                const __m256i word = vec(incoming.data() + j * 16 + 8 * h);
                const __m256i residual =
                    zigzagged ? _mm256_xor_si256(_mm256_srli_epi32(word, 1),
                                                 _mm256_sub_epi32(_mm256_setzero_si256(),
                                                                  _mm256_and_si256(word, one)))
                              : word;
                __m256i prediction;
                if constexpr (median) {
                    const __m256i gradient =
                        _mm256_sub_epi32(_mm256_add_epi32(w[h], north), north_west);
                    prediction =
                        _mm256_max_epi32(_mm256_min_epi32(w[h], north),
                                         _mm256_min_epi32(_mm256_max_epi32(w[h], north), gradient));
                } else {
                    // The second row takes the first for the rows two above.
                    const __m256i up_nn = pick(row1[h], north, vec(nn)),
                                  up_nnw = pick(row1[h], north_west, vec(nn - 16)),
                                  up_nne = pick(row1[h], vec(n + 16), vec(nn + 16));
                    __m256i sum = _mm256_add_epi32(round, _mm256_mullo_epi32(k[1], north));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[2], north_west));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[3], vec(n + 16)));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[6], vec(n - 32)));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[7], vec(n + 32)));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[5], up_nn));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[8], up_nnw));
                    sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(k[9], up_nne));
                    sum = _mm256_add_epi32(sum, _mm256_add_epi32(_mm256_mullo_epi32(k[0], w[h]),
                                                                 _mm256_mullo_epi32(k[4], ww[h])));
                    prediction =
                        _mm256_min_epi32(_mm256_max_epi32(_mm256_sra_epi32(sum, shift), lo), hi);
                }
                prediction = pick(row0[h], w[h], prediction);
                if (j == 0) prediction = pick(first[h], north, prediction);
                // The sample in its type's width, as a value.
                __m256i sample =
                    _mm256_slli_epi32(_mm256_add_epi32(prediction, residual), 32 - bits);
                sample = std::is_signed_v<S> ? _mm256_srai_epi32(sample, 32 - bits)
                                             : _mm256_srli_epi32(sample, 32 - bits);
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(cur + at), sample);
                // Column 1 of the first strip takes column 0 for WW.
                ww[h] = j == 0 && h == 0 ? pick(first_lane, sample, w[h]) : w[h];
                w[h] = sample;
            }
            if (j == 0) cur[Skewed::at(-1, 0)] = cur[Skewed::at(-2, 0)] = cur[Skewed::at(0, 0)];
        }
        layout.mend(cur);
        for (unsigned lane = 0; lane <= layout.last(); ++lane) {
            const int64_t r = layout.row(t, lane);
            if (r < 0) continue;
            const uint64_t first = lane * strip, count = std::min(strip, width - first);
            unsigned char *to = codes + (uint64_t(r) * width + first) * sizeof(S);
            const int32_t *from = cur + Skewed::at(0, lane);
            for (uint64_t j = whole[lane / 8] ? blocks : 0; j < count; ++j)
                store<Word>(to, j, Word(from[16 * j]));
        }
        for (unsigned h = 0; h < 2; ++h) {
            if (!whole[h]) continue;
            for (uint64_t j = 0; j < blocks; j += 8) {
                __m256i v[8];
                for (unsigned i = 0; i < 8; ++i)
                    v[i] = vec(cur + Skewed::at(int64_t(j + i), 8 * h));
                transpose8(v);
                for (unsigned k = 0; k < 8; ++k) {
                    const unsigned lane = 8 * h + k;
                    const uint64_t at = uint64_t(layout.row(t, lane)) * width + lane * strip + j;
                    store8<S>(codes + at * sizeof(S), v[k]);
                }
            }
        }
        int32_t *spare = up2;
        up2 = up1;
        up1 = cur;
        cur = spare;
    }
}

#endif

template <class S> bool vector_path(const Plane &plane) {
#if defined(__x86_64__)
    // Four columns a strip at least: a strip's right neighbours are then
    // rebuilt before it needs them. Indices within 32 bits.
    return sizeof(S) <= 2 && plane.width >= 4 * strip_count &&
           plane.count <= uint64_t(std::numeric_limits<int32_t>::max()) &&
           entropy::lanes_use_avx2();
#else
    (void)plane;
    return false;
#endif
}

template <class S>
void rebuild_of(const StripPredictor &predictor, const Plane &plane, unsigned char *codes,
                bool zigzagged) {
#if defined(__x86_64__)
    if constexpr (sizeof(S) <= 2) {
        if (vector_path<S>(plane)) {
            const LinearWeights &lw = predictor.weights;
            if (predictor.median)
                (zigzagged ? rebuild_avx2<S, true, true> : rebuild_avx2<S, true, false>)(lw, plane,
                                                                                         codes);
            else
                (zigzagged ? rebuild_avx2<S, false, true>
                           : rebuild_avx2<S, false, false>)(lw, plane, codes);
            return;
        }
    }
#endif
    if (predictor.median) {
        median_pass<S, true>(plane, codes, codes);
        return;
    }
    if (zigzagged) unzigzag_all<S>(plane, codes);
    linear_rebuild(predictor.weights, plane, codes, codes);
}

} // namespace

void strip_residuals(const StripPredictor &predictor, const Plane &plane,
                     const unsigned char *samples, unsigned char *codes) {
    if (!predictor.median) {
        linear_residuals(predictor.weights, plane, samples, codes);
        return;
    }
    with_sample_type(plane.dtype, [&]<class S>() { median_pass<S, false>(plane, samples, codes); });
}

void strip_rebuild(const StripPredictor &predictor, const Plane &plane, unsigned char *codes,
                   bool zigzagged) {
    if (plane.count == 0) return;
    with_sample_type(plane.dtype,
                     [&]<class S>() { rebuild_of<S>(predictor, plane, codes, zigzagged); });
}

bool strips_vectorise(const Plane &plane) {
    bool vector = false;
    with_sample_type(plane.dtype, [&]<class S>() { vector = vector_path<S>(plane); });
    return vector;
}

} // namespace varda::codec
