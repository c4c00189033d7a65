// WAV files of the host program: reading untrusted files (every length is
// checked against the bytes present) and writing what the device played or
// recorded. Integer PCM only: 8 to 32 bits in whole bytes, 1 to 32
// channels, plain (tag 1) or extensible (tag 0xFFFE with the PCM
// sub-format).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "portcls/portcls_types.h"

namespace host {

struct WavAudio {
    USHORT channels = 0;
    ULONG sampleRate = 0;
    USHORT bitsPerSample = 0;  // container bits
    USHORT validBits = 0;
    ULONG channelMask = 0;
    std::vector<uint8_t> data;  // whole frames

    ULONG BlockAlign() const { return (ULONG)channels * bitsPerSample / 8; }
    uint64_t Frames() const { return BlockAlign() ? data.size() / BlockAlign() : 0; }
    // The extensible PCM record of this shape (cbSize 22).
    WAVEFORMATEXTENSIBLE Format() const;
};

// A WAV image of the given bytes. False with a reason (naming the chunk or
// field) for anything that is not such a file; a data chunk that claims
// more bytes than the file holds is cut to the whole frames present.
bool ParseWav(const uint8_t* bytes, size_t size, WavAudio* out, std::string* error);
bool ReadWavFile(const std::string& path, WavAudio* out, std::string* error);

// The file image: a plain PCM header for 1 or 2 channels of 8 or 16 bits,
// an extensible one otherwise.
std::vector<uint8_t> FormatWav(const WavAudio& audio);
// Writes through a temporary file renamed into place.
bool WriteWavFile(const std::string& path, const WavAudio& audio, std::string* error);

// Largest WAV the host reads (its data is held in memory).
constexpr size_t kMaxWavBytes = size_t(1) << 30;

}  // namespace host
