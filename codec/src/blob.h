// Bytes in and out of a blob: a growing writer, and a reader that checks
// every length against what remains before it hands anything out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "varda_codec.h"

namespace varda::codec {

using Bytes = std::vector<unsigned char>;

// Bytes that start undefined: scratch that is written before it is read
// needs no clearing pass.
template <class T> struct UninitializedAllocator : std::allocator<T> {
    template <class U> struct rebind { using other = UninitializedAllocator<U>; };
    template <class U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <class U, class... Args> void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};
using Scratch = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

// Elements `rewrite_in_blocks` copies aside at a time.
constexpr uint64_t block_elements = 4096;

// Rewrites `count` elements of `elem_size` bytes in place, a block at a
// time: `step(dst, copy, first_index, block_count)` gets a copy of the
// block's elements to read while it writes `dst`. A kernel that wants its
// input apart from its output then needs a block of scratch, not a tile.
// True when every step returned true; every block runs either way.
template <class Step>
bool rewrite_in_blocks(unsigned char *data, uint64_t count, uint64_t elem_size, Step &&step) {
    Scratch copy(size_t((count < block_elements ? count : block_elements) * elem_size));
    bool ok = true;
    for (uint64_t at = 0; at < count; at += block_elements) {
        const uint64_t k = count - at < block_elements ? count - at : block_elements;
        unsigned char *dst = data + at * elem_size;
        std::memcpy(copy.data(), dst, size_t(k * elem_size));
        ok = step(dst, copy.data(), at, k) && ok;
    }
    return ok;
}

// Why a call failed, in the library's words, and the kind of failure
// (a VARDA_CODEC_* kind; 0 leaves it to the entry point's default); empty
// while all is well. The first failure set is the one reported.
struct Error {
    std::string message;
    int kind = 0;
    bool set(std::string text, int failure = 0) {
        if (message.empty()) {
            message = std::move(text);
            kind = failure;
        }
        return false;
    }
    bool set(const Error &inner) { return set(inner.message, inner.kind); }
};

class Writer {
  public:
    explicit Writer(Bytes &out) : out_(out) {}

    void u8(unsigned value) { out_.push_back(static_cast<unsigned char>(value)); }
    void u16(uint16_t value) { little(value, 2); }
    void u32(uint32_t value) { little(value, 4); }
    void u64(uint64_t value) { little(value, 8); }
    void f64(double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        u64(bits);
    }
    void bytes(const void *data, size_t size) {
        const auto *p = static_cast<const unsigned char *>(data);
        out_.insert(out_.end(), p, p + size);
    }
    // A stream: its length, then its bytes.
    template <class Buffer> void stream(const Buffer &data) {
        u32(static_cast<uint32_t>(data.size()));
        bytes(data.data(), data.size());
    }
    size_t size() const { return out_.size(); }

  private:
    void little(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) out_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
    Bytes &out_;
};

// Reads from [begin, end). Each read fails, naming `what`, when the bytes
// are not there; nothing is read past `end`.
class Reader {
  public:
    Reader(const unsigned char *begin, const unsigned char *end) : at_(begin), end_(end) {}

    size_t remaining() const { return size_t(end_ - at_); }
    bool done() const { return at_ == end_; }

    bool u8(unsigned &value, const char *what, Error &err) { return narrow(value, 1, what, err); }
    bool u16(unsigned &value, const char *what, Error &err) { return narrow(value, 2, what, err); }
    bool u32(uint32_t &value, const char *what, Error &err) {
        uint64_t v = 0;
        if (!little(v, 4, what, err)) return false;
        value = uint32_t(v);
        return true;
    }
    bool u64(uint64_t &value, const char *what, Error &err) { return little(value, 8, what, err); }
    bool f64(double &value, const char *what, Error &err) {
        uint64_t bits = 0;
        if (!little(bits, 8, what, err)) return false;
        std::memcpy(&value, &bits, 8);
        return true;
    }
    bool bytes(const unsigned char *&data, size_t size, const char *what, Error &err) {
        if (remaining() < size) return truncated(what, err);
        data = at_;
        at_ += size;
        return true;
    }
    // Little-endian words at a known offset, for fixed headers.
    static uint64_t read_le(const unsigned char *at, int size) {
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) value |= uint64_t(at[i]) << (8 * i);
        return value;
    }
    // A stream: a 4-byte length and that many bytes.
    bool stream(const unsigned char *&data, size_t &size, const char *what, Error &err) {
        uint32_t length = 0;
        if (!u32(length, what, err)) return false;
        size = length;
        return bytes(data, size, what, err);
    }

  private:
    bool truncated(const char *what, Error &err) {
        return err.set(std::string("truncated tile: the blob ends inside the ") + what);
    }
    bool narrow(unsigned &value, int size, const char *what, Error &err) {
        uint64_t v = 0;
        if (!little(v, size, what, err)) return false;
        value = unsigned(v);
        return true;
    }
    bool little(uint64_t &value, int size, const char *what, Error &err) {
        if (remaining() < size_t(size)) return truncated(what, err);
        value = 0;
        for (int i = 0; i < size; ++i) value |= uint64_t(at_[i]) << (8 * i);
        at_ += size;
        return true;
    }
    const unsigned char *at_;
    const unsigned char *end_;
};

} // namespace varda::codec
