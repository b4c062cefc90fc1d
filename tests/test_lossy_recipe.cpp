// The recipe driver: parse, fit, resolve, the per-tile domain check and the
// guard radius, and whole products taken down the road they are built for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/lossy_support.h"
#include "support/quant_sqrt_oracle.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

struct Outcome {
    int result;
    std::string message;
};

Outcome parse(const char *text, varda_lossy_recipe *recipe) {
    char err[256] = "";
    const int r = varda_lossy_parse(text, recipe, err, sizeof err);
    return {r, err};
}

Outcome resolve(const varda_lossy_recipe &recipe, uint32_t dtype, const vt::Bytes &raster,
                varda_lossy_resolved *resolved) {
    char err[256] = "";
    const size_t count = dtype <= 10 ? raster.size() / vt::dtype_bytes(dtype) : raster.size();
    const int r =
        varda_lossy_resolve(&recipe, raster.data(), dtype, count, resolved, err, sizeof err);
    return {r, err};
}

Outcome check(const varda_lossy_resolved &resolved, int dtype, const vt::Bytes &tile,
              int has_ignore = 0, uint64_t ignore = 0) {
    char err[256] = "";
    const bool known = dtype >= 0 && dtype <= 10;
    const size_t count = known ? tile.size() / vt::dtype_bytes(uint32_t(dtype)) : tile.size();
    const int r = varda_lossy_check_domain(&resolved, tile.data(), dtype, count, has_ignore, ignore,
                                           err, sizeof err);
    return {r, err};
}

varda_lossy_recipe recipe_of(const char *text) {
    varda_lossy_recipe recipe;
    EXPECT_EQ(parse(text, &recipe).result, 0) << text;
    return recipe;
}

} // namespace

TEST(LossyRecipe, Parse) {
    varda_lossy_recipe recipe;
    for (const char *empty : {static_cast<const char *>(nullptr), ""}) {
        std::memset(&recipe, 0x5A, sizeof recipe);
        EXPECT_EQ(parse(empty, &recipe).result, 0);
        const varda_lossy_recipe zero{};
        EXPECT_EQ(std::memcmp(&recipe, &zero, sizeof recipe), 0);
    }
    EXPECT_EQ(recipe_of("LINEAR:MAX_ERROR=0.5").family, 1);
    EXPECT_EQ(recipe_of("LOG:MAX_ERROR=1%").family, 2);
    const varda_lossy_recipe sqrt = recipe_of("SQRT:MAX_ERROR=2N,A=4,B=0.5");
    EXPECT_EQ(sqrt.family, 3);
    EXPECT_EQ(sqrt.spec.has_ab, 1);
    EXPECT_EQ(sqrt.spec.b, 0.5);

    // A family parser's refusal stands and the family stays 0.
    const Outcome log = parse("LOG:MAX_ERROR=1", &recipe);
    EXPECT_EQ(log.result, 1);
    EXPECT_EQ(recipe.family, 0);
    EXPECT_EQ(log.message, "error \"LOG:MAX_ERROR=1\": MAX_ERROR takes one number ending in %");
    EXPECT_EQ(parse("linear:MAX_ERROR=1", &recipe).message,
              "error \"linear:MAX_ERROR=1\": the families are LINEAR, LOG and SQRT, each followed "
              "by a colon");
    EXPECT_EQ(parse("LINEAR", &recipe).result, 1);
    EXPECT_EQ(parse("SQRT:MAX_ERROR=2N", nullptr).message, "no recipe to write to");
}

TEST(LossyRecipe, Fit) {
    const size_t width = 514, rows = 258;
    const vt::Bytes raster = vt::shot_raster(1, width, rows, 100, 4000, 50, 0.5, 4);
    char err[128] = "";

    varda_lossy_recipe linear = recipe_of("LINEAR:MAX_ERROR=1");
    const varda_lossy_recipe before = linear;
    EXPECT_EQ(varda_lossy_fit(&linear, raster.data(), 1, 30, 100, err, sizeof err), 0);
    EXPECT_EQ(std::memcmp(&linear, &before, sizeof linear), 0);
    varda_lossy_recipe given = recipe_of("SQRT:MAX_ERROR=2N,A=4,B=0.5");
    EXPECT_EQ(varda_lossy_fit(&given, raster.data(), 1, width, width * rows, err, sizeof err), 0);
    EXPECT_EQ(given.spec.a, 4.0);

    varda_lossy_recipe sqrt = recipe_of("SQRT:MAX_ERROR=2N");
    EXPECT_EQ(varda_lossy_fit(&sqrt, raster.data(), 1, 30, 100, err, sizeof err), 1);
    EXPECT_STREQ(err, "100 samples do not divide into rows of 30");
    EXPECT_EQ(varda_lossy_fit(&sqrt, raster.data(), 1, 0, 100, err, sizeof err), 1);
    EXPECT_STREQ(err, "100 samples do not divide into rows of 0");
    for (int dtype : {11, -1}) {
        EXPECT_EQ(
            varda_lossy_fit(&sqrt, raster.data(), dtype, width, width * rows, err, sizeof err), 1);
        EXPECT_STREQ(err, "a raster of 514x258 is too small to measure blocks on");
    }
    EXPECT_EQ(sqrt.spec.has_ab, 0);
    EXPECT_EQ(varda_lossy_fit(nullptr, raster.data(), 1, width, width * rows, err, sizeof err), 1);
    EXPECT_STREQ(err, "no recipe to fit");

    ASSERT_EQ(varda_lossy_fit(&sqrt, raster.data(), 1, width, width * rows, err, sizeof err), 0)
        << err;
    EXPECT_EQ(sqrt.spec.has_ab, 1);
    quant_sqrt_curve curve;
    ASSERT_EQ(quant_sqrt_fit(raster.data(), 1, width, rows, &curve, err, sizeof err), 0);
    EXPECT_EQ(sqrt.spec.a, curve.a);
    EXPECT_EQ(sqrt.spec.b, curve.b);
}

TEST(LossyRecipe, ResolveMessages) {
    const vt::Bytes nan = vt::raster_of(9, {NAN, NAN});
    const vt::Bytes some = vt::raster_of(9, {1, 2});
    varda_lossy_resolved resolved;
    const struct {
        const char *text;
        uint32_t dtype;
        const vt::Bytes *raster;
        const char *message;
    } cases[] = {
        {"LINEAR:MAX_ERROR=1", 9, &nan, "the raster holds no finite sample to cut a grid against"},
        {"LINEAR:MAX_ERROR=1", 11, &some,
         "the raster holds no finite sample to cut a grid against"},
        {"LOG:MAX_ERROR=1%", 11, &some, "dtype 11 is not a type quant_log knows"},
        {"SQRT:MAX_ERROR=2N,A=1,B=1", 9, &nan, "the raster holds no finite sample"},
        {"SQRT:MAX_ERROR=2N", 9, &some,
         "this recipe carries no A and B, so it needs a curve from quant_sqrt_fit"},
    };
    for (const auto &c : cases) {
        const Outcome r = resolve(recipe_of(c.text), c.dtype, *c.raster, &resolved);
        EXPECT_EQ(r.result, 1) << c.text;
        EXPECT_EQ(r.message, c.message);
    }
    varda_lossy_recipe odd = recipe_of("");
    odd.family = 7;
    EXPECT_EQ(resolve(odd, 9, some, &resolved).message,
              "recipe family 7 is not one this build knows");
    char err[64];
    EXPECT_EQ(varda_lossy_resolve(nullptr, some.data(), 9, 2, &resolved, err, sizeof err), 1);
    EXPECT_STREQ(err, "no recipe to resolve");

    // No recipe: a zeroed record, whatever was there.
    std::memset(&resolved, 0x5A, sizeof resolved);
    EXPECT_EQ(resolve(recipe_of(nullptr), 9, nan, &resolved).result, 0);
    const varda_lossy_resolved zero{};
    EXPECT_EQ(std::memcmp(&resolved, &zero, sizeof resolved), 0);
}

TEST(LossyRecipe, CheckDomain) {
    varda_lossy_resolved linear, integer, log, log_signed, sqrt;
    ASSERT_EQ(resolve(recipe_of("LINEAR:MAX_ERROR=0.01"), 9, vt::raster_of(9, {0, 10, 3}), &linear)
                  .result,
              0);
    ASSERT_EQ(linear.grid.mode & 1, 1);
    ASSERT_EQ(
        resolve(recipe_of("LINEAR:MAX_ERROR=2"), 6, vt::raster_of(6, {0, 10}), &integer).result, 0);
    ASSERT_EQ(resolve(recipe_of("LOG:MAX_ERROR=1%"), 9, vt::raster_of(9, {1, 10}), &log).result, 0);
    ASSERT_EQ(
        resolve(recipe_of("LOG:MAX_ERROR=1%"), 9, vt::raster_of(9, {-1, 10}), &log_signed).result,
        0);
    ASSERT_EQ(resolve(recipe_of("SQRT:MAX_ERROR=1N,A=4,B=1"), 9, vt::raster_of(9, {-2, 50}), &sqrt)
                  .result,
              0);
    const std::string negatives = "the lossy graph was built without negative samples, but this "
                                  "tile contains them; build the graph from the full product";
    const struct {
        const varda_lossy_resolved *resolved;
        int dtype;
        std::vector<double> tile;
        int has_ignore;
        uint64_t ignore;
        std::string message; // empty: accepted
    } cases[] = {
        {&linear, 9, {0, 10, NAN}, 0, 0, ""},
        {&linear,
         9,
         {0, 10.5},
         0,
         0,
         "the lossy graph was built for magnitudes up to 10, but this tile reaches 10.5; build "
         "the graph from the full product"},
        {&linear, 9, {1, -0.5}, 0, 0, negatives},
        {&linear, 9, {NAN, INFINITY}, 0, 0, ""},
        {&linear, 9, {3, -9999}, 1, 0xC61C3C00, ""}, // the sentinel -9999 as f32 bits
        {&linear, 9, {3, -9999}, 1, 0xC61C3C01, negatives},
        {&integer, 6, {5000, 1}, 0, 0, ""},
        {&log, 9, {2, -3}, 0, 0, negatives},
        {&log_signed, 9, {2, -3}, 0, 0, ""},
        {&log, 9, {2, 1e30}, 0, 0, ""},
        {&sqrt, 9, {-2, 50, NAN}, 0, 0, ""},
        {&sqrt, 9, {NAN}, 0, 0, ""},
        {&sqrt,
         9,
         {-3, 60},
         0,
         0,
         "the lossy graph was built for values from -2 to 50, but this tile reaches -3 to 60; "
         "build the graph from the full product"},
        {&sqrt, 9, {1, 60}, 1, 0x42700000, ""}, // 60.0f ignored
        {&sqrt, 9, {60}, 1, 0x42700000, ""},    // nothing left to test
    };
    for (const auto &c : cases) {
        const Outcome r = check(*c.resolved, c.dtype, vt::raster_of(uint32_t(c.dtype), c.tile),
                                c.has_ignore, c.ignore);
        EXPECT_EQ(r.result, c.message.empty() ? 0 : 1) << r.message;
        EXPECT_EQ(r.message, c.message);
    }
    // The ignored pattern is the low bits at the element width.
    EXPECT_EQ(check(integer, 1, vt::raster_of(1, {65535}), 1, 0xABCDFFFF).result, 0);

    const vt::Bytes tile = vt::raster_of(9, {1});
    char err[64];
    for (int dtype : {11, -1, -2147483647 - 1}) {
        EXPECT_EQ(check(linear, dtype, tile).message, "invalid lossy domain check");
    }
    EXPECT_EQ(varda_lossy_check_domain(nullptr, tile.data(), 9, 1, 0, 0, err, sizeof err), 1);
    EXPECT_EQ(varda_lossy_check_domain(&linear, nullptr, 9, 1, 0, 0, err, sizeof err), 1);
    EXPECT_STREQ(err, "invalid lossy domain check");
    EXPECT_EQ(varda_lossy_check_domain(&linear, nullptr, 9, 0, 0, 0, err, sizeof err), 0);
    varda_lossy_resolved odd = linear;
    odd.family = 9;
    EXPECT_EQ(check(odd, 9, tile).message, "lossy family 9 is not one this build knows");
    odd.family = 0;
    EXPECT_EQ(check(odd, 9, vt::raster_of(9, {-1e30})).result, 0);
}

TEST(LossyRecipe, GuardRadius) {
    auto radius = [](const char *text, double x) {
        const varda_lossy_recipe recipe = recipe_of(text);
        return varda_lossy_guard_radius(&recipe, x);
    };
    EXPECT_EQ(radius("LINEAR:MAX_ERROR=0.5", -1e300), 0.5);
    EXPECT_EQ(radius("LINEAR:MAX_ERROR=0.5", NAN), 0.5);
    EXPECT_EQ(radius("LOG:MAX_ERROR=50%", -3), 3.0);
    EXPECT_EQ(radius("LOG:MAX_ERROR=50%", NAN), inf);
    EXPECT_EQ(radius("SQRT:MAX_ERROR=1N,A=0,B=1", 0), 1.0);
    EXPECT_EQ(radius("SQRT:MAX_ERROR=1N,A=0,B=1", 2), 2.0);
    EXPECT_EQ(radius("SQRT:MAX_ERROR=1N,A=0,B=1", -10), 0.0);
    EXPECT_EQ(radius("SQRT:MAX_ERROR=1N,A=0,B=1", INFINITY), inf);
    EXPECT_EQ(radius("SQRT:MAX_ERROR=1N", 2), inf); // no curve yet
    EXPECT_EQ(radius("", 5), 0.0);
    EXPECT_EQ(varda_lossy_guard_radius(nullptr, 5), inf);

    varda_lossy_recipe odd = recipe_of("SQRT:MAX_ERROR=1N,A=0,B=1");
    odd.spec.a = NAN; // no bound, not a NaN radius
    EXPECT_EQ(varda_lossy_guard_radius(&odd, 2), inf);
    odd.family = 5;
    EXPECT_EQ(varda_lossy_guard_radius(&odd, 2), inf);
}

// A product down the whole road, in every sample type: parse, fit (SQRT
// without a curve), resolve on the whole raster, then per tile the domain
// check, encode and decode. Every sample comes back within its bound, and
// within the guard radius of what it was rebuilt as.
TEST(LossyRecipe, ProductsKeepTheirBoundsAndGuardRadii) {
    const size_t width = 258, rows = 130, tile_rows = 26;
    const char *recipes[] = {"SQRT:MAX_ERROR=2N", "SQRT:MAX_ERROR=0.5N,A=30,B=0.25",
                             "LINEAR:MAX_ERROR=8", "LOG:MAX_ERROR=2%"};
    for (uint32_t dtype = 0; dtype < 11; ++dtype) {
        const bool narrow = dtype == 0 || dtype == 4;
        const double lo = narrow ? 10 : 100, hi = narrow ? 120 : 5000;
        const vt::Bytes raster = vt::shot_raster(dtype, width, rows, lo, hi, 20, 0.5, dtype);
        for (const char *text : recipes) {
            varda_lossy_recipe recipe = recipe_of(text);
            char err[256] = "";
            ASSERT_EQ(varda_lossy_fit(&recipe, raster.data(), int(dtype), width, width * rows, err,
                                      sizeof err),
                      0)
                << text << " dtype " << dtype << ": " << err;
            varda_lossy_resolved resolved;
            const Outcome r = resolve(recipe, dtype, raster, &resolved);
            ASSERT_EQ(r.result, 0) << text << " dtype " << dtype << ": " << r.message;

            const size_t es = vt::dtype_bytes(dtype), tile = width * tile_rows;
            vt::Bytes stream(raster.size()), rebuilt(raster.size());
            for (size_t start = 0; start < width * rows; start += tile) {
                const vt::Bytes part(raster.begin() + start * es,
                                     raster.begin() + (start + tile) * es);
                const Outcome domain = check(resolved, int(dtype), part);
                ASSERT_EQ(domain.result, 0) << text << " dtype " << dtype << ": " << domain.message;
                const int family = recipe.family;
                auto *code = stream.data() + start * es;
                auto *out = rebuilt.data() + start * es;
                int e = 1, d = 1;
                if (family == 1) {
                    e = quant_linear_encode(code, part.data(), &resolved.grid, dtype, tile);
                    d = quant_linear_decode(out, code, &resolved.grid, dtype, tile);
                } else if (family == 2) {
                    e = quant_log_encode(code, part.data(), &resolved.grid, dtype, tile);
                    d = quant_log_decode(out, code, &resolved.grid, int(dtype), tile);
                } else {
                    e = quant_sqrt_encode(code, part.data(), &resolved.grid, dtype, tile);
                    d = quant_sqrt_decode(out, code, &resolved.grid, dtype, tile);
                }
                ASSERT_EQ(e, 0);
                ASSERT_EQ(d, 0);
            }
            double worst = -1;
            if (recipe.family == 3)
                ASSERT_EQ(quant_sqrt_verify(raster.data(), rebuilt.data(), &recipe.spec, nullptr,
                                            dtype, width * rows, &worst),
                          0);
            else if (recipe.family == 1)
                ASSERT_EQ(quant_linear_verify(raster.data(), rebuilt.data(), &recipe.spec, dtype,
                                              width * rows, &worst),
                          0);
            else
                ASSERT_EQ(quant_log_verify(raster.data(), rebuilt.data(), &recipe.spec, dtype,
                                           width * rows, &worst, nullptr),
                          0);
            EXPECT_LE(worst, 1.0) << text << " dtype " << dtype;
            for (size_t i = 0; i < width * rows; ++i) {
                const double x = vt::sample_at(dtype, raster, i),
                             y = vt::sample_at(dtype, rebuilt, i);
                ASSERT_LE(std::fabs(x - y), varda_lossy_guard_radius(&recipe, y))
                    << text << " dtype " << dtype << " x " << x << " y " << y;
            }
        }
    }
}
