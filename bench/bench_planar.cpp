// Planar predictor on a 512 x 512 tile of a smooth field with noise.
#include "bench_support.h"

namespace {

constexpr size_t side = vb::tile_side, count = side * side;

template <class T> void copy(benchmark::State &state) { vb::copy_bytes(state, count * sizeof(T)); }

template <class T> void encode(benchmark::State &state) {
    const auto tile = vb::smooth_tile(sizeof(T), side, count);
    std::vector<unsigned char> residuals(tile.size());
    for (auto _ : state) {
        planar_encode(residuals.data(), tile.data(), side, count, sizeof(T));
        benchmark::DoNotOptimize(residuals.data());
    }
    vb::set_bytes(state, tile.size());
}

template <class T> void decode(benchmark::State &state) {
    const int path = int(state.range(0));
    if (!vb::path_available(path)) return state.SkipWithError("no AVX2 here");
    const vb::PathScope scope(path);
    const auto tile = vb::smooth_tile(sizeof(T), side, count);
    std::vector<unsigned char> residuals(tile.size()), out(tile.size());
    planar_encode(residuals.data(), tile.data(), side, count, sizeof(T));
    for (auto _ : state) {
        planar_decode(out.data(), residuals.data(), side, count, sizeof(T));
        benchmark::DoNotOptimize(out.data());
    }
    if (out != tile) state.SkipWithError("round trip failed");
    vb::set_bytes(state, tile.size());
}

// The baseline: the decoder's definition, element by element.
template <class T> void decode_elementwise(benchmark::State &state) {
    const auto tile = vb::smooth_tile(sizeof(T), side, count);
    std::vector<unsigned char> residual_bytes(tile.size());
    planar_encode(residual_bytes.data(), tile.data(), side, count, sizeof(T));
    std::vector<T> e(count), y(count);
    std::memcpy(e.data(), residual_bytes.data(), tile.size());
    for (auto _ : state) {
        T *out = y.data();
        benchmark::DoNotOptimize(out);
        for (size_t c = 0; c < side; ++c) out[c] = T((c ? out[c - 1] : 0) + e[c]);
        for (size_t r = 1; r < side; ++r) {
            T *row = out + r * side;
            const T *north = row - side;
            row[0] = T(north[0] + e[r * side]);
            for (size_t c = 1; c < side; ++c)
                row[c] = T(row[c - 1] + T(e[r * side + c] + north[c] - north[c - 1]));
        }
        benchmark::ClobberMemory();
    }
    vb::set_bytes(state, tile.size());
}

#define VARDA_PLANAR_BENCH(T)                                                                      \
    BENCHMARK(copy<T>);                                                                            \
    BENCHMARK(encode<T>);                                                                          \
    BENCHMARK(decode<T>)->ArgName("path")->Arg(1)->Arg(2);                                         \
    BENCHMARK(decode_elementwise<T>);

VARDA_PLANAR_BENCH(uint8_t)
VARDA_PLANAR_BENCH(uint16_t)
VARDA_PLANAR_BENCH(uint32_t)
VARDA_PLANAR_BENCH(uint64_t)

} // namespace

BENCHMARK_MAIN();
