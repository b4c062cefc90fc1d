// The decode-side joins on 1M elements of every width they take, from the
// streams the host's splitters make of realistic data: small smooth values
// for the integer joins, floats near a grid for the float joins. The joins
// do not read the SIMD path; rows carry the baseline they run.
#include "bench_support.h"

#include <cmath>
#include <string>

#include "support/join_split.h"

namespace {

constexpr size_t n = size_t(1) << 20;
const std::string data = "1M";

using Shared = std::shared_ptr<vb::Bytes>;

Shared bytes(size_t size) { return std::make_shared<vb::Bytes>(size); }

Shared integers(uint64_t es) {
    return std::make_shared<vb::Bytes>(vb::smooth_tile(es, 1024, n, es == 1 ? 2 : 40));
}

// Floats on a grid of 0.01 with a little noise, as a lossy pipeline leaves them.
Shared floats(uint64_t es) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> value(20.0, 8.0);
    auto out = bytes(n * es);
    for (size_t i = 0; i < n; ++i) {
        const double v = std::round(value(rng) * 100) / 100 + (i % 7 == 0 ? 1e-7 : 0);
        if (es == 4) {
            const float f = float(v);
            std::memcpy(out->data() + i * 4, &f, 4);
        } else {
            std::memcpy(out->data() + i * 8, &v, 8);
        }
    }
    return out;
}

const char *float_type(uint64_t es) { return es == 4 ? "f32" : "f64"; }

// A row whose kernel returns a status; the check wants 0 and the input back.
template <class Join> vb::Case joined(Shared want, Shared out, Join join) {
    auto ok = std::make_shared<bool>(true);
    return vb::Case{want->size(), [=] { *ok &= join() == 0; },
                    [=] { return *ok && *out == *want; }};
}

VB_REGISTER {
    for (uint64_t es : {1, 2, 4, 8}) {
        const char *type = vb::type_of(es);
        vb::add({"binoffset_join", type, data}, [=] {
            auto x = integers(es), widths = bytes(n), low = bytes(n * es), out = bytes(n * es);
            host::binoffset_split(widths->data(), low->data(), x->data(), n, es);
            return joined(x, out, [=] {
                return binoffset_join(out->data(), widths->data(), low->data(), n, es);
            });
        });

        // The class table: bin w holds values of bit length w.
        auto table = [=] {
            auto bases = std::make_shared<std::vector<uint64_t>>(65);
            auto widths = bytes(65);
            const uint32_t nbins = host::binoffset_class_table(bases->data(), widths->data(), es);
            return std::make_tuple(bases, widths, nbins);
        };
        vb::add({"binoffset_join_table", type, data}, [=] {
            auto [bases, widths, nbins] = table();
            auto x = integers(es), bins = bytes(n), offsets = bytes(n * es), out = bytes(n * es);
            host::binoffset_split_table(bins->data(), offsets->data(), x->data(), n, es,
                                        bases->data(), widths->data(), nbins);
            return joined(x, out, [=, nbins = nbins] {
                return binoffset_join_table(out->data(), bins->data(), offsets->data(), n, es,
                                            bases->data(), widths->data(), nbins);
            });
        });
        vb::add({"binoffset_unpack_join", type, data}, [=] {
            auto [bases, widths, nbins] = table();
            auto x = integers(es), bins = bytes(n), offsets = bytes(n * es), out = bytes(n * es);
            host::binoffset_split_table(bins->data(), offsets->data(), x->data(), n, es,
                                        bases->data(), widths->data(), nbins);
            auto packed = bytes(host::binoffset_packed_size(bins->data(), n, widths->data()));
            host::binoffset_pack(packed->data(), bins->data(), offsets->data(), n, es,
                                 widths->data());
            vb::Case c = joined(x, out, [=, nbins = nbins] {
                return binoffset_unpack_join(out->data(), bins->data(), packed->data(),
                                             packed->size(), n, es, bases->data(), widths->data(),
                                             nbins);
            });
            char note[40];
            std::snprintf(note, sizeof note, "%.2f offset bits/value",
                          double(packed->size()) * 8 / n);
            c.note = note;
            return c;
        });

        vb::add({"intmult_join", type, data, -1, es == 2 ? 0.3 : 0.0}, [=] {
            auto x = integers(es), quot = bytes(n * es), rem = bytes(n * es), out = bytes(n * es);
            host::intmult_split(quot->data(), rem->data(), x->data(), n, es, 10);
            return joined(x, out, [=] {
                return intmult_join(out->data(), quot->data(), rem->data(), n, es, 10);
            });
        });

        vb::add({"blocked_transpose_zstd_unshuffle", type, data, -1, es == 4 ? 0.4 : 0.0}, [=] {
            auto x = integers(es), planes = bytes(n * es), out = bytes(n * es);
            host::blocked_transpose_zstd_shuffle(planes->data(), x->data(), n, es);
            return vb::Case{
                x->size(),
                [=] { blocked_transpose_zstd_unshuffle(out->data(), planes->data(), n, es); },
                [=] { return *out == *x; }};
        });
    }

    for (uint64_t es : {4, 8}) {
        const char *type = float_type(es);
        vb::add({"floatquant_join", type, data}, [=] {
            auto x = floats(es), high = bytes(n * es), low = bytes(n * es), out = bytes(n * es);
            const uint32_t shift = es == 4 ? 12 : 40;
            host::floatquant_split(high->data(), low->data(), x->data(), n, es, shift);
            return joined(x, out, [=] {
                return floatquant_join(out->data(), high->data(), low->data(), n, es, shift);
            });
        });
        vb::add({"floatmult_join", type, data}, [=] {
            auto x = floats(es), index = bytes(n * es), residual = bytes(n * es),
                 out = bytes(n * es);
            host::floatmult_split(index->data(), residual->data(), x->data(), n, es, 0.01);
            return joined(x, out, [=] {
                return floatmult_join(out->data(), index->data(), residual->data(), n, es, 0.01);
            });
        });
    }
}

} // namespace

VB_MAIN()
