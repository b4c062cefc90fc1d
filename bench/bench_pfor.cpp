// PFOR encode and decode of 1M values per element size, beside memcpy of
// the same uncompressed bytes. Distributions: "narrow" (10 significant
// bits), "outliers" (the same with 3% of 20 bits) and "zeros". Bytes cannot
// hold those widths, so for them narrow means 3 bits and outliers 6 bits;
// 16-bit outliers take the full 16 bits.
#include "bench_support.h"

#include <string>

namespace {

constexpr size_t value_count = size_t(1) << 20;

enum class Dist { narrow, outliers, zeros };

const char *name_of(Dist d) {
    return d == Dist::narrow ? "narrow" : d == Dist::outliers ? "outliers" : "zeros";
}

std::vector<unsigned char> make_values(uint64_t es, Dist dist) {
    const unsigned w = unsigned(8 * es);
    const unsigned base = es == 1 ? 3 : 10, wide = std::min(w, es == 1 ? 6u : 20u);
    std::mt19937_64 rng(42);
    std::vector<unsigned char> out(value_count * es);
    if (dist == Dist::zeros) return out;
    for (size_t i = 0; i < value_count; ++i) {
        uint64_t v = rng() >> (64 - base);
        if (dist == Dist::outliers && rng() % 100 < 3)
            v = (rng() >> (64 - wide)) | (uint64_t(1) << (wide - 1));
        std::memcpy(out.data() + i * es, &v, es);
    }
    return out;
}

std::vector<unsigned char> encode(const std::vector<unsigned char> &values, uint64_t es) {
    std::vector<unsigned char> stream(pfor_bound(value_count, es));
    uint64_t len = 0;
    pfor_encode(stream.data(), stream.size(), &len, values.data(), value_count, es);
    stream.resize(len);
    return stream;
}

void set_bits_per_value(benchmark::State &state, size_t stream_len) {
    state.counters["bits_per_value"] = double(stream_len) * 8.0 / double(value_count);
}

void bench_encode(benchmark::State &state, uint64_t es, Dist dist) {
    const auto values = make_values(es, dist);
    std::vector<unsigned char> stream(pfor_bound(value_count, es));
    uint64_t len = 0;
    for (auto _ : state) {
        pfor_encode(stream.data(), stream.size(), &len, values.data(), value_count, es);
        benchmark::DoNotOptimize(stream.data());
        benchmark::ClobberMemory();
    }
    vb::set_bytes(state, value_count * es);
    set_bits_per_value(state, len);
}

void bench_decode(benchmark::State &state, uint64_t es, Dist dist, int path) {
    if (!vb::path_available(path)) {
        state.SkipWithError("path not available");
        return;
    }
    const vb::PathScope scope(path);
    const auto stream = encode(make_values(es, dist), es);
    std::vector<unsigned char> out(value_count * es);
    for (auto _ : state) {
        if (pfor_decode(out.data(), value_count, es, stream.data(), stream.size()) != 0)
            state.SkipWithError("decode refused");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    vb::set_bytes(state, value_count * es);
    set_bits_per_value(state, stream.size());
}

const int registered = [] {
    for (uint64_t es : {1, 2, 4, 8}) {
        const std::string width = std::to_string(es);
        benchmark::RegisterBenchmark(("memcpy/" + width).c_str(), vb::copy_bytes, value_count * es);
        for (Dist dist : {Dist::narrow, Dist::outliers, Dist::zeros}) {
            const std::string tail = width + "/" + name_of(dist);
            benchmark::RegisterBenchmark(("pfor_encode/" + tail).c_str(), bench_encode, es, dist);
            for (int path : {1, 2})
                benchmark::RegisterBenchmark(
                    ("pfor_decode/" + tail + "/path" + std::to_string(path)).c_str(), bench_decode,
                    es, dist, path);
        }
    }
    return 0;
}();

} // namespace

BENCHMARK_MAIN();
