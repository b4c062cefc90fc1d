// Lossy records and the recipe grammar of the three families.
#include <gtest/gtest.h>

#include <clocale>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "varda_kernels.h"

extern "C" const size_t vt_c99_layout[];
extern "C" const size_t vt_c99_layout_count;

TEST(LossyRecords, LayoutIsFixedAndTheSameInC99) {
    // Sizes and offsets, record by record, as hosts store them.
    const size_t expected[] = {
        32, 0, 8, 16, 24,                 // quant_spec
        40, 0, 8,                         // varda_lossy_recipe
        24, 0, 8, 16,                     // quant_grid
        16, 0, 8,                         // quant_linear_stats
        24, 0, 8, 16, 20,                 // quant_log_stats
        24, 0, 8, 16, 20,                 // quant_sqrt_stats
        56, 0, 8, 32,                     // varda_lossy_resolved
        56, 0, 8, 16, 24, 32, 40, 48,     // quant_sqrt_accum
        56, 0, 8, 16, 20, 24, 32, 40, 48, // quant_sqrt_curve
    };
    const size_t cxx[] = {
        sizeof(quant_spec),
        offsetof(quant_spec, max_error),
        offsetof(quant_spec, a),
        offsetof(quant_spec, b),
        offsetof(quant_spec, has_ab),
        sizeof(varda_lossy_recipe),
        offsetof(varda_lossy_recipe, family),
        offsetof(varda_lossy_recipe, spec),
        sizeof(quant_grid),
        offsetof(quant_grid, mode),
        offsetof(quant_grid, step),
        offsetof(quant_grid, offset),
        sizeof(quant_linear_stats),
        offsetof(quant_linear_stats, max_abs),
        offsetof(quant_linear_stats, negatives),
        sizeof(quant_log_stats),
        offsetof(quant_log_stats, min_abs),
        offsetof(quant_log_stats, max_abs),
        offsetof(quant_log_stats, negatives),
        offsetof(quant_log_stats, tiny),
        sizeof(quant_sqrt_stats),
        offsetof(quant_sqrt_stats, min),
        offsetof(quant_sqrt_stats, max),
        offsetof(quant_sqrt_stats, negatives),
        offsetof(quant_sqrt_stats, nonfinite),
        sizeof(varda_lossy_resolved),
        offsetof(varda_lossy_resolved, family),
        offsetof(varda_lossy_resolved, grid),
        offsetof(varda_lossy_resolved, stats),
        sizeof(quant_sqrt_accum),
        offsetof(quant_sqrt_accum, means),
        offsetof(quant_sqrt_accum, variances),
        offsetof(quant_sqrt_accum, count),
        offsetof(quant_sqrt_accum, capacity),
        offsetof(quant_sqrt_accum, stride),
        offsetof(quant_sqrt_accum, seen),
        offsetof(quant_sqrt_accum, failed),
        sizeof(quant_sqrt_curve),
        offsetof(quant_sqrt_curve, a),
        offsetof(quant_sqrt_curve, b),
        offsetof(quant_sqrt_curve, held),
        offsetof(quant_sqrt_curve, blocks),
        offsetof(quant_sqrt_curve, bins),
        offsetof(quant_sqrt_curve, range),
        offsetof(quant_sqrt_curve, collinearity),
        offsetof(quant_sqrt_curve, residual),
    };
    constexpr size_t n = sizeof expected / sizeof expected[0];
    static_assert(sizeof cxx / sizeof cxx[0] == n);
    ASSERT_EQ(vt_c99_layout_count, n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(cxx[i], expected[i]) << "entry " << i;
        EXPECT_EQ(vt_c99_layout[i], expected[i]) << "entry " << i;
    }
}

namespace {

using Parser = int (*)(const char *, quant_spec *, char *, size_t);

struct Case {
    Parser parse;
    const char *text;
    const char *message; // null: the text parses
    double max_error = 0, a = 0, b = 0;
    int has_ab = 0;
};

std::string message_for(const char *format, const char *text) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, text);
    return buffer;
}

void check(const Case &c) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    quant_spec spec;
    std::memset(&spec, 0x5A, sizeof spec);
    char err[512];
    std::strcpy(err, "untouched");
    const int result = c.parse(c.text, &spec, err, sizeof err);
    if (c.message == nullptr) {
        ASSERT_EQ(result, 0) << err;
        EXPECT_STREQ(err, "untouched");
        EXPECT_EQ(spec.max_error, c.max_error);
        if (c.parse == quant_sqrt_parse) {
            EXPECT_EQ(spec.a, c.a);
            EXPECT_EQ(spec.b, c.b);
            EXPECT_EQ(spec.has_ab, c.has_ab);
        }
    } else {
        ASSERT_EQ(result, 1);
        EXPECT_EQ(std::string(err), message_for(c.message, c.text ? c.text : ""));
    }
}

} // namespace

TEST(RecipeGrammar, Linear) {
    const auto p = quant_linear_parse;
    const char *store = "error \"%s\": STORE was removed, a LINEAR stream always carries the grid "
                        "index";
    const char *unknown = "error \"%s\": unknown key, expected MAX_ERROR";
    const char *one = "error \"%s\": MAX_ERROR takes one number";
    const char *positive = "error \"%s\": MAX_ERROR must be positive";
    const char *family = "quant_linear takes \"LINEAR:MAX_ERROR=V\", got \"%s\"";
    const Case cases[] = {
        {p, "LINEAR:MAX_ERROR=0.5", nullptr, 0.5},
        {p, "LINEAR:MAX_ERROR=1e-3", nullptr, 1e-3},
        {p, "LINEAR:MAX_ERROR= 0.5", nullptr, 0.5},   // strtod skips leading blanks
        {p, "LINEAR:MAX_ERROR=0x1p-1", nullptr, 0.5}, // and reads hexadecimal floats
        {p, "LINEAR:MAX_ERROR=0", positive},
        {p, "LINEAR:MAX_ERROR=-2", positive},
        {p, "LINEAR:MAX_ERROR=1,MAX_ERROR=2", one},
        {p, "LINEAR:MAX_ERROR=1,", "error \"%s\": a key has to follow every comma"},
        {p, "LINEAR:MAX_ERROR=1,STORE=1", store},
        {p, "LINEAR:MAX_ERROR=1,SPEED=2", unknown},
        {p, "LINEAR:STORE=1", store},
        {p, "LINEAR:STORE", unknown},
        {p, "LINEAR:", unknown},
        {p, "LINEAR:max_error=1", unknown},
        {p, "LINEAR:MAX_ERROR=", one},
        {p, "LINEAR:MAX_ERROR=0.5 ", one}, // the number must fill the value
        {p, "LINEAR:MAX_ERROR=inf", one},
        {p, "LINEAR:MAX_ERROR=nan", one},
        {p, "LINEAR:MAX_ERROR=1e999", one},
        {p, "LINEAR:MAX_ERROR=1e-999", one}, // underflow is a range error too
        {p, "LINEAR:MAX_ERROR=1.5.2", one},
        {p, "LINEAR:MAX_ERROR=1,,", unknown},
        {p, "LOG:MAX_ERROR=1%", family},
        {p, "linear:MAX_ERROR=1", family},
        {p, "", family},
        {p, nullptr, family},
    };
    for (const auto &c : cases) check(c);
}

TEST(RecipeGrammar, Log) {
    const auto p = quant_log_parse;
    const char *one = "error \"%s\": MAX_ERROR takes one number ending in %%";
    const char *unknown = "error \"%s\": unknown key, expected MAX_ERROR";
    const char *positive = "error \"%s\": MAX_ERROR must be positive";
    const Case cases[] = {
        {p, "LOG:MAX_ERROR=1%", nullptr, 0.01},
        {p, "LOG:MAX_ERROR=99.5%", nullptr, 0.995},
        {p, "LOG:MAX_ERROR=1", one},
        {p, "LOG:MAX_ERROR=%", one},
        {p, "LOG:MAX_ERROR=", one},
        {p, "LOG:MAX_ERROR=1%%", one},
        {p, "LOG:MAX_ERROR=1%,MAX_ERROR=2%", one},
        {p, "LOG:MAX_ERROR=1%,MAX_ERROR=x", one},
        {p, "LOG:MAX_ERROR=100%", "error \"%s\": a MAX_ERROR of 100%% is the value itself"},
        {p, "LOG:MAX_ERROR=250%", "error \"%s\": a MAX_ERROR of 250%% is the value itself"},
        {p, "LOG:MAX_ERROR=0%", positive},
        {p, "LOG:MAX_ERROR=0x1p-1074%", positive}, // its fraction underflows to zero
        {p, "LOG:MAX_ERROR=1%,", "error \"%s\": a key has to follow every comma"},
        {p, "LOG:STORE=1",
         "error \"%s\": STORE was removed, a LOG stream carries values for "
         "integers and grid indices for floats"},
        {p, "LOG:", unknown},
        {p, "LOG:MAX_ERROR=1%,B=2", unknown},
        {p, "LOG:MAX_ERROR=1%,,MAX_ERROR=2%", unknown},
        {p, "LINEAR:MAX_ERROR=1", "quant_log takes \"LOG:MAX_ERROR=V%%\", got \"%s\""},
        {p, nullptr, "quant_log takes \"LOG:MAX_ERROR=V%%\", got \"%s\""},
    };
    for (const auto &c : cases) check(c);
}

TEST(RecipeGrammar, Sqrt) {
    const auto p = quant_sqrt_parse;
    const char *one = "error \"%s\": MAX_ERROR takes one number ending in N, which counts sigmas "
                      "of noise";
    const char *unknown = "error \"%s\": unknown key, expected MAX_ERROR, A or B";
    const char *together = "error \"%s\": A and B travel together; give both or neither and let "
                           "the fit find them";
    const char *flat = "error \"%s\": B must be positive; with B at zero the noise does not grow "
                       "with the signal and this curve is flat";
    const Case cases[] = {
        {p, "SQRT:MAX_ERROR=2N", nullptr, 2, 0, 0, 0},
        {p, "SQRT:B=0.5,MAX_ERROR=2N,A=4", nullptr, 2, 4, 0.5, 1},
        {p, "SQRT:MAX_ERROR=2N,A=0,B=1", nullptr, 2, 0, 1, 1},
        {p, "SQRT:MAX_ERROR=2N,A=4", together},
        {p, "SQRT:MAX_ERROR=2N,B=4", together},
        {p, "SQRT:A=1,B=1", "error \"%s\": MAX_ERROR is required"},
        {p, "SQRT:MAX_ERROR=2N,A=-1,B=1",
         "error \"%s\": A is a variance at zero signal and cannot be negative"},
        {p, "SQRT:MAX_ERROR=2N,A=1,B=0", flat},
        {p, "SQRT:MAX_ERROR=2N,A=1,B=-3", flat},
        {p, "SQRT:MAX_ERROR=2N,A=1,A=2,B=1", "error \"%s\": A takes one number"},
        {p, "SQRT:MAX_ERROR=2N,A=,B=1", "error \"%s\": A takes one number"},
        {p, "SQRT:MAX_ERROR=2N,A=1,B=x", "error \"%s\": B takes one number"},
        {p, "SQRT:MAX_ERROR=2N,B=1,B=1,A=1", "error \"%s\": B takes one number"},
        {p, "SQRT:MAX_ERROR=2", one},
        {p, "SQRT:MAX_ERROR=N", one},
        {p, "SQRT:MAX_ERROR=2N,MAX_ERROR=3N", one},
        {p, "SQRT:MAX_ERROR=0N", "error \"%s\": MAX_ERROR must be positive"},
        {p, "SQRT:MAX_ERROR=2N,", "error \"%s\": a key has to follow every comma"},
        {p, "SQRT:STORE=1",
         "error \"%s\": STORE was removed, a SQRT stream carries the grid "
         "index wherever it fits the element"},
        {p, "SQRT:", unknown},
        {p, "SQRT:C=1", unknown},
        {p, "SQRT:A1", unknown},
        {p, "sqrt:MAX_ERROR=2N", "quant_sqrt takes \"SQRT:MAX_ERROR=VN\", got \"%s\""},
    };
    for (const auto &c : cases) check(c);
}

TEST(RecipeGrammar, NumbersUpToSixtyThreeCharacters) {
    // Zeros after the point keep the value; only the length changes.
    for (size_t length : {62, 63, 64, 100}) {
        const std::string number = "0." + std::string(length - 3, '0') + "5";
        ASSERT_EQ(number.size(), length);
        const std::string text = "LINEAR:MAX_ERROR=" + number;
        quant_spec spec{};
        char err[256] = "";
        const int result = quant_linear_parse(text.c_str(), &spec, err, sizeof err);
        EXPECT_EQ(result, length <= 63 ? 0 : 1) << length;
        if (result == 1) {
            EXPECT_EQ(std::string(err),
                      message_for("error \"%s\": MAX_ERROR takes one number", text.c_str()));
        }
    }
}

TEST(RecipeGrammar, MessagesFollowTheBufferConvention) {
    quant_spec spec{};
    char err[8];
    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(quant_linear_parse("LINEAR:X=1", &spec, err, sizeof err), 1);
    EXPECT_STREQ(err, "error \"");
    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(quant_log_parse("LOG:X=1", &spec, err, 0), 1);
    EXPECT_EQ(err[0], 'x');
    EXPECT_EQ(quant_sqrt_parse("SQRT:X=1", &spec, nullptr, 100), 1);
}

namespace {

// A locale whose decimal point is a comma: an installed one, or one built
// with localedef into a temporary folder. Empty when none can be had.
std::string comma_locale(std::filesystem::path &built) {
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                             "nl_NL.UTF-8", "it_IT.UTF-8", "es_ES.UTF-8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr &&
            std::strcmp(std::localeconv()->decimal_point, ",") == 0)
            return name;
    }
    std::setlocale(LC_NUMERIC, "C");
    char pattern[] = "/tmp/varda_locale_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "";
    built = pattern;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + (built / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return "";
    setenv("LOCPATH", built.c_str(), 1);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr ||
        std::strcmp(std::localeconv()->decimal_point, ",") != 0)
        return "";
    return "de_DE.UTF-8";
}

} // namespace

TEST(RecipeGrammar, FullStopUnderACommaLocale) {
    std::filesystem::path built;
    const std::string name = comma_locale(built);
    struct Restore {
        std::filesystem::path &folder;
        ~Restore() {
            std::setlocale(LC_NUMERIC, "C");
            if (!folder.empty()) {
                unsetenv("LOCPATH");
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
            }
        }
    } restore{built};
    if (name.empty()) GTEST_SKIP() << "no locale with a decimal comma is installed or buildable";

    quant_spec spec{};
    char err[256] = "";
    ASSERT_EQ(quant_linear_parse("LINEAR:MAX_ERROR=0.5", &spec, err, sizeof err), 0) << err;
    EXPECT_EQ(spec.max_error, 0.5);
    ASSERT_EQ(quant_log_parse("LOG:MAX_ERROR=2.5%", &spec, err, sizeof err), 0) << err;
    EXPECT_EQ(spec.max_error, 0.025);
    ASSERT_EQ(quant_sqrt_parse("SQRT:MAX_ERROR=1.5N,A=0.25,B=1.5e-1", &spec, err, sizeof err), 0)
        << err;
    EXPECT_EQ(spec.max_error, 1.5);
    EXPECT_EQ(spec.a, 0.25);
    EXPECT_EQ(spec.b, 0.15);
    // Sixty-three characters still fit once each point becomes the locale's.
    const std::string long_number = "0." + std::string(60, '0') + "5";
    const std::string text = "LINEAR:MAX_ERROR=" + long_number;
    EXPECT_EQ(quant_linear_parse(text.c_str(), &spec, err, sizeof err), 0) << err;
}
