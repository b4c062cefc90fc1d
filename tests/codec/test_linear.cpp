// The predictor trained on the tile, alone and mixed with the
// self-correcting ones: the decoders undo the encoders for any weights
// they accept, on every sample type they take, at the types' limits and
// on tiles of every small shape; training beats the fixed predictors where
// it should and is exact where it can be.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "linear.h"
#include "support/support.h"
#include "varda_kernels.h"
#include "words.h"

namespace {

using varda::codec::LinearWeights;
using varda::codec::Plane;
using vt::Bytes;

Plane plane_of(int dtype, uint64_t width, uint64_t height) {
    const uint64_t es = varda_dtype_size(dtype);
    return {width, height, width * height, es, dtype};
}

// Zigzag codes undone, in the samples' words, as the context decoder
// hands them on.
Bytes unzigzagged(const Bytes &codes, uint64_t es) {
    using namespace varda::codec;
    Bytes out(codes.size());
    with_width(es, 0, [&]<Element T>() {
        for (size_t i = 0; i < codes.size() / es; ++i)
            store<T>(out.data(), i, unzigzag(load<T>(codes.data(), i)));
        return 0;
    });
    return out;
}

LinearWeights weights_of(std::initializer_list<int> w, unsigned shift) {
    LinearWeights lw;
    size_t k = 0;
    for (int v : w) lw.weight[k++] = int16_t(v);
    lw.shift = uint8_t(shift);
    return lw;
}

double mean_abs_residual(const LinearWeights &lw, const Plane &plane, const Bytes &tile) {
    Bytes codes(tile.size());
    varda::codec::linear_residuals(lw, plane, tile.data(), codes.data());
    double sum = 0;
    for (size_t i = 0; i < plane.count; ++i) {
        uint16_t v;
        std::memcpy(&v, codes.data() + 2 * i, 2);
        sum += double((v >> 1) + (v & 1));
    }
    return sum / double(plane.count);
}

} // namespace

TEST(LinearPredictor, RebuildsWhatItPredictsForAnyAcceptedWeights) {
    const int dtypes[] = {VARDA_DTYPE_U8, VARDA_DTYPE_U16, VARDA_DTYPE_U32,
                          VARDA_DTYPE_I8, VARDA_DTYPE_I16, VARDA_DTYPE_I32};
    const uint64_t shapes[][2] = {{1, 1}, {7, 1}, {1, 7}, {2, 2}, {5, 3}, {37, 9}};
    std::mt19937_64 rng(11);
    for (int dtype : dtypes) {
        const uint64_t es = varda_dtype_size(dtype);
        for (const auto &shape : shapes) {
            const Plane plane = plane_of(dtype, shape[0], shape[1]);
            const size_t n = plane.count;
            // Full-range noise; the type's extremes side by side, where an
            // unclamped prediction leaves the range; a steep ramp.
            std::vector<Bytes> tiles(3, Bytes(n * es));
            for (size_t i = 0; i < n; ++i) {
                const uint64_t top = uint64_t(1) << (8 * es - 1);
                const uint64_t values[3] = {rng(), (i * 7 / 3) % 2 ? top - 1 : top,
                                            i * 97 + (rng() & 15)};
                for (size_t t = 0; t < 3; ++t)
                    std::memcpy(tiles[t].data() + i * es, &values[t], es);
            }
            for (const Bytes &tile : tiles) {
                std::vector<LinearWeights> sets = {
                    varda::codec::train_linear(plane, tile.data()),
                    weights_of({2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048}, 0),
                    weights_of({-2048, 2048, -2048, 2048, -2048, 2048, -2048, 2048, -2048, 2048},
                               15),
                    weights_of(
                        {-2048, -2048, -2048, -2048, -2048, -2048, -2048, -2048, -2048, -2048}, 7)};
                LinearWeights random;
                for (int16_t &w : random.weight) w = int16_t(int(rng() % 4097) - 2048);
                random.shift = uint8_t(rng() % 16);
                sets.push_back(random);
                for (const LinearWeights &lw : sets) {
                    const std::string at =
                        "dtype " + std::to_string(dtype) + " " + std::to_string(shape[0]) + "x" +
                        std::to_string(shape[1]) + " shift " + std::to_string(lw.shift);
                    ASSERT_TRUE(varda::codec::linear_valid(lw)) << at;
                    Bytes codes(tile.size());
                    varda::codec::linear_residuals(lw, plane, tile.data(), codes.data());
                    Bytes residuals = unzigzagged(codes, es), out(tile.size());
                    varda::codec::linear_rebuild(lw, plane, residuals.data(), out.data());
                    EXPECT_EQ(out, tile) << at;
                    varda::codec::linear_rebuild(lw, plane, residuals.data(), residuals.data());
                    EXPECT_EQ(residuals, tile) << at << " in place";
                    // The mixed predictor on the same weights, where it takes them.
                    if (!varda::codec::mixed_applies(plane) || !varda::codec::mixed_valid(lw))
                        continue;
                    varda::codec::mixed_residuals(lw, plane, tile.data(), codes.data());
                    residuals = unzigzagged(codes, es);
                    varda::codec::mixed_rebuild(lw, plane, residuals.data(), out.data());
                    EXPECT_EQ(out, tile) << at << " mixed";
                }
            }
        }
    }
}

TEST(LinearPredictor, TrainingAveragesNoiseAndPredictsPlanesExactly) {
    constexpr uint64_t side = 160;
    const Plane plane = plane_of(VARDA_DTYPE_U16, side, side);
    std::mt19937_64 rng(3);
    std::normal_distribution<double> noise(0, 3);
    Bytes smooth(plane.count * 2), slope(plane.count * 2);
    for (size_t i = 0; i < plane.count; ++i) {
        const double x = double(i % side), y = double(i / side);
        const auto v = uint16_t(std::lround(20000 + 900 * std::sin(x / 40) * std::cos(y / 30) +
                                            3 * x - 2 * y + noise(rng)));
        const auto s = uint16_t(1000 + 5 * (i % side) + 3 * (i / side));
        std::memcpy(smooth.data() + 2 * i, &v, 2);
        std::memcpy(slope.data() + 2 * i, &s, 2);
    }
    // Planar follows one noisy neighbour each way (four times the noise's
    // variance in its residual); a fit of ten neighbours averages them.
    const LinearWeights planar = weights_of({256, 256, -256}, 8);
    const LinearWeights fitted = varda::codec::train_linear(plane, smooth.data());
    EXPECT_LT(mean_abs_residual(fitted, plane, smooth),
              0.75 * mean_abs_residual(planar, plane, smooth));
    // The same samples give the same weights; a plane is predicted without
    // error away from the first row and column.
    const LinearWeights again = varda::codec::train_linear(plane, smooth.data());
    EXPECT_EQ(std::memcmp(again.weight, fitted.weight, sizeof fitted.weight), 0);
    const LinearWeights flat = varda::codec::train_linear(plane, slope.data());
    Bytes codes(slope.size());
    varda::codec::linear_residuals(flat, plane, slope.data(), codes.data());
    for (uint64_t r = 1; r < side; ++r)
        for (uint64_t c = 2; c + 2 < side; ++c) {
            uint16_t v;
            std::memcpy(&v, codes.data() + 2 * (r * side + c), 2);
            ASSERT_EQ(v, 0) << r << "," << c;
        }
}
