// Base of the DSP block tests: a fresh kernel scope per test (which fails
// the test on any pool block left behind, per tag) and the data path's
// MXCSR (flush-to-zero, round to nearest) for the test's whole body.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "portcls/portcls_types.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/support/kernel_test.h"

namespace dsptest {

class DspTest : public sim::KernelTest {
protected:
    sptest::MxcsrScope mxcsr_{sptest::kMxcsrDataPath};
};

// A 40-byte PCM format record with the given channel count and rate.
inline WAVEFORMATEXTENSIBLE FloatFormat(unsigned channels, unsigned rate = 48000) {
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof(f));
    f.Format.wFormatTag = 3;
    f.Format.nChannels = (USHORT)channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = (USHORT)(channels * 4);
    f.Format.nAvgBytesPerSec = rate * channels * 4;
    return f;
}

// Per-channel float buffers with the pointer table the blocks take.
struct Channels {
    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
    Channels(size_t count, size_t frames, float fill = 0.0f) : data(count, std::vector<float>(frames, fill)) {
        for (auto& d : data) ptrs.push_back(d.data());
    }
    float** get() { return ptrs.data(); }
};

}  // namespace dsptest
