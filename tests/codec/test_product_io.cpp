// Products as text: save and load give back the same record and the same
// blobs, the text is the documented one, and malformed text is refused by
// field with the kind of failure callers test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "varda_codec.h"
#include "wrap/failing_malloc.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t width = 24, count = 24 * 16;

// A smooth raster in rows of `width` with some noise, as bytes of `dtype`
// (1 u16, 5 i16, 9 f32, 10 f64).
Bytes raster(int dtype, size_t samples = count) {
    Bytes out;
    uint32_t state = 12345;
    for (size_t i = 0; i < samples; ++i) {
        state = state * 1103515245u + 12345u;
        const double v = 400 + 3.0 * double(i % width) + double(i / width) + double(state >> 28);
        unsigned char b[8];
        size_t n = 2;
        if (dtype == 9) {
            const float f = float(v * 0.37);
            std::memcpy(b, &f, n = 4);
        } else if (dtype == 10) {
            const double d = v * 0.37;
            std::memcpy(b, &d, n = 8);
        } else {
            const auto s = static_cast<uint16_t>(v);
            std::memcpy(b, &s, 2);
        }
        out.insert(out.end(), b, b + n);
    }
    return out;
}

struct Case {
    const char *name;
    int dtype, chain, nodata;
    uint64_t sentinel;
    const char *recipe;
    size_t rows = count / width;
};

const Case cases[] = {
    {"lossless u16", 1, VARDA_CHAIN_AUTO, VARDA_NODATA_NONE, 0, nullptr},
    {"u16 sentinel", 1, VARDA_CHAIN_PLANAR, VARDA_NODATA_VALUE, 0xfff0, nullptr},
    {"f64 nan", 10, VARDA_CHAIN_SHUFFLE_ZSTD, VARDA_NODATA_NAN, 0, nullptr},
    {"linear", 1, VARDA_CHAIN_AUTO, VARDA_NODATA_NONE, 0, "LINEAR:MAX_ERROR=2"},
    {"log nan", 9, VARDA_CHAIN_AUTO, VARDA_NODATA_NAN, 0, "LOG:MAX_ERROR=1%"},
    {"sqrt given", 5, VARDA_CHAIN_MED_ZIGZAG, VARDA_NODATA_VALUE, 0x8000,
     "SQRT:MAX_ERROR=1N,A=4,B=0.5"},
    {"sqrt fitted", 9, VARDA_CHAIN_AUTO, VARDA_NODATA_NONE, 0, "SQRT:MAX_ERROR=0.5N", 4000},
};

varda_codec_product prepared(const Case &c, const Bytes &samples) {
    varda_codec_product p;
    varda_codec_product_init(&p, c.dtype);
    p.chain = c.chain;
    p.nodata = c.nodata;
    p.nodata_value = c.sentinel;
    char err[256] = "";
    EXPECT_EQ(
        varda_codec_prepare(&p, c.recipe, samples.data(), width, width * c.rows, err, sizeof err),
        0)
        << c.name << ": " << err;
    return p;
}

std::string save(const varda_codec_product &p) {
    char text[VARDA_CODEC_PRODUCT_TEXT_MAX], err[256] = "";
    size_t len = 0;
    EXPECT_EQ(varda_codec_product_save(&p, text, sizeof text, &len, err, sizeof err), 0) << err;
    EXPECT_EQ(len, std::strlen(text));
    return std::string(text, len);
}

// The load's kind of failure, its message in `why`.
int load(const std::string &text, varda_codec_product &p, std::string *why = nullptr) {
    char err[256] = "";
    const int rc = varda_codec_product_load(&p, text.data(), text.size(), err, sizeof err);
    if (why) *why = err;
    return rc;
}

// The raster's first rows as one tile.
Bytes encode(const varda_codec_product &p, const Bytes &samples) {
    Bytes blob(varda_codec_bound(&p, width, count / width));
    uint64_t len = 0;
    char err[256] = "";
    EXPECT_EQ(varda_codec_encode(&p, samples.data(), width, count / width, blob.data(), blob.size(),
                                 &len, err, sizeof err),
              0)
        << err;
    blob.resize(len);
    return blob;
}

std::string replace(std::string text, const std::string &from, const std::string &to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from << " in " << text;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The text with one field's value replaced.
std::string set_field(std::string text, const std::string &key, const std::string &value) {
    const size_t at = text.find("\"" + key + "\": ");
    EXPECT_NE(at, std::string::npos) << key << " in " << text;
    if (at == std::string::npos) return text;
    const size_t start = at + key.size() + 4, end = text.find_first_of(",}", start);
    return text.replace(start, end - start, value);
}

} // namespace

TEST(ProductText, SavedAndLoadedIsTheSameProduct) {
    for (const Case &c : cases) {
        const Bytes samples = raster(c.dtype, width * c.rows);
        const varda_codec_product p = prepared(c, samples);
        const std::string text = save(p);
        varda_codec_product back;
        std::memset(&back, 0xa5, sizeof back);
        std::string why;
        ASSERT_EQ(load(text, back, &why), 0) << c.name << ": " << why << "\n" << text;
        EXPECT_EQ(std::memcmp(&back, &p, sizeof p), 0) << c.name << "\n" << text;
        EXPECT_EQ(save(back), text) << c.name;
        EXPECT_EQ(encode(back, samples), encode(p, samples)) << c.name;
    }
}

// The form other hosts write and read: the fields in their order, doubles
// in their shortest exact text.
TEST(ProductText, IsTheDocumentedForm) {
    const Bytes samples = raster(1);
    EXPECT_EQ(save(prepared(cases[1], samples)),
              "{\"varda_product\": 1, \"dtype\": \"uint16\", \"chain\": \"planar\", \"effort\": "
              "1, \"zstd_level\": 3, \"nodata\": \"value\", \"nodata_value\": "
              "\"0x000000000000fff0\", \"lossy\": \"none\"}");
    const std::string linear = save(prepared(cases[3], samples));
    EXPECT_NE(linear.find("\"lossy\": \"LINEAR\", \"max_error\": 2, \"grid_mode\": 1, "
                          "\"grid_step\": 4, \"grid_offset\": 0, \"max_abs\": 494, "
                          "\"negatives\": 0}"),
              std::string::npos)
        << linear;
}

// What a JSON writer may do to the text on its way through a store: other
// order, other spacing, integers written as such, exponents.
TEST(ProductText, LoadsAnyJsonSpellingOfTheSameFields) {
    const std::string text =
        "\n{ \"zstd_level\" :3,\t\"lossy\":\"LINEAR\",\r\n \"grid_step\": 4.0, "
        "\"negatives\": 0, \"dtype\": \"uint16\", \"max_abs\": 4.94e2, "
        "\"chain\": \"auto\", \"varda_product\": 1, \"grid_mode\": 1, "
        "\"effort\": 1, \"nodata\": \"none\", \"max_error\": 2.0, "
        "\"grid_offset\": -0.0 }\n";
    varda_codec_product p, expected = prepared(cases[3], raster(1));
    std::string why;
    ASSERT_EQ(load(text, p, &why), 0) << why;
    expected.resolved.grid.offset = -0.0;
    EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
}

TEST(ProductText, RefusesMalformedTextByField) {
    const Bytes samples = raster(5);
    const varda_codec_product sqrt = prepared(cases[5], samples);
    const std::string good = save(sqrt);
    struct Bad {
        std::string text, message;
        int kind;
    };
    const Bad bads[] = {
        {"", "not a JSON object", VARDA_CODEC_CORRUPT},
        {"[1]", "not a JSON object", VARDA_CODEC_CORRUPT},
        {good + " x", "goes on after", VARDA_CODEC_CORRUPT},
        {replace(good, "}", ", \"effort\": 1}"), "'effort' is repeated", VARDA_CODEC_CORRUPT},
        {replace(good, "}", ", \"colour\": \"red\"}"), "'colour' has no place",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"nonfinite\": 0", "\"tiny\": 0"), "'nonfinite' is missing",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"varda_product\": 1", "\"varda_product\": 2"), "version 2",
         VARDA_CODEC_REFUSED},
        {replace(good, "\"effort\": 1", "\"effort\": 3"), "'effort' is not an integer from 0 to 2",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"effort\": 1", "\"effort\": 1.0"), "'effort' is not an integer",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"effort\": 1", "\"effort\": \"1\""), "'effort' is not an integer",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"effort\": 1", "\"effort\": 01"), "'effort' is neither",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"effort\": 1", "\"effort\": true"), "'effort' is neither",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"dtype\": \"int16\"", "\"dtype\": \"int12\""), "'dtype' is not one of",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"chain\": \"med_zigzag\"", "\"chain\": \"floatquant\""), "does not take",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"chain\": \"med_zigzag\"", "\"chain\": \"med\\u005fzigzag\""),
         "no escapes", VARDA_CODEC_CORRUPT},
        {replace(good, "0x0000000000008000", "0x10000"), "wider than a int16", VARDA_CODEC_CORRUPT},
        {replace(good, "0x0000000000008000", "8000"), "'nodata_value' is not a bit pattern",
         VARDA_CODEC_CORRUPT},
        {replace(good, ", \"nodata_value\": \"0x0000000000008000\"", ""),
         "'nodata_value' is missing", VARDA_CODEC_CORRUPT},
        {replace(good, "\"noise_b\"", "\"noise_c\""), "'noise_b' is missing", VARDA_CODEC_CORRUPT},
        {replace(good, "\"max_error\": 1", "\"max_error\": -1"), "recipe is not one",
         VARDA_CODEC_CORRUPT},
        {set_field(good, "grid_step", "\"inf\""), "'grid_step' is not finite", VARDA_CODEC_CORRUPT},
        {set_field(good, "grid_step", "1e999"), "'grid_step' is not a number", VARDA_CODEC_CORRUPT},
        {set_field(good, "grid_step", "0"), "'grid_step' is 0, the recipe's bound gives",
         VARDA_CODEC_CORRUPT},
        {set_field(good, "grid_mode", "256"), "'grid_mode' is not an integer from 0 to 255",
         VARDA_CODEC_CORRUPT},
        {set_field(good, "max", "\"nan\""), "'max' is not finite", VARDA_CODEC_CORRUPT},
        {set_field(good, "min", "1e9"), "'min' is above field 'max'", VARDA_CODEC_CORRUPT},
        {set_field(good, "grid_offset", "9"), "'grid_offset' is 9, the recipe gives 8",
         VARDA_CODEC_CORRUPT},
        {replace(good, "\"negatives\": 0", "\"negatives\": 2"), "'negatives' is not an integer",
         VARDA_CODEC_CORRUPT},
    };
    for (const Bad &bad : bads) {
        varda_codec_product p = sqrt;
        std::string why;
        EXPECT_EQ(load(bad.text, p, &why), bad.kind) << bad.text << "\n" << why;
        if (bad.kind == 0) continue;
        EXPECT_NE(why.find(bad.message), std::string::npos) << bad.text << "\n" << why;
        EXPECT_EQ(std::memcmp(&p, &sqrt, sizeof p), 0) << "changed on failure: " << bad.text;
    }
    // Every cut of a whole text is refused.
    for (size_t keep = 0; keep < good.size(); ++keep) {
        varda_codec_product p;
        EXPECT_NE(load(good.substr(0, keep), p), 0) << keep;
    }
    EXPECT_EQ(varda_codec_product_load(nullptr, good.data(), good.size(), nullptr, 0),
              VARDA_CODEC_REFUSED);
}

// A grid or a domain the recipe would not have resolved codes past the
// stated bound, or switches the tiles' range check off.
TEST(ProductText, RefusesAGridThatBreaksItsBound) {
    // (text, the field's change, what the refusal says)
    std::vector<std::pair<std::string, std::string>> bads;
    for (int dtype : {1, 9}) {
        const Case linear{"linear",          dtype, VARDA_CHAIN_AUTO,
                          VARDA_NODATA_NONE, 0,     "LINEAR:MAX_ERROR=0.5"};
        const std::string good = save(prepared(linear, raster(dtype)));
        bads.insert(bads.end(),
                    {{set_field(good, "grid_step", "100"), "'grid_step' is 100"},
                     {set_field(good, "grid_step", "1e308"), "'grid_step' is 1e+308"},
                     {set_field(good, "grid_mode", "0"), "'grid_mode' is 0, the recipe gives 1"},
                     {set_field(good, "max_abs", "\"nan\""), "'max_abs' is not a finite magnitude"},
                     {set_field(good, "max_abs", "\"inf\""), "'max_abs' is not a finite magnitude"},
                     {set_field(good, "max_abs", "-1"), "'max_abs' is not a finite magnitude"}});
    }
    const std::string log = save(prepared(cases[4], raster(9)));
    bads.insert(bads.end(),
                {{set_field(log, "min_abs", "\"nan\""), "'min_abs' is not a finite magnitude"},
                 {set_field(log, "min_abs", "1e30"), "'min_abs' is above field 'max_abs'"},
                 {set_field(log, "grid_step", "0.5"), "'grid_step' is 0.5"}});
    for (const auto &[text, message] : bads) {
        varda_codec_product out;
        std::string why;
        EXPECT_EQ(load(text, out, &why), VARDA_CODEC_CORRUPT) << text;
        EXPECT_NE(why.find(message), std::string::npos) << text << "\n" << why;
    }
}

TEST(ProductText, SaveRefusesWhatItCannotWrite) {
    varda_codec_product p;
    varda_codec_product_init(&p, 9);
    char text[VARDA_CODEC_PRODUCT_TEXT_MAX], err[200];
    size_t len = 0;
    ASSERT_EQ(varda_codec_product_save(&p, text, sizeof text, &len, err, sizeof err), 0);
    const size_t whole = len;
    EXPECT_EQ(varda_codec_product_save(&p, text, whole, &len, err, sizeof err),
              VARDA_CODEC_REFUSED);
    EXPECT_EQ(len, whole);
    EXPECT_NE(std::string(err).find("needs"), std::string::npos) << err;
    p.recipe.family = 1; // lossy, never prepared
    EXPECT_EQ(varda_codec_product_save(&p, text, sizeof text, &len, err, sizeof err),
              VARDA_CODEC_REFUSED);
    EXPECT_NE(std::string(err).find("prepare"), std::string::npos) << err;
}

// The canonical recipe text reads back to the recipe, a fitted noise curve
// included.
TEST(ProductText, RecipeTextParsesBackToTheRecipe) {
    for (const Case &c : cases) {
        const varda_codec_product p = prepared(c, raster(c.dtype, width * c.rows));
        char text[200];
        ASSERT_EQ(varda_codec_recipe_text(&p.recipe, text, sizeof text, nullptr, 0), 0);
        if (!c.recipe) {
            EXPECT_STREQ(text, "");
            continue;
        }
        varda_lossy_recipe again;
        ASSERT_EQ(varda_lossy_parse(text, &again, nullptr, 0), 0) << text;
        EXPECT_EQ(again.family, p.recipe.family) << text;
        EXPECT_EQ(again.spec.has_ab, p.recipe.spec.has_ab) << text;
        EXPECT_EQ(again.spec.a, p.recipe.spec.a) << text;
        EXPECT_EQ(again.spec.b, p.recipe.spec.b) << text;
        EXPECT_NEAR(again.spec.max_error, p.recipe.spec.max_error,
                    4 * std::ldexp(p.recipe.spec.max_error, -52))
            << text;
    }
}

// A fixed chain that does not apply to the samples is told apart from a
// refused call: a caller may try another chain.
TEST(ProductText, ChainThatDoesNotApplyIsItsOwnKind) {
    varda_codec_product p;
    varda_codec_product_init(&p, 1);
    p.chain = VARDA_CHAIN_INTMULT;
    Bytes samples = raster(1);
    samples[0] = 1; // no common multiplier of 2 or more
    Bytes blob(varda_codec_bound(&p, width, count / width));
    uint64_t len = 0;
    EXPECT_EQ(varda_codec_encode(&p, samples.data(), width, count / width, blob.data(), blob.size(),
                                 &len, nullptr, 0),
              VARDA_CODEC_NOT_APPLICABLE);
    p.chain = 99;
    EXPECT_EQ(varda_codec_product_check(&p, nullptr, 0), VARDA_CODEC_REFUSED);
}

// Every allocation of a load failing in turn: the load either gives the
// whole product or fails as out of memory with the record untouched.
TEST(ProductText, LoadRunningOutOfMemoryIsNoCorruptText) {
    const Case &c = cases[5];
    const varda_codec_product p = prepared(c, raster(c.dtype, width * c.rows));
    const std::string text = save(p);
    size_t calls;
    {
        varda_codec_product q;
        const vt::MallocWatch count(false);
        load(text, q);
        calls = count.calls();
    }
    ASSERT_GT(calls, 0u);
    for (size_t allowed = 0; allowed < calls; ++allowed) {
        varda_codec_product q;
        std::memset(&q, 0x33, sizeof q);
        const varda_codec_product untouched = q;
        int rc;
        std::string why;
        {
            const vt::MallocWatch fail(true, allowed);
            rc = load(text, q, &why);
        }
        if (rc == 0) {
            EXPECT_EQ(std::memcmp(&q, &p, sizeof q), 0) << allowed;
            continue;
        }
        EXPECT_EQ(rc, VARDA_CODEC_NO_MEMORY) << allowed << ": " << why;
        EXPECT_EQ(std::memcmp(&q, &untouched, sizeof q), 0) << allowed;
    }
}
