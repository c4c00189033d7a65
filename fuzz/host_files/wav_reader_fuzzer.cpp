// Fuzzes the host program's WAV reader: any bytes. Whatever it accepts is
// whole frames of a valid shape and survives a write and a read unchanged.
#include <cstdint>
#include <cstdlib>

#include "tools/host/wav_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::WavAudio audio;
    std::string error;
    if (!host::ParseWav(data, size, &audio, &error)) {
        if (error.empty()) abort();
        return 0;
    }
    if (audio.BlockAlign() == 0 || audio.data.size() % audio.BlockAlign() != 0) abort();
    std::vector<uint8_t> image = host::FormatWav(audio);
    host::WavAudio back;
    if (!host::ParseWav(image.data(), image.size(), &back, &error)) abort();
    if (back.data != audio.data || back.channels != audio.channels || back.sampleRate != audio.sampleRate ||
        back.bitsPerSample != audio.bitsPerSample || back.validBits != audio.validBits)
        abort();
    return 0;
}
