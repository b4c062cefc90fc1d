// Arbitrary text through the three recipe parsers, as given and behind each
// family word. A refusal leaves a terminated message in the buffer; an
// accepted text gives a spec inside its documented ranges, and printing
// that spec back with "%.17g" gives a text that parses to the same spec.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

using Parser = int (*)(const char *, quant_spec *, char *, size_t);

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string print_back(Parser parse, const quant_spec &spec) {
    char text[256];
    if (parse == quant_linear_parse)
        std::snprintf(text, sizeof text, "LINEAR:MAX_ERROR=%.17g", spec.max_error);
    else if (parse == quant_log_parse)
        std::snprintf(text, sizeof text, "LOG:MAX_ERROR=%.17g%%", spec.max_error * 100);
    else if (spec.has_ab)
        std::snprintf(text, sizeof text, "SQRT:MAX_ERROR=%.17gN,A=%.17g,B=%.17g", spec.max_error,
                      spec.a, spec.b);
    else
        std::snprintf(text, sizeof text, "SQRT:MAX_ERROR=%.17gN", spec.max_error);
    return text;
}

void run(Parser parse, const std::string &text) {
    quant_spec spec;
    std::memset(&spec, 0xA5, sizeof spec);
    char err[96];
    std::memset(err, 0x7F, sizeof err);
    if (parse(text.c_str(), &spec, err, sizeof err) != 0) {
        require(std::memchr(err, '\0', sizeof err) != nullptr);
        require(std::strncmp(err, "error \"", 7) == 0 || std::strncmp(err, "quant_", 6) == 0);
        return;
    }
    require(err[0] == 0x7F); // success writes no message
    require(std::isfinite(spec.max_error) && spec.max_error > 0);
    if (parse == quant_log_parse) require(spec.max_error < 1);
    if (parse == quant_sqrt_parse) {
        require(spec.has_ab == 0 || spec.has_ab == 1);
        if (spec.has_ab)
            require(std::isfinite(spec.a) && spec.a >= 0 && std::isfinite(spec.b) && spec.b > 0);
        else
            require(spec.a == 0 && spec.b == 0);
    }

    const std::string again = print_back(parse, spec);
    quant_spec reread;
    std::memset(&reread, 0x5A, sizeof reread);
    require(parse(again.c_str(), &reread, nullptr, 0) == 0);
    require(same(reread.max_error, spec.max_error));
    if (parse == quant_sqrt_parse) {
        require(reread.has_ab == spec.has_ab);
        require(same(reread.a, spec.a) && same(reread.b, spec.b));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const struct {
        Parser parse;
        const char *family;
    } parsers[] = {
        {quant_linear_parse, "LINEAR:"}, {quant_log_parse, "LOG:"}, {quant_sqrt_parse, "SQRT:"}};
    for (const auto &p : parsers) {
        run(p.parse, text);
        run(p.parse, p.family + text);
    }
    return 0;
}
