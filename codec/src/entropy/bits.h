// Raw bits, least significant first: a writer that grows a byte vector and
// a reader that never looks past its end.
#pragma once

#include <cstdint>
#include <cstring>

#include "blob.h"

namespace varda::codec::entropy {

class BitWriter {
  public:
    explicit BitWriter(Bytes &out) : out_(out) {}

    // Up to 57 bits at a time; `value` holds nothing above `count` bits.
    void put(uint64_t value, unsigned count) {
        acc_ |= value << filled_;
        filled_ += count;
        while (filled_ >= 8) {
            out_.push_back(static_cast<unsigned char>(acc_));
            acc_ >>= 8;
            filled_ -= 8;
        }
    }
    void wide(uint64_t value, unsigned count) {
        if (count > 32) {
            put(value & 0xFFFFFFFFu, 32);
            value >>= 32;
            count -= 32;
        }
        put(value, count);
    }
    void flush() {
        if (filled_ > 0) out_.push_back(static_cast<unsigned char>(acc_));
        acc_ = 0;
        filled_ = 0;
    }

  private:
    Bytes &out_;
    uint64_t acc_ = 0;
    unsigned filled_ = 0;
};

// Reading past the end yields zero bits and marks the reader overrun, which
// the caller checks once at the end.
class BitReader {
  public:
    BitReader(const unsigned char *begin, size_t size) : at_(begin), end_(begin + size) {}

    // Up to 32 bits.
    uint64_t get(unsigned count) {
        if (filled_ < count) fill();
        if (filled_ < count) {
            overrun_ = true;
            filled_ = count; // zeros
        }
        const uint64_t value = acc_ & ((uint64_t(1) << count) - 1);
        acc_ = count == 64 ? 0 : acc_ >> count;
        filled_ -= count;
        return value;
    }
    uint64_t wide(unsigned count) {
        if (count <= 32) return get(count);
        const uint64_t low = get(32);
        return low | get(count - 32) << 32;
    }
    // For a decode loop: refill() once per value, then take() up to 56
    // bits with no further test.
    void refill() {
        if (filled_ < 56) fill();
    }
    uint64_t take(unsigned count) {
        const uint64_t value = acc_ & ((uint64_t(1) << count) - 1);
        acc_ >>= count;
        overrun_ |= count > filled_;
        filled_ = filled_ >= count ? filled_ - count : 0;
        return value;
    }
    bool overrun() const { return overrun_; }
    // Whole bytes the reader has not taken in.
    size_t unread_bytes() const { return size_t(end_ - at_) + filled_ / 8; }

  private:
    void fill() {
        if (end_ - at_ >= 8) {
            uint64_t word;
            std::memcpy(&word, at_, 8);
            word = le64(word);
            acc_ |= word << filled_;
            at_ += (63 - filled_) >> 3;
            filled_ |= 56;
            return;
        }
        while (filled_ <= 56 && at_ < end_) {
            acc_ |= uint64_t(*at_++) << filled_;
            filled_ += 8;
        }
    }
    static uint64_t le64(uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return __builtin_bswap64(word);
#else
        return word;
#endif
    }
    const unsigned char *at_;
    const unsigned char *end_;
    uint64_t acc_ = 0;
    unsigned filled_ = 0;
    bool overrun_ = false;
};

} // namespace varda::codec::entropy
