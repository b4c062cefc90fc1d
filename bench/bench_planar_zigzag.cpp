// Planar zigzag predictor, fused PFOR packing and byte lanes on a 512 x 512
// tile of a smooth field with noise.
#include "bench_support.h"

namespace {

constexpr size_t side = vb::tile_side, count = side * side;
using Bytes = std::vector<unsigned char>;

template <class T> void copy(benchmark::State &state) { vb::copy_bytes(state, count * sizeof(T)); }

template <class T> Bytes codes_of(const Bytes &tile) {
    Bytes codes(tile.size());
    planar_zigzag_encode(codes.data(), tile.data(), side, count, sizeof(T));
    return codes;
}

template <class T> void zigzag_encode(benchmark::State &state) {
    const Bytes tile = vb::smooth_tile(sizeof(T), side, count);
    Bytes codes(tile.size());
    for (auto _ : state) {
        planar_zigzag_encode(codes.data(), tile.data(), side, count, sizeof(T));
        benchmark::DoNotOptimize(codes.data());
    }
    vb::set_bytes(state, tile.size());
}

// range(0): path; range(1): 1 to decode in place.
template <class T> void zigzag_decode(benchmark::State &state) {
    if (!vb::path_available(int(state.range(0)))) return state.SkipWithError("no AVX2 here");
    const vb::PathScope scope(int(state.range(0)));
    const bool in_place = state.range(1) != 0;
    const Bytes tile = vb::smooth_tile(sizeof(T), side, count);
    const Bytes codes = codes_of<T>(tile);
    Bytes out(tile.size());
    for (auto _ : state) {
        if (in_place) {
            state.PauseTiming();
            out = codes;
            state.ResumeTiming();
        }
        planar_zigzag_decode(out.data(), in_place ? out.data() : codes.data(), side, count,
                             sizeof(T));
        benchmark::DoNotOptimize(out.data());
    }
    if (out != tile) state.SkipWithError("round trip failed");
    vb::set_bytes(state, tile.size());
}

template <class T> void fused_encode(benchmark::State &state) {
    const Bytes tile = vb::smooth_tile(sizeof(T), side, count);
    Bytes stream(planar_zigzag_pfor_bound(count, sizeof(T)));
    uint64_t len = 0;
    for (auto _ : state) {
        planar_zigzag_pfor_encode(stream.data(), stream.size(), &len, tile.data(), side, count,
                                  sizeof(T), 1);
        benchmark::DoNotOptimize(stream.data());
    }
    state.counters["bits_per_sample"] = double(len) * 8 / double(count);
    vb::set_bytes(state, tile.size());
}

template <class T> void fused_decode(benchmark::State &state) {
    if (!vb::path_available(int(state.range(0)))) return state.SkipWithError("no AVX2 here");
    const vb::PathScope scope(int(state.range(0)));
    const Bytes tile = vb::smooth_tile(sizeof(T), side, count);
    Bytes stream(planar_zigzag_pfor_bound(count, sizeof(T))), out(tile.size());
    uint64_t len = 0;
    planar_zigzag_pfor_encode(stream.data(), stream.size(), &len, tile.data(), side, count,
                              sizeof(T), 1);
    for (auto _ : state) {
        planar_zigzag_pfor_decode(out.data(), side, count, sizeof(T), 1, stream.data(), len);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != tile) state.SkipWithError("round trip failed");
    state.counters["bits_per_sample"] = double(len) * 8 / double(count);
    vb::set_bytes(state, tile.size());
}

template <class T> void lanes(benchmark::State &state) {
    const Bytes tile = vb::smooth_tile(sizeof(T), side, count);
    Bytes lane_buffer(tile.size());
    for (auto _ : state) {
        planar_zigzag_pivco_lanes(lane_buffer.data(), tile.data(), side, count, sizeof(T), 1);
        benchmark::DoNotOptimize(lane_buffer.data());
    }
    vb::set_bytes(state, tile.size());
}

template <class T> void unlanes(benchmark::State &state) {
    if (!vb::path_available(int(state.range(0)))) return state.SkipWithError("no AVX2 here");
    const vb::PathScope scope(int(state.range(0)));
    const Bytes tile = vb::smooth_tile(sizeof(T), side, count);
    Bytes lane_buffer(tile.size()), out(tile.size());
    planar_zigzag_pivco_lanes(lane_buffer.data(), tile.data(), side, count, sizeof(T), 1);
    for (auto _ : state) {
        planar_zigzag_pivco_unlanes(out.data(), lane_buffer.data(), side, count, sizeof(T), 1);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != tile) state.SkipWithError("round trip failed");
    vb::set_bytes(state, tile.size());
}

#define VARDA_ZIGZAG_BENCH(T)                                                                      \
    BENCHMARK(copy<T>);                                                                            \
    BENCHMARK(zigzag_encode<T>);                                                                   \
    BENCHMARK(zigzag_decode<T>)->ArgNames({"path", "in_place"})->ArgsProduct({{1, 2}, {0, 1}});    \
    BENCHMARK(fused_encode<T>);                                                                    \
    BENCHMARK(fused_decode<T>)->ArgName("path")->Arg(1)->Arg(2);                                   \
    BENCHMARK(lanes<T>);                                                                           \
    BENCHMARK(unlanes<T>)->ArgName("path")->Arg(1)->Arg(2);

VARDA_ZIGZAG_BENCH(uint8_t)
VARDA_ZIGZAG_BENCH(uint16_t)
VARDA_ZIGZAG_BENCH(uint32_t)

} // namespace

BENCHMARK_MAIN();
