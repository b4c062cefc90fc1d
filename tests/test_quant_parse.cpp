// Lossy records and the recipe grammar of the three families.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "varda_kernels.h"

extern "C" const size_t vt_c99_layout[];
extern "C" const size_t vt_c99_layout_count;

TEST(LossyRecords, LayoutSeenByC99) {
    const size_t expected[] = {
        32, 8, 16, 24,                 // quant_spec
        40, 8,                         // varda_lossy_recipe
        24, 8, 16,                     // quant_grid
        16, 8,                         // quant_linear_stats
        24, 8, 16, 20,                 // quant_log_stats
        24, 8, 16, 20,                 // quant_sqrt_stats
        56, 8, 32,                     // varda_lossy_resolved
        56, 8, 16, 24, 32, 40, 48,     // quant_sqrt_accum
        56, 8, 16, 20, 24, 32, 40, 48, // quant_sqrt_curve
    };
    ASSERT_EQ(vt_c99_layout_count, std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(vt_c99_layout[i], expected[i]) << "entry " << i;
}

namespace {

using Parser = int (*)(const char *, quant_spec *, char *, size_t);

// A text, and either the message it is refused with ("%s" is the text) or
// the quant_spec it gives.
struct Case {
    Parser parse;
    const char *text;
    const char *message;
    double max_error = 0, a = 0, b = 0;
    int has_ab = 0;
};

void check(const Case &c) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    quant_spec spec;
    std::memset(&spec, 0x5A, sizeof spec);
    char err[512] = "untouched";
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
        return;
    }
    char want[512];
    std::snprintf(want, sizeof want, c.message, c.text ? c.text : "");
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(err, want);
}

} // namespace

TEST(RecipeGrammar, TextsAndMessages) {
    const auto lin = quant_linear_parse, log = quant_log_parse, sq = quant_sqrt_parse;
    const char *follow = "error \"%s\": a key has to follow every comma";
    const char *positive = "error \"%s\": MAX_ERROR must be positive";
    const char *lin_one = "error \"%s\": MAX_ERROR takes one number";
    const char *lin_store =
        "error \"%s\": STORE was removed, a LINEAR stream always carries the grid index";
    const char *unknown = "error \"%s\": unknown key, expected MAX_ERROR";
    const char *log_one = "error \"%s\": MAX_ERROR takes one number ending in %%";
    const char *together = "error \"%s\": A and B travel together; give both or neither and let "
                           "the fit find them";
    const char *flat = "error \"%s\": B must be positive; with B at zero the noise does not grow "
                       "with the signal and this curve is flat";
    const std::string long63 = "LINEAR:MAX_ERROR=0.5" + std::string(60, '0');
    const std::string long64 = "LINEAR:MAX_ERROR=0.5" + std::string(61, '0');
    const Case cases[] = {
        {lin, "LINEAR:MAX_ERROR=0.5", nullptr, 0.5},
        {lin, "LINEAR:MAX_ERROR=1e-3", nullptr, 1e-3},
        {lin, "LINEAR:MAX_ERROR= 0.5", nullptr, 0.5},   // strtod skips leading blanks
        {lin, "LINEAR:MAX_ERROR=0x1p-1", nullptr, 0.5}, // and reads hexadecimal floats
        {lin, long63.c_str(), nullptr, 0.5},            // 63 characters fit, 64 do not
        {lin, long64.c_str(), lin_one},
        {lin, "LINEAR:MAX_ERROR=0", positive},
        {lin, "LINEAR:MAX_ERROR=1,MAX_ERROR=2", lin_one},
        {lin, "LINEAR:MAX_ERROR=1,", follow},
        {lin, "LINEAR:STORE=1", lin_store},
        {lin, "LINEAR:MAX_ERROR=1,STORE=1", lin_store},
        {lin, "LINEAR:MAX_ERROR=1,SPEED=2", unknown},
        {lin, "LINEAR:", unknown},
        {lin, "LINEAR:MAX_ERROR=", lin_one},
        {lin, "LINEAR:MAX_ERROR=0.5 ", lin_one}, // the number must fill the value
        {lin, "LINEAR:MAX_ERROR=inf", lin_one},
        {lin, "LINEAR:MAX_ERROR=1e999", lin_one},
        {lin, "LINEAR:MAX_ERROR=1e-999", lin_one}, // underflow is a range error too
        {lin, "linear:MAX_ERROR=1", "quant_linear takes \"LINEAR:MAX_ERROR=V\", got \"%s\""},
        {lin, nullptr, "quant_linear takes \"LINEAR:MAX_ERROR=V\", got \"%s\""},

        {log, "LOG:MAX_ERROR=1%", nullptr, 0.01},
        {log, "LOG:MAX_ERROR=1", log_one},
        {log, "LOG:MAX_ERROR=%", log_one},
        {log, "LOG:MAX_ERROR=1%,MAX_ERROR=2%", log_one},
        {log, "LOG:MAX_ERROR=100%", "error \"%s\": a MAX_ERROR of 100%% is the value itself"},
        {log, "LOG:MAX_ERROR=0%", positive},
        {log, "LOG:MAX_ERROR=0x1p-1074%", positive}, // its fraction underflows to zero
        {log, "LOG:MAX_ERROR=1%,", follow},
        {log, "LOG:STORE=1",
         "error \"%s\": STORE was removed, a LOG stream carries values for "
         "integers and grid indices for floats"},
        {log, "LOG:MAX_ERROR=1%,B=2", unknown},
        {log, "LOG:", unknown},
        {log, "LINEAR:MAX_ERROR=1", "quant_log takes \"LOG:MAX_ERROR=V%%\", got \"%s\""},

        {sq, "SQRT:MAX_ERROR=2N", nullptr, 2, 0, 0, 0},
        {sq, "SQRT:B=0.5,MAX_ERROR=2N,A=4", nullptr, 2, 4, 0.5, 1},
        {sq, "SQRT:MAX_ERROR=2N,A=0,B=1", nullptr, 2, 0, 1, 1},
        {sq, "SQRT:MAX_ERROR=2N,A=4", together},
        {sq, "SQRT:MAX_ERROR=2N,B=4", together},
        {sq, "SQRT:A=1,B=1", "error \"%s\": MAX_ERROR is required"},
        {sq, "SQRT:MAX_ERROR=2N,A=-1,B=1",
         "error \"%s\": A is a variance at zero signal and cannot be negative"},
        {sq, "SQRT:MAX_ERROR=2N,A=1,B=0", flat},
        {sq, "SQRT:MAX_ERROR=2N,A=1,A=2,B=1", "error \"%s\": A takes one number"},
        {sq, "SQRT:MAX_ERROR=2N,A=,B=1", "error \"%s\": A takes one number"},
        {sq, "SQRT:MAX_ERROR=2N,A=1,B=x", "error \"%s\": B takes one number"},
        {sq, "SQRT:MAX_ERROR=2",
         "error \"%s\": MAX_ERROR takes one number ending in N, which "
         "counts sigmas of noise"},
        {sq, "SQRT:MAX_ERROR=0N", positive},
        {sq, "SQRT:MAX_ERROR=2N,", follow},
        {sq, "SQRT:STORE=1",
         "error \"%s\": STORE was removed, a SQRT stream carries the grid "
         "index wherever it fits the element"},
        {sq, "SQRT:C=1", "error \"%s\": unknown key, expected MAX_ERROR, A or B"},
        {sq, "sqrt:MAX_ERROR=2N", "quant_sqrt takes \"SQRT:MAX_ERROR=VN\", got \"%s\""},
    };
    for (const auto &c : cases) check(c);

    // The message buffer convention: cut and terminated, or left alone.
    quant_spec spec{};
    char err[8];
    EXPECT_EQ(quant_linear_parse("LINEAR:X=1", &spec, err, sizeof err), 1);
    EXPECT_STREQ(err, "error \"");
    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(quant_log_parse("LOG:X=1", &spec, err, 0), 1);
    EXPECT_EQ(err[0], 'x');
    EXPECT_EQ(quant_sqrt_parse("SQRT:X=1", &spec, nullptr, 100), 1);
}

namespace {

// A locale whose decimal point is a comma: an installed one, or one built
// with localedef into `folder`. Empty when none can be had.
std::string comma_locale(std::filesystem::path &folder) {
    const auto take = [](const char *name) {
        return std::setlocale(LC_NUMERIC, name) != nullptr &&
               std::strcmp(std::localeconv()->decimal_point, ",") == 0;
    };
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"})
        if (take(name)) return name;
    char pattern[] = "/tmp/varda_locale_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "";
    folder = pattern;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + (folder / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return "";
    setenv("LOCPATH", folder.c_str(), 1);
    return take("de_DE.UTF-8") ? "de_DE.UTF-8" : "";
}

} // namespace

TEST(RecipeGrammar, FullStopUnderACommaLocale) {
    std::filesystem::path folder;
    const std::string name = comma_locale(folder);
    struct Restore {
        std::filesystem::path &folder;
        ~Restore() {
            std::setlocale(LC_NUMERIC, "C");
            if (folder.empty()) return;
            unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } restore{folder};
    if (name.empty()) GTEST_SKIP() << "no locale with a decimal comma is installed or buildable";

    quant_spec spec{};
    char err[256] = "";
    ASSERT_EQ(quant_linear_parse("LINEAR:MAX_ERROR=0.5", &spec, err, sizeof err), 0) << err;
    EXPECT_EQ(spec.max_error, 0.5);
    ASSERT_EQ(quant_log_parse("LOG:MAX_ERROR=2.5%", &spec, err, sizeof err), 0) << err;
    EXPECT_EQ(spec.max_error, 0.025);
    ASSERT_EQ(quant_sqrt_parse("SQRT:MAX_ERROR=1.5N,A=0.25,B=1.5e-1", &spec, err, sizeof err), 0)
        << err;
    EXPECT_EQ(spec.b, 0.15);
    const std::string long63 = "LINEAR:MAX_ERROR=0.5" + std::string(60, '0');
    EXPECT_EQ(quant_linear_parse(long63.c_str(), &spec, err, sizeof err), 0) << err;
}
