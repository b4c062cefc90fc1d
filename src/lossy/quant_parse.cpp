// Recipe texts of the three quantiser families. One grammar: the family
// word and a colon, then KEY=VALUE items separated by single commas, matched
// byte for byte. One number reader: recipe numbers always use the full
// stop, whatever the process locale says.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "frame/message.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// A value runs from its first byte to the next comma or the end.
struct Value {
    const char *begin;
    size_t size;
};

Value value_at(const char *begin) { return {begin, std::strcspn(begin, ",")}; }

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// strtod reads the locale's decimal point, so every full stop is replaced by
// it in a bounded copy first. The number must fill the copy, be in range
// and be finite.
bool read_number(const char *text, size_t size, double *out) {
    if (size == 0) return false;
    const lconv *conv = std::localeconv();
    const char *point = conv != nullptr ? conv->decimal_point : nullptr;
    if (point == nullptr || *point == '\0') point = ".";
    const size_t point_size = std::strlen(point);
    constexpr size_t buffer_size = 64;
    if (size >= buffer_size / point_size) return false;

    char copy[buffer_size];
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '.') {
            std::memcpy(copy + used, point, point_size);
            used += point_size;
        } else {
            copy[used++] = text[i];
        }
    }
    copy[used] = '\0';

    errno = 0;
    char *end = nullptr;
    const double number = std::strtod(copy, &end);
    if (end != copy + used || errno == ERANGE || !std::isfinite(number)) return false;
    *out = number;
    return true;
}

// Ends one item: the end of the text, or a comma with another key after it.
enum class Next { end, key, dangling_comma };

Next after_value(const char *&cursor) {
    if (*cursor == '\0') return Next::end;
    ++cursor; // the comma
    return *cursor == '\0' ? Next::dangling_comma : Next::key;
}

} // namespace

extern "C" VARDA_API int quant_linear_parse(const char *text, quant_spec *spec, char *err,
                                            size_t err_size) {
    spec->max_error = 0;
    if (text == nullptr) text = "";
    if (!starts_with(text, "LINEAR:"))
        return fail(err, err_size, "quant_linear takes \"LINEAR:MAX_ERROR=V\", got \"%s\"", text);
    const char *cursor = text + std::strlen("LINEAR:");
    const char *store_removed =
        "error \"%s\": STORE was removed, a LINEAR stream always carries the grid index";

    if (!starts_with(cursor, "MAX_ERROR=")) {
        if (starts_with(cursor, "STORE=")) return fail(err, err_size, store_removed, text);
        return fail(err, err_size, "error \"%s\": unknown key, expected MAX_ERROR", text);
    }
    const Value value = value_at(cursor + std::strlen("MAX_ERROR="));
    double number = 0;
    if (!read_number(value.begin, value.size, &number))
        return fail(err, err_size, "error \"%s\": MAX_ERROR takes one number", text);
    spec->max_error = number;
    if (!(number > 0)) return fail(err, err_size, "error \"%s\": MAX_ERROR must be positive", text);

    // The grammar has one key; whatever follows a comma is a mistake.
    cursor = value.begin + value.size;
    switch (after_value(cursor)) {
    case Next::end: return 0;
    case Next::dangling_comma:
        return fail(err, err_size, "error \"%s\": a key has to follow every comma", text);
    case Next::key: break;
    }
    if (starts_with(cursor, "MAX_ERROR="))
        return fail(err, err_size, "error \"%s\": MAX_ERROR takes one number", text);
    if (starts_with(cursor, "STORE=")) return fail(err, err_size, store_removed, text);
    return fail(err, err_size, "error \"%s\": unknown key, expected MAX_ERROR", text);
}

extern "C" VARDA_API int quant_log_parse(const char *text, quant_spec *spec, char *err,
                                         size_t err_size) {
    spec->max_error = 0;
    if (text == nullptr) text = "";
    if (!starts_with(text, "LOG:"))
        return fail(err, err_size, "quant_log takes \"LOG:MAX_ERROR=V%%\", got \"%s\"", text);
    const char *cursor = text + std::strlen("LOG:");
    bool have_max_error = false;

    for (;;) {
        if (starts_with(cursor, "MAX_ERROR=")) {
            const Value value = value_at(cursor + std::strlen("MAX_ERROR="));
            double number = 0;
            if (have_max_error || value.size == 0 || value.begin[value.size - 1] != '%' ||
                !read_number(value.begin, value.size - 1, &number))
                return fail(err, err_size, "error \"%s\": MAX_ERROR takes one number ending in %%",
                            text);
            if (!(number > 0))
                return fail(err, err_size, "error \"%s\": MAX_ERROR must be positive", text);
            if (number >= 100)
                return fail(err, err_size, "error \"%s\": a MAX_ERROR of %g%% is the value itself",
                            text, number);
            spec->max_error = number / 100;
            // A percentage so small that its fraction underflows would leave
            // a bound of zero behind a successful parse.
            if (!(spec->max_error > 0))
                return fail(err, err_size, "error \"%s\": MAX_ERROR must be positive", text);
            have_max_error = true;
            cursor = value.begin + value.size;
        } else if (starts_with(cursor, "STORE=")) {
            return fail(err, err_size,
                        "error \"%s\": STORE was removed, a LOG stream carries values for "
                        "integers and grid indices for floats",
                        text);
        } else {
            return fail(err, err_size, "error \"%s\": unknown key, expected MAX_ERROR", text);
        }
        switch (after_value(cursor)) {
        case Next::end: return 0;
        case Next::dangling_comma:
            return fail(err, err_size, "error \"%s\": a key has to follow every comma", text);
        case Next::key: break;
        }
    }
}

extern "C" VARDA_API int quant_sqrt_parse(const char *text, quant_spec *spec, char *err,
                                          size_t err_size) {
    *spec = quant_spec{};
    if (text == nullptr) text = "";
    if (!starts_with(text, "SQRT:"))
        return fail(err, err_size, "quant_sqrt takes \"SQRT:MAX_ERROR=VN\", got \"%s\"", text);
    const char *cursor = text + std::strlen("SQRT:");
    bool have_max_error = false, have_a = false, have_b = false;

    for (;;) {
        if (starts_with(cursor, "MAX_ERROR=")) {
            const Value value = value_at(cursor + std::strlen("MAX_ERROR="));
            double number = 0;
            if (have_max_error || value.size == 0 || value.begin[value.size - 1] != 'N' ||
                !read_number(value.begin, value.size - 1, &number))
                return fail(err, err_size,
                            "error \"%s\": MAX_ERROR takes one number ending in N, which counts "
                            "sigmas of noise",
                            text);
            if (!(number > 0))
                return fail(err, err_size, "error \"%s\": MAX_ERROR must be positive", text);
            spec->max_error = number;
            have_max_error = true;
            cursor = value.begin + value.size;
        } else if ((cursor[0] == 'A' || cursor[0] == 'B') && cursor[1] == '=') {
            const bool is_a = cursor[0] == 'A';
            bool &seen = is_a ? have_a : have_b;
            const Value value = value_at(cursor + 2);
            double number = 0;
            if (seen || !read_number(value.begin, value.size, &number)) {
                if (is_a) return fail(err, err_size, "error \"%s\": A takes one number", text);
                return fail(err, err_size, "error \"%s\": B takes one number", text);
            }
            if (is_a) {
                spec->a = number;
                if (number < 0)
                    return fail(err, err_size,
                                "error \"%s\": A is a variance at zero signal and cannot be "
                                "negative",
                                text);
            } else {
                spec->b = number;
                if (!(number > 0))
                    return fail(err, err_size,
                                "error \"%s\": B must be positive; with B at zero the noise does "
                                "not grow with the signal and this curve is flat",
                                text);
            }
            seen = true;
            cursor = value.begin + value.size;
        } else if (starts_with(cursor, "STORE=")) {
            return fail(err, err_size,
                        "error \"%s\": STORE was removed, a SQRT stream carries the grid index "
                        "wherever it fits the element",
                        text);
        } else {
            return fail(err, err_size, "error \"%s\": unknown key, expected MAX_ERROR, A or B",
                        text);
        }
        const Next next = after_value(cursor);
        if (next == Next::dangling_comma)
            return fail(err, err_size, "error \"%s\": a key has to follow every comma", text);
        if (next == Next::end) break;
    }

    if (!have_max_error) return fail(err, err_size, "error \"%s\": MAX_ERROR is required", text);
    if (have_a != have_b)
        return fail(err, err_size,
                    "error \"%s\": A and B travel together; give both or neither and let the fit "
                    "find them",
                    text);
    spec->has_ab = have_a ? 1 : 0;
    return 0;
}
