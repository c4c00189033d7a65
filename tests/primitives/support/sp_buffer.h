// Test buffers for primitives: an array of T at any byte offset, fenced by
// canary bytes, or pressed against a PROT_NONE page so that one element of
// overrun faults. Elements are read and written through memcpy, so offsets
// that are not multiples of alignof(T) stay well-defined in the test code.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sptest {

constexpr uint8_t kCanaryByte = 0xA5;
constexpr size_t kCanaryBytes = 64;

// Raw storage shared by the two buffer kinds.
class ByteArea {
public:
    virtual ~ByteArea() = default;
    virtual uint8_t* bytes() = 0;
    virtual ::testing::AssertionResult checkCanaries() const = 0;
};

// len elements starting `offset` bytes past a 64-byte boundary, with
// kCanaryBytes canary bytes on both sides.
template <typename T>
class SpBuffer {
public:
    explicit SpBuffer(size_t len, size_t offset = 0)
        : len_(len), offset_(offset), storage_(kCanaryBytes * 2 + 64 + offset + len * sizeof(T) + kCanaryBytes) {
        uintptr_t base = (uintptr_t)storage_.data() + kCanaryBytes;
        base = (base + 63) & ~(uintptr_t)63;
        start_ = (uint8_t*)base + offset;
        std::memset(storage_.data(), kCanaryByte, storage_.size());
    }
    SpBuffer(const std::vector<T>& values, size_t offset) : SpBuffer(values.size(), offset) { assign(values); }

    T* data() { return reinterpret_cast<T*>(start_); }
    const T* data() const { return reinterpret_cast<const T*>(start_); }
    uint8_t* bytes() { return start_; }
    size_t size() const { return len_; }
    size_t offset() const { return offset_; }

    T get(size_t i) const {
        T v;
        std::memcpy(&v, start_ + i * sizeof(T), sizeof(T));
        return v;
    }
    void set(size_t i, T v) { std::memcpy(start_ + i * sizeof(T), &v, sizeof(T)); }
    void assign(const std::vector<T>& values) {
        if (!values.empty()) std::memcpy(start_, values.data(), values.size() * sizeof(T));
    }
    std::vector<T> values() const {
        std::vector<T> out(len_);
        if (len_ != 0) std::memcpy(out.data(), start_, len_ * sizeof(T));
        return out;
    }
    // Fills the elements with one byte pattern (a "nothing written" marker).
    void fillBytes(uint8_t b) { std::memset(start_, b, len_ * sizeof(T)); }

    ::testing::AssertionResult checkCanaries() const {
        const uint8_t* lo = storage_.data();
        const uint8_t* end = start_ + len_ * sizeof(T);
        for (const uint8_t* p = lo; p < start_; ++p)
            if (*p != kCanaryByte)
                return ::testing::AssertionFailure() << "canary before the array hit at byte " << (start_ - p);
        for (const uint8_t* p = end; p < lo + storage_.size(); ++p)
            if (*p != kCanaryByte)
                return ::testing::AssertionFailure() << "canary after the array hit at byte " << (p - end);
        return ::testing::AssertionSuccess();
    }

private:
    size_t len_;
    size_t offset_;
    std::vector<uint8_t> storage_;
    uint8_t* start_;
};

// Byte region whose end (or start) touches a PROT_NONE page.
class GuardedRegion {
public:
    enum Side { kGuardAfter, kGuardBefore };
    GuardedRegion(size_t bytes, Side side);
    ~GuardedRegion();
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;
    uint8_t* bytes() { return start_; }

private:
    uint8_t* map_ = nullptr;
    size_t mapBytes_ = 0;
    uint8_t* start_ = nullptr;
};

// len elements of T ending exactly at a PROT_NONE page (kGuardAfter) or
// starting exactly after one (kGuardBefore). With kGuardAfter the start's
// alignment is whatever len * sizeof(T) leaves; `slack` bytes of unguarded
// space after the array shift it (for offset sweeps).
template <typename T>
class SpGuardedBuffer {
public:
    SpGuardedBuffer(size_t len, GuardedRegion::Side side, size_t slack = 0)
        : len_(len), region_(len * sizeof(T) + slack, side) {}
    T* data() { return reinterpret_cast<T*>(region_.bytes()); }
    size_t size() const { return len_; }
    T get(size_t i) const {
        T v;
        std::memcpy(&v, const_cast<GuardedRegion&>(region_).bytes() + i * sizeof(T), sizeof(T));
        return v;
    }
    void set(size_t i, T v) { std::memcpy(region_.bytes() + i * sizeof(T), &v, sizeof(T)); }
    void assign(const std::vector<T>& values) {
        if (!values.empty()) std::memcpy(region_.bytes(), values.data(), values.size() * sizeof(T));
    }
    std::vector<T> values() const {
        std::vector<T> out(len_);
        for (size_t i = 0; i < len_; ++i) out[i] = get(i);
        return out;
    }

private:
    size_t len_;
    GuardedRegion region_;
};

}  // namespace sptest
