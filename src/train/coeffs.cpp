// Coefficient blocks: "VDC1", version 1, a vector count, then each vector
// as its length and its coefficients, all little-endian and unaligned.
#include <cstdint>
#include <cstring>

#include "frame/message.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

constexpr unsigned char magic[4] = {'V', 'D', 'C', '1'};
constexpr unsigned char version = 1;
constexpr size_t header_bytes = 6;
constexpr uint64_t block_limit = 10000;
constexpr uint64_t max_vectors = 255;

uint64_t record_bytes(uint32_t length) { return 4 + 4 * uint64_t(length); }

void put32(unsigned char *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t get32(const unsigned char *at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

} // namespace

extern "C" VARDA_API uint64_t varda_coeffs_size(const uint32_t *lengths, uint64_t n_vectors) {
    if (lengths == nullptr || n_vectors == 0 || n_vectors > max_vectors) return 0;
    uint64_t size = header_bytes;
    for (uint64_t i = 0; i < n_vectors; ++i) {
        if (lengths[i] == 0) return 0;
        size += record_bytes(lengths[i]);
        if (size > block_limit) return 0;
    }
    return size;
}

extern "C" VARDA_API uint64_t varda_coeffs_pack(void *out, size_t out_cap,
                                                const int32_t *const *vectors,
                                                const uint32_t *lengths, size_t n_vectors,
                                                char *err, size_t err_size) {
    if (err != nullptr && err_size > 0) err[0] = '\0';
    if (vectors == nullptr || lengths == nullptr) {
        fail(err, err_size, "coeffs: no vectors given");
        return 0;
    }
    if (n_vectors == 0 || n_vectors > max_vectors) {
        fail(err, err_size, "coeffs: expected 1..%d vectors, got %zu", int(max_vectors), n_vectors);
        return 0;
    }
    for (size_t i = 0; i < n_vectors; ++i) {
        if (lengths[i] == 0) {
            fail(err, err_size, "coeffs: vector %zu is empty", i);
            return 0;
        }
        if (vectors[i] == nullptr) {
            fail(err, err_size, "coeffs: vector %zu is NULL", i);
            return 0;
        }
    }
    // At most 255 records of at most 4 + 4 x (2^32 - 1) bytes: no overflow.
    uint64_t size = header_bytes;
    bool over = false;
    for (size_t i = 0; i < n_vectors; ++i) {
        size += record_bytes(lengths[i]);
        over = over || size > block_limit;
    }
    if (over) {
        fail(err, err_size, "coeffs: %llu bytes exceeds the %d-byte limit",
             static_cast<unsigned long long>(size), int(block_limit));
        return 0;
    }
    if (out == nullptr || out_cap < size) {
        fail(err, err_size, "coeffs: need %llu bytes, given %zu",
             static_cast<unsigned long long>(size), out_cap);
        return 0;
    }
    auto *at = static_cast<unsigned char *>(out);
    std::memcpy(at, magic, 4);
    at[4] = version;
    at[5] = static_cast<unsigned char>(n_vectors);
    at += header_bytes;
    for (size_t i = 0; i < n_vectors; ++i) {
        put32(at, lengths[i]);
        at += 4;
        for (uint32_t j = 0; j < lengths[i]; ++j, at += 4) put32(at, uint32_t(vectors[i][j]));
    }
    return size;
}

extern "C" VARDA_API int varda_coeffs_parse(const void *block, size_t block_size,
                                            int32_t *coeffs_out, size_t coeffs_cap,
                                            uint32_t *lengths_out, size_t lengths_cap,
                                            uint64_t *n_vectors_out, uint64_t *n_coeffs_out) {
    if (n_vectors_out != nullptr) *n_vectors_out = 0;
    if (n_coeffs_out != nullptr) *n_coeffs_out = 0;
    const auto *bytes = static_cast<const unsigned char *>(block);
    if (bytes == nullptr || block_size < 4 || std::memcmp(bytes, magic, 4) != 0) return 1;
    if (block_size <= 5 || bytes[4] != version || block_size > block_limit) return -1;
    const size_t n = bytes[5];
    if (n == 0) return -1;

    uint64_t total = 0;
    size_t offset = header_bytes;
    for (size_t i = 0; i < n; ++i) {
        if (block_size - offset < 4) return -1;
        const uint32_t length = get32(bytes + offset);
        offset += 4;
        if (length == 0 || 4 * uint64_t(length) > block_size - offset) return -1;
        offset += 4 * size_t(length);
        total += length;
    }
    if (offset != block_size) return -1;

    if (n_vectors_out != nullptr) *n_vectors_out = n;
    if (n_coeffs_out != nullptr) *n_coeffs_out = total;
    if (coeffs_out == nullptr && lengths_out == nullptr) return 0;
    if ((lengths_out != nullptr && lengths_cap < n) ||
        (coeffs_out != nullptr && coeffs_cap < total))
        return -2;

    offset = header_bytes;
    size_t copied = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t length = get32(bytes + offset);
        offset += 4;
        if (lengths_out != nullptr) lengths_out[i] = length;
        if (coeffs_out != nullptr) {
            for (uint32_t j = 0; j < length; ++j)
                coeffs_out[copied + j] = int32_t(get32(bytes + offset + 4 * size_t(j)));
        }
        copied += length;
        offset += 4 * size_t(length);
    }
    return 0;
}
