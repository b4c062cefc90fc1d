// PFOR encode and decode of 1M values per element size. Distributions:
// "narrow" (10 significant bits), "outliers" (the same with 3 % of 20 bits)
// and "zeros". Bytes cannot hold those widths, so for them narrow means 3
// bits and outliers 6 bits; 16-bit outliers take the full 16 bits.
#include "bench_support.h"

#include <cstdio>
#include <string>

namespace {

constexpr size_t value_count = size_t(1) << 20;

enum class Dist { narrow, outliers, zeros };

const char *name_of(Dist d) {
    return d == Dist::narrow ? "narrow" : d == Dist::outliers ? "outliers" : "zeros";
}

vb::Bytes make_values(uint64_t es, Dist dist) {
    const unsigned w = unsigned(8 * es);
    const unsigned base = es == 1 ? 3 : 10, wide = std::min(w, es == 1 ? 6u : 20u);
    std::mt19937_64 rng(42);
    vb::Bytes out(value_count * es);
    if (dist == Dist::zeros) return out;
    for (size_t i = 0; i < value_count; ++i) {
        uint64_t v = rng() >> (64 - base);
        if (dist == Dist::outliers && rng() % 100 < 3) {
            const uint64_t high = rng() >> (64 - wide);
            v = high | (uint64_t(1) << (wide - 1));
        }
        std::memcpy(out.data() + i * es, &v, es);
    }
    return out;
}

vb::Bytes encode(const vb::Bytes &values, uint64_t es) {
    vb::Bytes stream(pfor_bound(value_count, es));
    uint64_t len = 0;
    pfor_encode(stream.data(), stream.size(), &len, values.data(), value_count, es);
    stream.resize(len);
    return stream;
}

std::string bits_note(size_t stream_len) {
    char text[40];
    std::snprintf(text, sizeof text, "%.2f bits/value", double(stream_len) * 8 / value_count);
    return text;
}

// Values of at most `b` bits with one of exactly `b` bits in every block: the
// encoder packs every block plainly at base width b, without exceptions.
vb::Bytes make_width(uint64_t es, unsigned b, size_t n) {
    std::mt19937_64 rng(b);
    vb::Bytes out(n * es);
    for (size_t i = 0; i < n; ++i) {
        uint64_t v = rng() >> (64 - b);
        if (i % 256 == 0) v |= uint64_t(1) << (b - 1);
        std::memcpy(out.data() + i * es, &v, es);
    }
    return out;
}

// The AVX2 unpacker against the SSE2 one at every base width below the
// element's, on 64K values (128 KiB of 2-byte output, in the second-level
// cache like the tiles): 2-byte values should gain a tenth, bytes must not
// lose.
void add_width_rows(uint64_t es, unsigned b, size_t n) {
    const std::string data = std::to_string(n >> 10) + "K_b" + std::to_string(b);
    const std::string sse2 = std::string("pfor_decode/") + vb::type_of(es) + "/" + data + "/sse2";
    for (int path : vb::paths()) {
        vb::Row row{"pfor_decode", vb::type_of(es), data, path};
        if (path == 2) {
            row.versus = sse2;
            row.versus_target = es == 2 ? 1.1 : 1.0;
        }
        vb::add(row, [=] {
            auto values = std::make_shared<vb::Bytes>(make_width(es, b, n));
            vb::Bytes packed(pfor_bound(n, es));
            uint64_t len = 0;
            pfor_encode(packed.data(), packed.size(), &len, values->data(), n, es);
            packed.resize(len);
            auto stream = std::make_shared<vb::Bytes>(std::move(packed));
            auto out = std::make_shared<vb::Bytes>(values->size());
            auto ok = std::make_shared<bool>(true);
            const bool plain = stream->size() == n / 256 * (2 + 32 * size_t(b));
            return vb::Case{
                values->size(),
                [=] {
                    *ok &= pfor_decode(out->data(), n, es, stream->data(), stream->size()) == 0;
                },
                [=] { return plain && *ok && *out == *values; }, bits_note(stream->size())};
        });
    }
}

VB_REGISTER {
    for (uint64_t es : {1, 2})
        for (unsigned b = 1; b < 8 * es; ++b) add_width_rows(es, b, size_t(1) << 16);
}

VB_REGISTER {
    for (uint64_t es : {1, 2, 4, 8}) {
        for (Dist dist : {Dist::narrow, Dist::outliers, Dist::zeros}) {
            const std::string data = std::string("1M_") + name_of(dist);
            vb::add({"pfor_encode", vb::type_of(es), data}, [=] {
                auto values = std::make_shared<vb::Bytes>(make_values(es, dist));
                auto stream = std::make_shared<vb::Bytes>(pfor_bound(value_count, es));
                auto len = std::make_shared<uint64_t>(0);
                pfor_encode(stream->data(), stream->size(), len.get(), values->data(), value_count,
                            es);
                return vb::Case{values->size(),
                                [=] {
                                    pfor_encode(stream->data(), stream->size(), len.get(),
                                                values->data(), value_count, es);
                                },
                                nullptr, bits_note(*len)};
            });
            for (int path : vb::paths()) {
                vb::add({"pfor_decode", vb::type_of(es), data, path}, [=] {
                    auto values = std::make_shared<vb::Bytes>(make_values(es, dist));
                    auto stream = std::make_shared<vb::Bytes>(encode(*values, es));
                    auto out = std::make_shared<vb::Bytes>(values->size());
                    auto ok = std::make_shared<bool>(true);
                    return vb::Case{values->size(),
                                    [=] {
                                        *ok &= pfor_decode(out->data(), value_count, es,
                                                           stream->data(), stream->size()) == 0;
                                    },
                                    [=] { return *ok && *out == *values; },
                                    bits_note(stream->size())};
                });
            }
        }
    }
}

} // namespace

VB_MAIN()
