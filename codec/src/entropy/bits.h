// Raw bits, least significant first: a writer that grows a byte vector and
// a reader that never looks past its end.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>

#include "blob.h"

namespace varda::codec::entropy {

inline uint64_t le64(uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(word);
#else
    return word;
#endif
}

// A plain value: a coding loop may copy it into a local, where it stays in
// registers, and assign it back when done.
class BitWriter {
  public:
    // Room for `capacity` bits in all; more is a caller's error, caught by
    // the assertion in debug builds. The room is not cleared: every byte
    // up to the end is written before flush() trims the rest.
    BitWriter(Scratch &out, uint64_t capacity) : out_(&out), at_(out.size()) {
        out.resize(at_ + size_t(capacity / 8) + 16);
        bytes_ = out.data();
        end_ = out.size();
    }

    // Up to 56 bits at a time; `value` holds nothing above `count` bits.
    // The whole accumulator is stored each time and the position moves by
    // the bytes completed, so no step branches.
    void put(uint64_t value, unsigned count) {
        acc_ |= value << filled_;
        filled_ += count;
        assert(at_ + 8 <= end_);
        const uint64_t word = le64(acc_);
        std::memcpy(bytes_ + at_, &word, 8);
        at_ += filled_ >> 3;
        acc_ >>= filled_ & ~7u; // filled_ is at most 7 + 56
        filled_ &= 7;
    }
    void wide(uint64_t value, unsigned count) {
        if (count > 32) {
            put(value & 0xFFFFFFFFu, 32);
            value >>= 32;
            count -= 32;
        }
        put(value, count);
    }
    // Ends the last byte and trims the output to what was written.
    void flush() {
        if (filled_ > 0) bytes_[at_++] = static_cast<unsigned char>(acc_);
        acc_ = 0;
        filled_ = 0;
        out_->resize(at_);
    }

  private:
    Scratch *out_;
    unsigned char *bytes_;
    size_t at_, end_;
    uint64_t acc_ = 0;
    unsigned filled_ = 0;
};

// Raw bits read by position from a copy with zeros after it: a value is an
// unaligned load and a shift, with no test. Reading past the end yields
// zeros; the caller asks within() at least once every `stride` values (as
// many as the copy has room for after the end) and stops when it is false,
// so that no load leaves the copy. A decode loop takes a Cursor, a plain
// value it can keep in registers, and hands it back with seek().
class BitReader {
  public:
    static constexpr uint64_t stride = 64; // values between checks, 64 bits each at most

    struct Cursor {
        const unsigned char *bytes;
        uint64_t at;
        // Up to 56 bits.
        uint64_t take(unsigned count) {
            uint64_t word;
            std::memcpy(&word, bytes + (at >> 3), 8);
            word = le64(word) >> (at & 7);
            at += count;
            return word & ((uint64_t(1) << count) - 1);
        }
        // Up to 64 bits, the low 32 first when there are more.
        uint64_t wide(unsigned count) {
            const unsigned low = count > 32 ? 32 : count;
            const uint64_t value = take(low);
            return value | take(count - low) << 32;
        }
    };

    BitReader(const unsigned char *begin, size_t size) : size_(size), bytes_(size + slack, 0) {
        if (size) std::memcpy(bytes_.data(), begin, size);
    }

    Cursor cursor() const { return {bytes_.data(), at_}; }
    void seek(const Cursor &cursor) { at_ = cursor.at; }
    // Whether every bit taken so far was in the stream.
    bool within() const { return at_ <= 8 * uint64_t(size_); }
    // Whole bytes the reader has not reached.
    size_t unread_bytes() const { return within() ? size_ - size_t((at_ + 7) / 8) : 0; }

  private:
    static constexpr size_t slack = 8 * stride + 16;
    size_t size_;
    Scratch bytes_;
    uint64_t at_ = 0;
};

} // namespace varda::codec::entropy
