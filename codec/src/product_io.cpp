// A product as text and back: one flat JSON object whose values are
// strings and numbers only, written in a fixed order and read strictly
// (unknown, repeated, missing and misplaced fields are refused by name).
// The reader is this small on purpose: the record is flat, and the codec
// takes no JSON library for it.
#include "varda_codec.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "blob.h"
#include "dtypes.h"
#include "entry.h"

using namespace varda::codec;

namespace {

// More fields than any product has: a text with more is refused before
// the lookups, which scan the list.
constexpr size_t max_fields = 32;
constexpr const char *family_names[4] = {"none", "LINEAR", "LOG", "SQRT"};
constexpr const char *nodata_names[3] = {"none", "value", "nan"};

int find_name(std::string_view name, const char *const *names, int count) {
    for (int i = 0; i < count; ++i)
        if (name == names[i]) return i;
    return -1;
}

// ---- Writing --------------------------------------------------------------

// The shortest text that reads back to the same double.
std::string plain(double x) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, x).ptr);
}

// A double as a JSON value: the non-finite ones, which JSON has no number
// for, as strings.
std::string real_text(double x) {
    if (std::isnan(x)) return "\"nan\"";
    if (std::isinf(x)) return x > 0 ? "\"inf\"" : "\"-inf\"";
    return plain(x);
}

class ObjectWriter {
  public:
    void integer(const char *key, long long value) { field(key, std::to_string(value)); }
    void real(const char *key, double value) { field(key, real_text(value)); }
    void string(const char *key, const char *value) {
        std::string quoted = "\"";
        quoted.append(value).push_back('"');
        field(key, quoted);
    }
    std::string done() const { return text_ + "}"; }

  private:
    void field(const char *key, const std::string &value) {
        text_ += text_.size() > 1 ? ", \"" : "\"";
        text_ += key;
        text_ += "\": ";
        text_ += value;
    }
    std::string text_ = "{";
};

void write_stats(ObjectWriter &out, const varda_lossy_resolved &r) {
    switch (r.family) {
    case VARDA_LOSSY_LINEAR:
        out.real("max_abs", r.stats.linear.max_abs);
        out.integer("negatives", r.stats.linear.negatives);
        break;
    case VARDA_LOSSY_LOG:
        out.real("min_abs", r.stats.log.min_abs);
        out.real("max_abs", r.stats.log.max_abs);
        out.integer("negatives", r.stats.log.negatives);
        out.integer("tiny", r.stats.log.tiny);
        break;
    default:
        out.real("min", r.stats.sqrt.min);
        out.real("max", r.stats.sqrt.max);
        out.integer("negatives", r.stats.sqrt.negatives);
        out.integer("nonfinite", r.stats.sqrt.nonfinite);
        break;
    }
}

std::string product_text(const varda_codec_product &p) {
    ObjectWriter out;
    out.integer("varda_product", VARDA_CODEC_PRODUCT_VERSION);
    out.string("dtype", dtype_names[p.dtype]);
    out.string("chain", varda_codec_chain_name(p.chain));
    out.integer("effort", p.effort);
    out.integer("zstd_level", p.zstd_level);
    out.string("nodata", nodata_names[p.nodata]);
    if (p.nodata == VARDA_NODATA_VALUE) {
        char bits[24];
        std::snprintf(bits, sizeof bits, "0x%016llx",
                      static_cast<unsigned long long>(p.nodata_value));
        out.string("nodata_value", bits);
    }
    out.string("lossy", family_names[p.recipe.family]);
    if (p.recipe.family != VARDA_LOSSY_NONE) {
        out.real("max_error", p.recipe.spec.max_error);
        if (p.recipe.family == VARDA_LOSSY_SQRT && p.recipe.spec.has_ab) {
            out.real("noise_a", p.recipe.spec.a);
            out.real("noise_b", p.recipe.spec.b);
        }
        out.integer("grid_mode", p.resolved.grid.mode);
        out.real("grid_step", p.resolved.grid.step);
        out.real("grid_offset", p.resolved.grid.offset);
        write_stats(out, p.resolved);
    }
    return out.done();
}

// ---- Reading --------------------------------------------------------------

struct Field {
    std::string_view key;
    std::string_view value; // a string's contents, or a number's text
    bool is_string = false;
    bool used = false;
};

// The kind a nested call's failure keeps: running out of memory says
// nothing about the text, so it stays what it is; any other failure is the
// text's, of the caller's kind.
int only_memory(int rc) { return rc == VARDA_CODEC_NO_MEMORY ? rc : 0; }

std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out.append(text).push_back('\'');
    return out;
}

class ObjectReader {
  public:
    ObjectReader(const char *text, size_t len) : at_(text), end_(text + len) {}

    bool parse(Error &err) {
        space();
        if (!take('{')) return err.set("the text is not a JSON object");
        space();
        if (take('}')) return finish(err);
        for (;;) {
            Field f;
            if (!string(f.key)) return err.set("a field name is not a plain string");
            space();
            if (!take(':')) return err.set("field " + quoted(f.key) + " has no ':'");
            space();
            if (peek() == '"') {
                f.is_string = true;
                if (!string(f.value))
                    return err.set("the value of " + quoted(f.key) +
                                   " is not a plain string (no escapes, printable ASCII)");
            } else if (!number(f.value)) {
                return err.set("the value of " + quoted(f.key) +
                               " is neither a string nor a JSON number");
            }
            for (const Field &seen : fields_)
                if (seen.key == f.key) return err.set("field " + quoted(f.key) + " is repeated");
            if (fields_.size() == max_fields)
                return err.set("the text has more fields than any product");
            fields_.push_back(f);
            space();
            if (take('}')) return finish(err);
            if (!take(','))
                return err.set("field " + quoted(f.key) + " is not followed by ',' or '}'");
            space();
        }
    }

    // The field of this name, marked as read; null when absent.
    Field *find(std::string_view key) {
        for (Field &f : fields_)
            if (f.key == key) {
                f.used = true;
                return &f;
            }
        return nullptr;
    }

    const Field *unused() const {
        for (const Field &f : fields_)
            if (!f.used) return &f;
        return nullptr;
    }

  private:
    char peek() const { return at_ < end_ ? *at_ : '\0'; }
    bool take(char c) {
        if (at_ < end_ && *at_ == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void space() {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    }
    bool finish(Error &err) {
        space();
        return at_ == end_ || err.set("the text goes on after the object's closing '}'");
    }
    // Printable ASCII between quotes, no escapes: no product needs them.
    bool string(std::string_view &out) {
        if (!take('"')) return false;
        const char *start = at_;
        while (at_ < end_ && *at_ != '"') {
            const auto c = static_cast<unsigned char>(*at_);
            if (c < 0x20 || c > 0x7e || c == '\\') return false;
            ++at_;
        }
        if (!take('"')) return false;
        out = std::string_view(start, size_t(at_ - start - 1));
        return true;
    }
    bool digits() {
        const char *start = at_;
        while (at_ < end_ && *at_ >= '0' && *at_ <= '9') ++at_;
        return at_ > start;
    }
    // JSON's number grammar, exactly.
    bool number(std::string_view &out) {
        const char *start = at_;
        take('-');
        if (take('0')) {
            if (peek() >= '0' && peek() <= '9') return false;
        } else if (!digits()) {
            return false;
        }
        if (take('.') && !digits()) return false;
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        out = std::string_view(start, size_t(at_ - start));
        return true;
    }

    const char *at_;
    const char *end_;
    std::vector<Field> fields_;
};

// Typed reads of one field: each refuses a missing field, a value of the
// wrong type or one out of range, naming the field.
class Loader {
  public:
    explicit Loader(ObjectReader &in, Error &err) : in_(in), err_(err) {}

    bool present(const char *key) { return in_.find(key) != nullptr; }

    Field *required(const char *key) {
        Field *f = in_.find(key);
        if (!f) err_.set(std::string("field '") + key + "' is missing");
        return f;
    }

    bool integer(const char *key, long long lo, long long hi, long long &out) {
        const Field *f = required(key);
        if (!f) return false;
        const char *first = f->value.data(), *last = first + f->value.size();
        long long v = 0;
        const auto r = std::from_chars(first, last, v);
        if (f->is_string || r.ec != std::errc() || r.ptr != last || v < lo || v > hi)
            return err_.set(std::string("field '") + key + "' is not an integer from " +
                            std::to_string(lo) + " to " + std::to_string(hi));
        out = v;
        return true;
    }

    bool flag(const char *key, int32_t &out) {
        long long v = 0;
        if (!integer(key, 0, 1, v)) return false;
        out = int32_t(v);
        return true;
    }

    // A number, or "inf", "-inf" or "nan" for the values JSON has none for.
    bool real(const char *key, double &out) {
        const Field *f = required(key);
        if (!f) return false;
        if (f->is_string) {
            if (f->value == "inf" || f->value == "-inf") {
                out = f->value[0] == '-' ? -HUGE_VAL : HUGE_VAL;
                return true;
            }
            if (f->value == "nan") {
                out = std::numeric_limits<double>::quiet_NaN();
                return true;
            }
        } else {
            const char *first = f->value.data(), *last = first + f->value.size();
            const auto r = std::from_chars(first, last, out);
            if (r.ec == std::errc() && r.ptr == last) return true;
        }
        return err_.set(std::string("field '") + key + "' is not a number a double holds");
    }

    bool finite(const char *key, double &out) {
        if (!real(key, out)) return false;
        return std::isfinite(out) || err_.set(std::string("field '") + key + "' is not finite");
    }

    // One of `names`, by index.
    bool choice(const char *key, const char *const *names, int count, int32_t &out) {
        const Field *f = required(key);
        if (!f) return false;
        const int i = f->is_string ? find_name(f->value, names, count) : -1;
        if (i < 0) {
            std::string list;
            for (int k = 0; k < count; ++k) list += (k ? ", " : "") + std::string(names[k]);
            return err_.set(std::string("field '") + key + "' is not one of " + list);
        }
        out = i;
        return true;
    }

  private:
    ObjectReader &in_;
    Error &err_;
};

bool load_stats(Loader &in, varda_lossy_resolved &r) {
    switch (r.family) {
    case VARDA_LOSSY_LINEAR:
        return in.real("max_abs", r.stats.linear.max_abs) &&
               in.flag("negatives", r.stats.linear.negatives);
    case VARDA_LOSSY_LOG:
        return in.real("min_abs", r.stats.log.min_abs) && in.real("max_abs", r.stats.log.max_abs) &&
               in.flag("negatives", r.stats.log.negatives) && in.flag("tiny", r.stats.log.tiny);
    default:
        return in.real("min", r.stats.sqrt.min) && in.real("max", r.stats.sqrt.max) &&
               in.flag("negatives", r.stats.sqrt.negatives) &&
               in.flag("nonfinite", r.stats.sqrt.nonfinite);
    }
}

bool load_sentinel(Loader &in, varda_codec_product &p, Error &err) {
    const Field *f = in.required("nodata_value");
    if (!f) return false;
    const std::string_view v = f->value;
    uint64_t bits = 0;
    const char *last = v.data() + v.size();
    const bool hex = f->is_string && v.size() > 2 && v.size() <= 18 && v.substr(0, 2) == "0x" &&
                     std::from_chars(v.data() + 2, last, bits, 16).ptr == last;
    if (!hex)
        return err.set("field 'nodata_value' is not a bit pattern of 1 to 16 hex digits after 0x");
    const uint64_t width = varda_dtype_size(p.dtype);
    if (width < 8 && (bits >> (8 * width)) != 0)
        return err.set(std::string("field 'nodata_value' is wider than a ") + dtype_names[p.dtype]);
    p.nodata_value = bits;
    return true;
}

// The domain a scan can find: finite magnitudes, a LOG raster without a
// nonzero sample (its smallest magnitude stays +inf), a SQRT range in order.
// A NaN would switch the tiles' range check off.
bool check_domain(const varda_lossy_resolved &r, Error &err) {
    const auto magnitude = [&](const char *key, double x) {
        return (std::isfinite(x) && x >= 0) ||
               err.set(std::string("field '") + key + "' is not a finite magnitude");
    };
    switch (r.family) {
    case VARDA_LOSSY_LINEAR: return magnitude("max_abs", r.stats.linear.max_abs);
    case VARDA_LOSSY_LOG: {
        const quant_log_stats &s = r.stats.log;
        if (!magnitude("max_abs", s.max_abs)) return false;
        const bool none = s.min_abs == HUGE_VAL && s.max_abs == 0;
        return none || (magnitude("min_abs", s.min_abs) && s.min_abs <= s.max_abs) ||
               err.set("field 'min_abs' is above field 'max_abs'");
    }
    default: {
        const quant_sqrt_stats &s = r.stats.sqrt;
        if (!std::isfinite(s.min)) return err.set("field 'min' is not finite");
        if (!std::isfinite(s.max)) return err.set("field 'max' is not finite");
        return s.min <= s.max || err.set("field 'min' is above field 'max'");
    }
    }
}

// The grid must be the one the recipe resolves on the saved domain: any
// other step (a coarser one above all) would code past the stated bound.
bool check_grid(const varda_codec_product &p, Error &err) {
    const varda_lossy_resolved &r = p.resolved;
    const uint32_t dtype = uint32_t(p.dtype);
    quant_grid grid{};
    char message[256] = "";
    int rc = 0;
    switch (r.family) {
    case VARDA_LOSSY_LINEAR:
        rc = quant_linear_resolve(&p.recipe.spec, dtype, &r.stats.linear, &grid, message,
                                  sizeof message);
        break;
    case VARDA_LOSSY_LOG:
        rc = quant_log_resolve(&p.recipe.spec, dtype, &r.stats.log, &grid, message, sizeof message);
        break;
    default:
        rc = quant_sqrt_resolve(&p.recipe.spec, dtype, &r.stats.sqrt, nullptr, &grid, message,
                                sizeof message);
        break;
    }
    if (rc != 0)
        return err.set(std::string("the recipe resolves no grid on the saved domain: ") + message);
    if (grid.mode != r.grid.mode)
        return err.set("field 'grid_mode' is " + std::to_string(r.grid.mode) +
                       ", the recipe gives " + std::to_string(grid.mode) + " on the saved domain");
    if (grid.step != r.grid.step)
        return err.set("field 'grid_step' is " + plain(r.grid.step) +
                       ", the recipe's bound gives " + plain(grid.step) + " on the saved domain");
    if (grid.offset != r.grid.offset)
        return err.set("field 'grid_offset' is " + plain(r.grid.offset) + ", the recipe gives " +
                       plain(grid.offset) + " on the saved domain");
    return true;
}

bool load_recipe(Loader &in, varda_codec_product &p, Error &err) {
    varda_lossy_recipe &r = p.recipe;
    if (!in.finite("max_error", r.spec.max_error)) return false;
    // A SQRT recipe's noise curve, when it has one: both terms or none.
    if (r.family == VARDA_LOSSY_SQRT && in.present("noise_a")) {
        if (!in.finite("noise_a", r.spec.a) || !in.finite("noise_b", r.spec.b)) return false;
        r.spec.has_ab = 1;
    }
    // The recipe's own parser judges the numbers, on the text they make.
    char text[160], message[256] = "";
    if (const int rc = varda_codec_recipe_text(&r, text, sizeof text, message, sizeof message))
        return err.set(message, only_memory(rc));
    varda_lossy_recipe parsed{};
    if (varda_lossy_parse(text, &parsed, message, sizeof message) != 0)
        return err.set(std::string("the recipe is not one the codec takes: ") + message);
    varda_lossy_resolved &g = p.resolved;
    long long mode = 0;
    g.family = r.family;
    if (!in.integer("grid_mode", 0, 255, mode) || !in.finite("grid_step", g.grid.step) ||
        !in.finite("grid_offset", g.grid.offset))
        return false;
    g.grid.mode = uint8_t(mode);
    return load_stats(in, g) && check_domain(g, err) && check_grid(p, err);
}

bool load_product(const char *text, size_t len, varda_codec_product &out, Error &err) {
    ObjectReader object(text, len);
    if (!object.parse(err)) return false;
    Loader in(object, err);
    long long version = 0, effort = 0, level = 0;
    if (!in.integer("varda_product", 0, INT32_MAX, version)) return false;
    if (version != VARDA_CODEC_PRODUCT_VERSION)
        return err.set("product text version " + std::to_string(version) +
                           " is not one this build reads (it reads " +
                           std::to_string(VARDA_CODEC_PRODUCT_VERSION) + ")",
                       VARDA_CODEC_REFUSED);
    // Cleared whole, padding too, so that equal products are equal bytes.
    varda_codec_product p;
    std::memset(&p, 0, sizeof p);
    if (!in.choice("dtype", dtype_names, dtype_count, p.dtype)) return false;
    const Field *chain = in.required("chain");
    if (!chain) return false;
    p.chain = chain->is_string ? varda_codec_chain_id(std::string(chain->value).c_str()) : -1;
    if (p.chain < 0) return err.set("field 'chain' is not a chain's name or auto");
    if (!in.integer("effort", 0, 2, effort) || !in.integer("zstd_level", 1, 22, level) ||
        !in.choice("nodata", nodata_names, 3, p.nodata) ||
        !in.choice("lossy", family_names, 4, p.recipe.family))
        return false;
    p.effort = int32_t(effort);
    p.zstd_level = int32_t(level);
    if (p.nodata == VARDA_NODATA_VALUE && !load_sentinel(in, p, err)) return false;
    if (p.recipe.family != VARDA_LOSSY_NONE && !load_recipe(in, p, err)) return false;
    p.prepared = 1;
    if (const Field *extra = object.unused())
        return err.set("field " + quoted(extra->key) + " has no place in this product");
    char message[256] = "";
    if (const int rc = varda_codec_product_check(&p, message, sizeof message))
        return err.set(std::string("not a product the codec takes: ") + message, only_memory(rc));
    out = p;
    return true;
}

bool copy_out(const std::string &text, char *dst, size_t size, size_t *out_len, Error &err) {
    if (out_len) *out_len = text.size();
    if (!dst || size <= text.size())
        return err.set("the text needs " + std::to_string(text.size() + 1) +
                       " bytes, the buffer holds " + std::to_string(dst ? size : 0));
    std::memcpy(dst, text.c_str(), text.size() + 1);
    return true;
}

} // namespace

extern "C" {

VARDA_CODEC_API int varda_codec_product_save(const varda_codec_product *product, char *text,
                                             size_t text_size, size_t *out_len, char *err,
                                             size_t err_size) {
    return guarded(VARDA_CODEC_REFUSED, err, err_size, [&](Error &error) {
        char message[256] = "";
        if (const int rc = varda_codec_product_check(product, message, sizeof message))
            return error.set(message, rc);
        return copy_out(product_text(*product), text, text_size, out_len, error);
    });
}

VARDA_CODEC_API int varda_codec_product_load(varda_codec_product *product, const char *text,
                                             size_t text_len, char *err, size_t err_size) {
    return guarded(VARDA_CODEC_CORRUPT, err, err_size, [&](Error &error) {
        if (!product) return error.set("no product to load into", VARDA_CODEC_REFUSED);
        if (!text) return error.set("no text given", VARDA_CODEC_REFUSED);
        return load_product(text, text_len, *product, error);
    });
}

VARDA_CODEC_API int varda_codec_recipe_text(const varda_lossy_recipe *recipe, char *text,
                                            size_t text_size, char *err, size_t err_size) {
    return guarded(VARDA_CODEC_REFUSED, err, err_size, [&](Error &error) {
        if (!recipe) return error.set("no recipe given");
        const varda_lossy_recipe &r = *recipe;
        const quant_spec &s = r.spec;
        std::string out;
        switch (r.family) {
        case VARDA_LOSSY_NONE: break;
        case VARDA_LOSSY_LINEAR: out = "LINEAR:MAX_ERROR=" + plain(s.max_error); break;
        case VARDA_LOSSY_LOG: out = "LOG:MAX_ERROR=" + plain(s.max_error * 100) + "%"; break;
        case VARDA_LOSSY_SQRT:
            out = "SQRT:MAX_ERROR=" + plain(s.max_error) + "N";
            if (s.has_ab) out += ",A=" + plain(s.a) + ",B=" + plain(s.b);
            break;
        default:
            return error.set("lossy family " + std::to_string(r.family) +
                             " is not one the codec knows");
        }
        return copy_out(out, text, text_size, nullptr, error);
    });
}

} // extern "C"
