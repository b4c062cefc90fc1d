// Arbitrary bytes as a coefficient block. Bytes 0-3 pick the capacities of
// the two output arrays, byte 4 which of them are given; the rest is the
// block. A block the parser accepts must pack back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

void check_repacks(const std::vector<unsigned char> &block, const std::vector<int32_t> &coeffs,
                   const std::vector<uint32_t> &lengths) {
    std::vector<const int32_t *> vectors;
    size_t at = 0;
    for (uint32_t length : lengths) {
        vectors.push_back(coeffs.data() + at);
        at += length;
    }
    require(at == coeffs.size());
    require(varda_coeffs_size(lengths.data(), lengths.size()) == block.size());
    std::vector<unsigned char> again(block.size());
    char err[96];
    require(varda_coeffs_pack(again.data(), again.size(), vectors.data(), lengths.data(),
                              lengths.size(), err, sizeof err) == block.size());
    require(err[0] == '\0' && again == block);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const size_t lengths_cap = data[0] | size_t(data[1] & 1) << 8;
    const size_t coeffs_cap = data[2] | size_t(data[3] & 0xF) << 8;
    const bool give_lengths = data[4] & 1, give_coeffs = data[4] & 2;
    // An exactly sized copy, so that ASan sees any read past the end. The
    // arrays carry one guard element past their capacity (a capacity of 0
    // still needs a real pointer).
    const std::vector<unsigned char> block(data + 5, data + size);
    std::vector<uint32_t> lengths(lengths_cap + 1, 0xDEADBEEF);
    std::vector<int32_t> coeffs(coeffs_cap + 1, 0x5EA1ED);

    uint64_t n_vectors = 99, n_coeffs = 99;
    const int result = varda_coeffs_parse(
        block.data(), block.size(), give_coeffs ? coeffs.data() : nullptr, coeffs_cap,
        give_lengths ? lengths.data() : nullptr, lengths_cap, &n_vectors, &n_coeffs);
    require(lengths[lengths_cap] == 0xDEADBEEF && coeffs[coeffs_cap] == 0x5EA1ED);
    const bool magic = block.size() >= 4 && std::memcmp(block.data(), "VDC1", 4) == 0;
    require(result == 0 || result == -1 || result == -2 || result == 1);
    require((result == 1) == !magic);
    if (result == 1 || result == -1) {
        require(n_vectors == 0 && n_coeffs == 0);
        return 0;
    }
    require(n_vectors >= 1 && n_vectors <= 255 && n_coeffs >= n_vectors);
    require(block.size() == 6 + 4 * (n_vectors + n_coeffs));
    const bool short_arrays =
        (give_lengths && lengths_cap < n_vectors) || (give_coeffs && coeffs_cap < n_coeffs);
    require((result == -2) == short_arrays);

    // Parse again into arrays of exactly the announced sizes and re-pack.
    std::vector<uint32_t> all_lengths(n_vectors);
    std::vector<int32_t> all_coeffs(n_coeffs);
    require(varda_coeffs_parse(block.data(), block.size(), all_coeffs.data(), all_coeffs.size(),
                               all_lengths.data(), all_lengths.size(), nullptr, nullptr) == 0);
    check_repacks(block, all_coeffs, all_lengths);
    return 0;
}
