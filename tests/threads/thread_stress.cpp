// Many threads calling every kernel family and the tile codec, each on
// buffers of its own, while other threads re-resolve the SIMD path and
// store into varda_simd_path the way a host may. Every call must give the
// bytes it gives on a single thread. `make tsan` runs this under
// ThreadSanitizer; elsewhere it checks that the kernels are re-entrant.
//
//   varda_thread_stress [rounds [family]]
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "join_split.h"
#include "varda_codec.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Everything a job produced, results and messages included.
struct Out {
    Bytes bytes;
    void add(const void *data, size_t size) {
        const auto *p = static_cast<const unsigned char *>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void add(const Bytes &b) { add(b.data(), b.size()); }
    void add(int64_t value) { add(&value, sizeof value); }
    void add(int value) { add(int64_t(value)); }
    void add(double value) { add(&value, sizeof value); }
    void add(const char *text) { add(text, std::strlen(text)); }
};

constexpr uint64_t widths[] = {1, 2, 4, 8};
constexpr size_t tile_w = 37, tile_h = 24, count = tile_w * tile_h;

// A smooth field with noise in the low bits, `es` bytes per sample.
Bytes field(uint64_t es, uint32_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(count * es);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t v = 1000 + 7 * (i / tile_w) + 3 * (i % tile_w) + rng() % 16;
        std::memcpy(out.data() + i * es, &v, es);
    }
    return out;
}

// Samples of a float type (f32 or f64) with a little noise.
Bytes float_field(uint64_t es, uint32_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(count * es);
    for (size_t i = 0; i < count; ++i) {
        const double v = 20.0 + 0.5 * double(i % tile_w) + double(rng() % 100) / 64.0;
        if (es == 4) {
            const float f = float(v);
            std::memcpy(out.data() + i * 4, &f, 4);
        } else {
            std::memcpy(out.data() + i * 8, &v, 8);
        }
    }
    return out;
}

void planar_family(Out &out, uint32_t seed) {
    for (uint64_t es : widths) {
        const Bytes x = field(es, seed);
        Bytes codes(x.size()), back(x.size());
        out.add(planar_encode(codes.data(), x.data(), tile_w, count, es));
        out.add(planar_decode(back.data(), codes.data(), tile_w, count, es));
        out.add(back);
        out.add(planar_zigzag_encode(codes.data(), x.data(), tile_w, count, es));
        out.add(planar_zigzag_decode(back.data(), codes.data(), tile_w, count, es));
        out.add(back);
        out.add(planar_zigzag_decode_stream(back.data(), codes.data(), 0, 100, tile_w, count, es));
        out.add(planar_zigzag_pivco_lanes(codes.data(), x.data(), tile_w, count, es, 2));
        out.add(planar_zigzag_pivco_unlanes(back.data(), codes.data(), tile_w, count, es, 2));
        out.add(back);
        Bytes stream(planar_zigzag_pfor_bound(count, es));
        uint64_t len = 0;
        out.add(planar_zigzag_pfor_encode(stream.data(), stream.size(), &len, x.data(), tile_w,
                                          count, es, 3));
        out.add(planar_zigzag_pfor_decode(back.data(), tile_w, count, es, 3, stream.data(), len));
        out.add(back);
        out.add(pfor_encode(stream.data(), stream.size(), &len, x.data(), count, es));
        out.add(pfor_decode(back.data(), count, es, stream.data(), len));
        out.add(back);
    }
}

void neighbour_family(Out &out, uint32_t seed) {
    using Kernel = int (*)(void *, const void *, uint64_t, uint64_t, uint64_t);
    const Kernel pairs[][2] = {{delta_n_encode, delta_n_decode},
                               {delta_w_encode, delta_w_decode},
                               {average_encode, average_decode},
                               {med_encode, med_decode},
                               {med_zigzag_encode, med_zigzag_decode}};
    for (uint64_t es : widths) {
        const Bytes x = field(es, seed);
        for (const auto &pair : pairs) {
            Bytes codes(x.size()), back(x.size());
            out.add(pair[0](codes.data(), x.data(), tile_w, count, es));
            out.add(pair[1](back.data(), codes.data(), tile_w, count, es));
            out.add(back);
        }
        Bytes even(x.size()), odd(x.size()), joined(x.size());
        deinterleave_split(even.data(), odd.data(), x.data(), count, es);
        deinterleave_join(joined.data(), even.data(), odd.data(), count, es);
        out.add(joined);
    }
}

void weighted_family(Out &out, uint32_t seed) {
    for (uint64_t es : widths) {
        const Bytes x = field(es, seed);
        int16_t weights[4];
        uint8_t shift = 0;
        out.add(wp_static_train(weights, &shift, x.data(), tile_w, count, es));
        out.add(weights, sizeof weights);
        Bytes codes(x.size()), back(x.size());
        out.add(wp_static_encode(codes.data(), x.data(), tile_w, count, es, weights, shift));
        out.add(wp_static_decode(back.data(), codes.data(), tile_w, count, es, weights, shift));
        out.add(back);
    }
    const int32_t first[] = {int32_t(seed), -5, 7}, second[] = {42};
    const int32_t *vectors[] = {first, second};
    const uint32_t lengths[] = {3, 1};
    unsigned char block[64];
    char err[64] = "";
    const uint64_t size = varda_coeffs_pack(block, sizeof block, vectors, lengths, 2, err, 64);
    int32_t coeffs[4];
    uint32_t lens[2];
    uint64_t n_vectors = 0, n_coeffs = 0;
    out.add(varda_coeffs_parse(block, size, coeffs, 4, lens, 2, &n_vectors, &n_coeffs));
    out.add(coeffs, sizeof coeffs);
}

void nodata_family(Out &out, uint32_t seed) {
    for (uint64_t es : widths) {
        Bytes x = field(es, seed);
        const uint64_t sentinel = 1000 + 3 * 5 + 7; // some samples land on it
        Bytes mask(count), filled(x.size()), restored(x.size());
        nodata_mark_value(mask.data(), x.data(), count, es, sentinel);
        nodata_fill(filled.data(), x.data(), mask.data(), tile_w, count, es);
        nodata_restore(restored.data(), filled.data(), mask.data(), count, es, sentinel);
        out.add(mask);
        out.add(restored);
        const int dtype = es == 1 ? 0 : es == 2 ? 1 : es == 4 ? 6 : 7;
        nodata_guard guard;
        out.add(nodata_guard_values(&guard, dtype, sentinel));
        out.add(nodata_mark_guarded(mask.data(), x.data(), count, dtype, sentinel, 3.0));
        out.add(nodata_restore_guarded(restored.data(), filled.data(), mask.data(), count, es,
                                       sentinel, &guard));
        out.add(restored);
    }
    Bytes f = float_field(4, seed);
    const uint32_t nan = 0x7FC00001u;
    std::memcpy(f.data() + 40, &nan, 4);
    Bytes mask(count);
    uint64_t nan_bits = 0;
    out.add(nodata_find_nan(&nan_bits, f.data(), count, 4));
    nodata_mark_nan(mask.data(), f.data(), count, 4);
    out.add(int64_t(nan_bits));
    out.add(mask);
}

void lossy_family(Out &out, uint32_t seed) {
    const char *recipes[] = {"LINEAR:MAX_ERROR=0.05", "LOG:MAX_ERROR=1%", "SQRT:MAX_ERROR=1N",
                             "SQRT:MAX_ERROR=2N,A=4,B=0.5"};
    const Bytes f32 = float_field(4, seed), u16 = field(2, seed);
    for (const char *text : recipes) {
        for (const auto &[raster, dtype] : {std::pair{&f32, 9}, std::pair{&u16, 1}}) {
            char err[256] = "";
            varda_lossy_recipe recipe;
            out.add(varda_lossy_parse(text, &recipe, err, sizeof err));
            out.add(
                varda_lossy_fit(&recipe, raster->data(), dtype, tile_w, count, err, sizeof err));
            varda_lossy_resolved resolved;
            out.add(varda_lossy_resolve(&recipe, raster->data(), unsigned(dtype), count, &resolved,
                                        err, sizeof err));
            out.add(varda_lossy_check_domain(&resolved, raster->data(), dtype, count, 0, 0, err,
                                             sizeof err));
            out.add(varda_lossy_guard_radius(&recipe, 30.0));
            out.add(err);
            if (resolved.family == 0) continue;
            Bytes stream(raster->size()), back(raster->size());
            const quant_grid *grid = &resolved.grid;
            const auto type = unsigned(dtype);
            double worst = 0;
            if (resolved.family == 1) {
                out.add(quant_linear_encode(stream.data(), raster->data(), grid, type, count));
                out.add(quant_linear_decode(back.data(), stream.data(), grid, type, count));
                out.add(quant_linear_verify(raster->data(), back.data(), &recipe.spec, type, count,
                                            &worst));
            } else if (resolved.family == 2) {
                out.add(quant_log_encode(stream.data(), raster->data(), grid, type, count));
                out.add(quant_log_decode(back.data(), stream.data(), grid, dtype, count));
                out.add(quant_log_verify(raster->data(), back.data(), &recipe.spec, type, count,
                                         &worst, nullptr));
            } else {
                out.add(quant_sqrt_encode(stream.data(), raster->data(), grid, type, count));
                out.add(quant_sqrt_decode(back.data(), stream.data(), grid, type, count));
                out.add(quant_sqrt_verify(raster->data(), back.data(), &recipe.spec, nullptr, type,
                                          count, &worst));
            }
            out.add(back);
            out.add(worst);
        }
    }
    quant_sqrt_accum accum;
    quant_sqrt_accum_init(&accum);
    out.add(quant_sqrt_accum_push(&accum, u16.data(), 1, tile_w, tile_h));
    quant_sqrt_curve curve;
    char err[256] = "";
    out.add(quant_sqrt_accum_solve(&accum, &curve, err, sizeof err));
    out.add(err);
    quant_sqrt_accum_free(&accum);
}

void join_family(Out &out, uint32_t seed) {
    for (uint64_t es : widths) {
        const Bytes x = field(es, seed);
        Bytes first(x.size()), second(x.size()), back(x.size());
        host::intmult_split(first.data(), second.data(), x.data(), count, es, 3);
        out.add(intmult_join(back.data(), first.data(), second.data(), count, es, 3));
        out.add(back);
        Bytes widths_of(count);
        host::binoffset_split(widths_of.data(), second.data(), x.data(), count, es);
        out.add(binoffset_join(back.data(), widths_of.data(), second.data(), count, es));
        out.add(back);
        uint64_t bases[256];
        uint8_t bin_widths[256];
        const uint32_t nbins = host::binoffset_class_table(bases, bin_widths, es);
        host::binoffset_split_table(widths_of.data(), second.data(), x.data(), count, es, bases,
                                    bin_widths, nbins);
        out.add(binoffset_join_table(back.data(), widths_of.data(), second.data(), count, es, bases,
                                     bin_widths, nbins));
        Bytes packed(host::binoffset_packed_size(widths_of.data(), count, bin_widths));
        host::binoffset_pack(packed.data(), widths_of.data(), second.data(), count, es, bin_widths);
        out.add(binoffset_unpack_join(back.data(), widths_of.data(), packed.data(), packed.size(),
                                      count, es, bases, bin_widths, nbins));
        out.add(back);
        host::blocked_transpose_zstd_shuffle(first.data(), x.data(), count, es);
        blocked_transpose_zstd_unshuffle(back.data(), first.data(), count, es);
        out.add(back);
    }
    for (uint64_t es : {4, 8}) {
        const Bytes x = float_field(es, seed);
        Bytes first(x.size()), second(x.size()), back(x.size());
        host::floatquant_split(first.data(), second.data(), x.data(), count, es, 12);
        out.add(floatquant_join(back.data(), first.data(), second.data(), count, es, 12));
        out.add(back);
        host::floatmult_split(first.data(), second.data(), x.data(), count, es, 1.0 / 64);
        out.add(floatmult_join(back.data(), first.data(), second.data(), count, es, 1.0 / 64));
        out.add(back);
    }
}

void codec_family(Out &out, uint32_t seed) {
    const struct {
        int dtype, chain, nodata;
        const char *recipe;
    } products[] = {{1, VARDA_CHAIN_AUTO, 0, nullptr},
                    {9, VARDA_CHAIN_AUTO, 0, "LINEAR:MAX_ERROR=0.01"},
                    {1, VARDA_CHAIN_WP, 1, "SQRT:MAX_ERROR=1N,A=4,B=0.5"},
                    {10, VARDA_CHAIN_FLOATQUANT, 0, nullptr},
                    {1, VARDA_CHAIN_CONTEXT_LANES, 0, nullptr}};
    for (const auto &p : products) {
        const Bytes tile = p.dtype == 1 ? field(2, seed) : float_field(p.dtype == 9 ? 4 : 8, seed);
        varda_codec_product product;
        varda_codec_product_init(&product, p.dtype);
        product.chain = p.chain;
        product.nodata = p.nodata;
        product.nodata_value = 1000 + 3 * 5 + 7;
        char err[256] = "";
        out.add(
            varda_codec_prepare(&product, p.recipe, tile.data(), tile_w, count, err, sizeof err));
        Bytes blob(varda_codec_bound(&product, tile_w, tile_h));
        uint64_t len = 0;
        out.add(varda_codec_encode(&product, tile.data(), tile_w, tile_h, blob.data(), blob.size(),
                                   &len, err, sizeof err));
        Bytes back(tile.size());
        out.add(varda_codec_decode(blob.data(), len, back.data(), back.size(), err, sizeof err));
        out.add(blob.data(), size_t(len));
        out.add(back);
        out.add(err);
    }
}

struct Job {
    const char *name;
    void (*run)(Out &, uint32_t);
};

const Job jobs[] = {{"planar", planar_family},     {"neighbours", neighbour_family},
                    {"weighted", weighted_family}, {"nodata", nodata_family},
                    {"lossy", lossy_family},       {"joins", join_family},
                    {"codec", codec_family}};
constexpr size_t job_count = sizeof jobs / sizeof jobs[0];
constexpr uint32_t seeds = 3;

const char *only = nullptr; // one family, when named on the command line

Bytes run(size_t job, uint32_t seed) {
    Out out;
    if (!only || std::strcmp(only, jobs[job].name) == 0) jobs[job].run(out, seed);
    return out.bytes;
}

} // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2;
    if (argc > 2) only = argv[2];
    std::vector<Bytes> expected(job_count * seeds);
    for (size_t j = 0; j < job_count; ++j)
        for (uint32_t s = 0; s < seeds; ++s) expected[j * seeds + s] = run(j, s);

    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    // A host may re-resolve at any time, or store a path of its choice; a
    // host that stores while kernels run does so atomically, as the
    // library reads it.
    const int top = (varda_simd_cpu() & 4u) ? 3 : 2;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; !done.load(std::memory_order_relaxed); ++k) {
                if ((k + t) % 2)
                    varda_simd_resolve();
                else
                    __atomic_store_n(&varda_simd_path, k % top, __ATOMIC_RELAXED);
                std::this_thread::yield();
            }
        });
    const unsigned workers = 2 * unsigned(job_count);
    std::vector<std::thread> working;
    for (unsigned w = 0; w < workers; ++w)
        working.emplace_back([&, w] {
            for (int r = 0; r < rounds; ++r)
                for (size_t k = 0; k < job_count; ++k) {
                    const size_t job = (w + k) % job_count;
                    const uint32_t seed = (w + uint32_t(r)) % seeds;
                    if (run(job, seed) != expected[job * seeds + seed]) {
                        std::fprintf(stderr, "%s (seed %u) differs on worker %u\n", jobs[job].name,
                                     seed, w);
                        ++mismatches;
                    }
                }
        });
    for (auto &t : working) t.join();
    done = true;
    for (auto &t : threads) t.join();
    std::printf("%u workers x %d rounds of %zu families: %d mismatches\n", workers, rounds,
                job_count, mismatches.load());
    return mismatches.load() == 0 ? 0 : 1;
}
