#include "strips.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "dtypes.h"
#include "entropy/lanes.h"
#include "words.h"

namespace varda::codec {

namespace {

// Two columns of the edge sample either side of a row above, so that no
// neighbour there needs a test.
constexpr uint64_t pad = 2;

template <class S> struct Strip {
    using Word = std::make_unsigned_t<S>;
    // Sums of up to 16-bit samples fit in 32 bits (weights of at most
    // 2048, ten taps).
    using Acc = std::conditional_t<sizeof(S) <= 2, int32_t, int64_t>;
    static constexpr unsigned bits = 8 * sizeof(S);
    static constexpr Acc lo = std::is_signed_v<S> ? -(Acc(1) << (bits - 1)) : 0,
                         hi = std::is_signed_v<S> ? (Acc(1) << (bits - 1)) - 1
                                                  : Acc((int64_t(1) << bits) - 1);
    static Acc value(Word word) { return Acc(S(word)); }
};

template <class Acc> struct Weights {
    Acc w, n, nw, ne, ww, nn, nww, nee, nnw, nne, round;
    unsigned shift;
    explicit Weights(const LinearWeights &lw)
        : w(lw.weight[0]), n(lw.weight[1]), nw(lw.weight[2]), ne(lw.weight[3]), ww(lw.weight[4]),
          nn(lw.weight[5]), nww(lw.weight[6]), nee(lw.weight[7]), nnw(lw.weight[8]),
          nne(lw.weight[9]), round(lw.shift ? Acc(1) << (lw.shift - 1) : 0), shift(lw.shift) {}
};

// A row as values, padded: at[x + pad] is column x held to the row.
template <class S>
void padded_row(const unsigned char *row, uint64_t width, typename Strip<S>::Acc *at) {
    using Word = typename Strip<S>::Word;
    for (uint64_t x = 0; x < width; ++x) at[x + pad] = Strip<S>::value(load<Word>(row, x));
    at[0] = at[1] = at[pad];
    at[width + pad] = at[width + pad + 1] = at[width + pad - 1];
}

// The first row: W, the first sample from 0.
template <class S, bool rebuild>
void first_row(uint64_t width, const unsigned char *in, unsigned char *out) {
    using Word = typename Strip<S>::Word;
    Word west = 0;
    for (uint64_t x = 0; x < width; ++x) {
        if constexpr (rebuild) {
            west = Word(west + unzigzag(load<Word>(in, x)));
            store<Word>(out, x, west);
        } else {
            const Word sample = load<Word>(in, x);
            store<Word>(out, x, zigzag(Word(sample - west)));
            west = sample;
        }
    }
}

// One row of rows 1 on, the strips side by side: step j takes column j of
// every strip, so that each strip waits only on its own last sample.
// `up1` and `up2` are the padded rows above; `in` and `out` the row's
// samples or codes (the same row when rebuilding in place).
template <class S, bool rebuild, bool median>
void strip_row(const Weights<typename Strip<S>::Acc> &k, const typename Strip<S>::Acc *up1,
               const typename Strip<S>::Acc *up2, typename Strip<S>::Acc *cur, uint64_t width,
               unsigned lanes, const unsigned char *in, unsigned char *out) {
    using Acc = typename Strip<S>::Acc;
    using Word = typename Strip<S>::Word;
    const uint64_t strip = strip_width(width, lanes);
    for (uint64_t j = 0; j < strip; ++j) {
        for (uint64_t c = j; c < width; c += strip) {
            const Acc *n = up1 + c + pad, *nn = up2 + c + pad;
            const Acc w = j >= 1 ? cur[c - 1] : n[-1];
            const Acc ww = j >= 2 ? cur[c - 2] : n[-2];
            Acc prediction;
            if constexpr (median) {
                prediction =
                    std::max(std::min(w, n[0]), std::min(std::max(w, n[0]), w + n[0] - n[-1]));
            } else {
                const Acc sum = k.w * w + k.n * n[0] + k.nw * n[-1] + k.ne * n[1] + k.ww * ww +
                                k.nn * nn[0] + k.nww * n[-2] + k.nee * n[2] + k.nnw * nn[-1] +
                                k.nne * nn[1] + k.round;
                prediction = std::clamp(Acc(sum >> k.shift), Strip<S>::lo, Strip<S>::hi);
            }
            Word sample;
            if constexpr (rebuild) {
                sample = Word(Word(prediction) + unzigzag(load<Word>(in, c)));
                store<Word>(out, c, sample);
            } else {
                sample = load<Word>(in, c);
                store<Word>(out, c, zigzag(Word(sample - Word(prediction))));
            }
            cur[c] = Strip<S>::value(sample);
        }
    }
}

#if defined(__x86_64__)

// The rebuild of rows 1 on with sixteen strips in two vectors of eight,
// for samples of up to 16 bits (whose sums fit 32 bits). The rows above
// are kept lane-interleaved: entry (j + 2) * 16 + k holds column k s + j
// of strip k, for j from -2 to s + 1, each column held to the row as the
// portable loop holds it, so that every neighbour of a step is a whole
// vector. The codes are gathered from the row (still codes until the row
// is done), and the samples go back to it in column order at the row's
// end.
class Interleaved {
  public:
    Interleaved(uint64_t width, uint64_t strip) : width_(width), strip_(strip) {}
    size_t size() const { return size_t(strip_ + 4) * 16; }
    static size_t at(int64_t j, unsigned k) { return size_t(j + 2) * 16 + k; }
    // Column k s + j held to the row.
    uint64_t column(int64_t j, unsigned k) const {
        const int64_t c = int64_t(k * strip_) + j;
        return uint64_t(std::clamp<int64_t>(c, 0, int64_t(width_) - 1));
    }
    bool inside(int64_t j, unsigned k) const { return int64_t(k * strip_) + j < int64_t(width_); }
    // Every entry from the row's values.
    template <class F> void fill(int32_t *buffer, F &&value) const {
        for (unsigned k = 0; k < 16; ++k)
            for (int64_t j = -2; j < int64_t(strip_) + 2; ++j)
                buffer[at(j, k)] = value(column(j, k));
    }
    // The entries the vectors do not compute as they should be: the
    // padding either side of each strip and the columns past the tile.
    template <class F> void mend(int32_t *buffer, F &&value) const {
        for (unsigned k = 0; k < 16; ++k) {
            for (int64_t j : {int64_t(-2), int64_t(-1)}) buffer[at(j, k)] = value(column(j, k));
            for (int64_t j = int64_t(strip_) + 1; j >= 0 && !inside(j, k); --j)
                buffer[at(j, k)] = value(column(j, k));
            buffer[at(int64_t(strip_), k)] = value(column(int64_t(strip_), k));
            buffer[at(int64_t(strip_) + 1, k)] = value(column(int64_t(strip_) + 1, k));
        }
    }

  private:
    uint64_t width_, strip_;
};

__attribute__((target("avx2"))) inline __m256i vec(const int32_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

template <class S, bool median>
__attribute__((target("avx2"))) void rebuild_avx2(const LinearWeights &lw, const Plane &plane,
                                                  unsigned char *codes) {
    using Word = typename Strip<S>::Word;
    constexpr int bits = 8 * sizeof(S);
    const uint64_t width = plane.width, height = plane.count / width,
                   strip = strip_width(width, 16);
    const Interleaved layout(width, strip);
    std::vector<int32_t> rows(3 * layout.size());
    int32_t *up2 = rows.data(), *up1 = up2 + layout.size(), *cur = up1 + layout.size();
    const auto value_in = [](const unsigned char *row) {
        return [row](uint64_t c) { return int32_t(Strip<S>::value(load<Word>(row, c))); };
    };
    layout.fill(up1, value_in(codes));
    std::copy_n(up1, layout.size(), up2);
    __m256i k[linear_taps];
    for (unsigned t = 0; t < linear_taps; ++t) k[t] = _mm256_set1_epi32(lw.weight[t]);
    const __m256i kw = k[0], kn = k[1], knw = k[2], kne = k[3], kww = k[4], knn = k[5], knww = k[6],
                  knee = k[7], knnw = k[8], knne = k[9];
    const __m256i round = _mm256_set1_epi32(lw.shift ? 1 << (lw.shift - 1) : 0);
    const __m128i shift = _mm_cvtsi32_si128(int(lw.shift));
    const __m256i lo = _mm256_set1_epi32(int32_t(Strip<S>::lo)),
                  hi = _mm256_set1_epi32(int32_t(Strip<S>::hi));
    const __m256i last = _mm256_set1_epi32(int32_t(width - 1)), one = _mm256_set1_epi32(1);
    const __m256i starts[2] = {_mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                  _mm256_set1_epi32(int(strip))),
                               _mm256_mullo_epi32(_mm256_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15),
                                                  _mm256_set1_epi32(int(strip)))};
    for (uint64_t r = 1; r < height; ++r) {
        unsigned char *row = codes + r * width * sizeof(S);
        // Words gathered as 32 bits that end with the code wanted, so that
        // no load reaches past the tile's last sample.
        const int *base = reinterpret_cast<const int *>(row - (4 - sizeof(S)));
        for (unsigned h = 0; h < 2; ++h) {
            __m256i w = vec(up1 + Interleaved::at(-1, 8 * h)),
                    ww = vec(up1 + Interleaved::at(-2, 8 * h));
            for (uint64_t j = 0; j < strip; ++j) {
                const size_t at = Interleaved::at(int64_t(j), 8 * h);
                const int32_t *n = up1 + at, *nn = up2 + at;
                __m256i rest = round;
                if constexpr (!median) {
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(kn, vec(n)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(knw, vec(n - 16)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(kne, vec(n + 16)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(knww, vec(n - 32)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(knee, vec(n + 32)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(knn, vec(nn)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(knnw, vec(nn - 16)));
                    rest = _mm256_add_epi32(rest, _mm256_mullo_epi32(knne, vec(nn + 16)));
                }
                const __m256i column =
                    _mm256_min_epi32(_mm256_add_epi32(starts[h], _mm256_set1_epi32(int(j))), last);
                const __m256i word =
                    _mm256_srli_epi32(_mm256_i32gather_epi32(base, column, sizeof(S)), 32 - bits);
                const __m256i residual = _mm256_xor_si256(
                    _mm256_srli_epi32(word, 1),
                    _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(word, one)));
                __m256i prediction;
                if constexpr (median) {
                    const __m256i north = vec(n),
                                  gradient =
                                      _mm256_sub_epi32(_mm256_add_epi32(w, north), vec(n - 16));
                    prediction =
                        _mm256_max_epi32(_mm256_min_epi32(w, north),
                                         _mm256_min_epi32(_mm256_max_epi32(w, north), gradient));
                } else {
                    const __m256i sum =
                        _mm256_add_epi32(rest, _mm256_add_epi32(_mm256_mullo_epi32(kw, w),
                                                                _mm256_mullo_epi32(kww, ww)));
                    prediction =
                        _mm256_min_epi32(_mm256_max_epi32(_mm256_sra_epi32(sum, shift), lo), hi);
                }
                // The sample in its type's width, as a value.
                __m256i sample =
                    _mm256_slli_epi32(_mm256_add_epi32(prediction, residual), 32 - bits);
                sample = std::is_signed_v<S> ? _mm256_srai_epi32(sample, 32 - bits)
                                             : _mm256_srli_epi32(sample, 32 - bits);
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(cur + at), sample);
                ww = w;
                w = sample;
            }
        }
        for (unsigned k = 0; k < 16; ++k)
            for (uint64_t j = 0; j < strip && layout.inside(int64_t(j), k); ++j)
                store<Word>(row, k * strip + j, Word(cur[Interleaved::at(int64_t(j), k)]));
        layout.mend(cur, value_in(row));
        int32_t *spare = up2;
        up2 = up1;
        up1 = cur;
        cur = spare;
    }
}

#endif

template <class S, bool rebuild, bool median>
void strip_tile(const LinearWeights &lw, const Plane &plane, unsigned lanes,
                const unsigned char *in, unsigned char *out) {
    using Acc = typename Strip<S>::Acc;
    const uint64_t width = plane.width, height = plane.count / width, row_bytes = width * sizeof(S);
    if (plane.count == 0) return;
    first_row<S, rebuild>(width, in, out);
#if defined(__x86_64__)
    if constexpr (rebuild && sizeof(S) <= 2) {
        if (lanes == 16 && width >= 16 && entropy::lanes_use_avx2()) {
            rebuild_avx2<S, median>(lw, plane, out);
            return;
        }
    }
#endif
    const Weights<Acc> k(lw);
    const uint64_t padded = width + 2 * pad;
    std::vector<Acc> rows(3 * padded);
    Acc *up2 = rows.data(), *up1 = up2 + padded, *cur = up1 + padded;
    // The samples of the row above, whichever way the codes go.
    const unsigned char *samples = rebuild ? out : in;
    padded_row<S>(samples, width, up1);
    std::copy_n(up1, padded, up2);
    for (uint64_t r = 1; r < height; ++r) {
        strip_row<S, rebuild, median>(k, up1, up2, cur + pad, width, lanes, in + r * row_bytes,
                                      out + r * row_bytes);
        std::swap(up2, up1);
        padded_row<S>(samples + r * row_bytes, width, up1);
    }
}

template <bool rebuild>
void strip_any(const StripPredictor &predictor, const Plane &plane, unsigned lanes,
               const unsigned char *in, unsigned char *out) {
    with_sample_type(plane.dtype, [&]<class S>() {
        if (predictor.median)
            strip_tile<S, rebuild, true>(predictor.weights, plane, lanes, in, out);
        else
            strip_tile<S, rebuild, false>(predictor.weights, plane, lanes, in, out);
    });
}

} // namespace

void strip_residuals(const StripPredictor &predictor, const Plane &plane, unsigned lanes,
                     const unsigned char *samples, unsigned char *codes) {
    strip_any<false>(predictor, plane, lanes, samples, codes);
}

void strip_rebuild(const StripPredictor &predictor, const Plane &plane, unsigned lanes,
                   unsigned char *codes) {
    strip_any<true>(predictor, plane, lanes, codes, codes);
}

} // namespace varda::codec
