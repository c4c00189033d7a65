// WAV reading and writing (see wav_file.h).
#include "tools/host/wav_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "portcls/portcls_guids.h"
#include "stream/wave/wave_guids.h"

namespace host {

namespace {

uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }

// Little-endian writes into a buffer sized before the first one (GCC 12 at
// -O3 reports a false -Wstringop-overflow for inserts into a growing vector).
class ByteWriter {
public:
    explicit ByteWriter(uint8_t* at) : at_(at) {}
    void Put16(uint32_t v) {
        *at_++ = (uint8_t)v;
        *at_++ = (uint8_t)(v >> 8);
    }
    void Put32(uint32_t v) {
        Put16(v & 0xFFFF);
        Put16(v >> 16);
    }
    void PutBytes(const void* p, size_t n) {
        if (n != 0) memcpy(at_, p, n);
        at_ += n;
    }
    void PutTag(const char* tag) { PutBytes(tag, 4); }

private:
    uint8_t* at_;
};

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// The "fmt " chunk's body (size bytes) into out's shape fields.
bool ParseFormat(const uint8_t* p, uint32_t size, WavAudio* out, std::string* error) {
    if (size < 16) return Fail(error, "fmt chunk of " + std::to_string(size) + " bytes (16 needed)");
    const uint16_t tag = Le16(p);
    out->channels = Le16(p + 2);
    out->sampleRate = Le32(p + 4);
    const uint32_t avgBytes = Le32(p + 8);
    const uint16_t blockAlign = Le16(p + 12);
    out->bitsPerSample = Le16(p + 14);
    out->validBits = out->bitsPerSample;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (size < 40 || Le16(p + 16) < 22) return Fail(error, "extensible fmt chunk shorter than 40 bytes");
        out->validBits = Le16(p + 18);
        out->channelMask = Le32(p + 20);
        GUID sub;
        memcpy(&sub, p + 24, sizeof(sub));
        if (sub != KSDATAFORMAT_SUBTYPE_PCM) return Fail(error, "extensible sub-format is not PCM");
    } else if (tag != WAVE_FORMAT_PCM) {
        return Fail(error, "format tag " + std::to_string(tag) + " (only PCM is read)");
    }
    if (out->channels == 0 || out->channels > 32) return Fail(error, "channel count " + std::to_string(out->channels));
    if (out->bitsPerSample < 8 || out->bitsPerSample > 32 || out->bitsPerSample % 8)
        return Fail(error, "bits per sample " + std::to_string(out->bitsPerSample));
    if (out->validBits == 0 || out->validBits > out->bitsPerSample) return Fail(error, "valid bits per sample");
    if (out->sampleRate < 1000 || out->sampleRate > 768000)
        return Fail(error, "sample rate " + std::to_string(out->sampleRate));
    if (blockAlign != out->BlockAlign() || avgBytes != (uint64_t)blockAlign * out->sampleRate)
        return Fail(error, "block alignment or byte rate does not match the format");
    if (tag != WAVE_FORMAT_EXTENSIBLE) out->channelMask = out->channels >= 32 ? 0xFFFFFFFFu : (1u << out->channels) - 1;
    return true;
}

}  // namespace

WAVEFORMATEXTENSIBLE WavAudio::Format() const {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = sampleRate;
    f.Format.nBlockAlign = (WORD)BlockAlign();
    f.Format.nAvgBytesPerSec = BlockAlign() * sampleRate;
    f.Format.wBitsPerSample = bitsPerSample;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = validBits;
    f.dwChannelMask = channelMask;
    SetWaveSubFormat(&f, KSDATAFORMAT_SUBTYPE_PCM);
    return f;
}

bool ParseWav(const uint8_t* bytes, size_t size, WavAudio* out, std::string* error) {
    *out = WavAudio();
    if (size < 12 || memcmp(bytes, "RIFF", 4) != 0 || memcmp(bytes + 8, "WAVE", 4) != 0)
        return Fail(error, "not a RIFF WAVE file");
    if (size > kMaxWavBytes) return Fail(error, "file larger than 1 GiB");
    bool haveFormat = false;
    size_t pos = 12;
    while (size - pos >= 8) {
        const uint8_t* chunk = bytes + pos;
        const uint32_t length = Le32(chunk + 4);
        const size_t left = size - pos - 8;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (length > left) return Fail(error, "fmt chunk runs past the end of the file");
            if (!ParseFormat(chunk + 8, length, out, error)) return false;
            haveFormat = true;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return Fail(error, "data chunk before the fmt chunk");
            size_t present = length < left ? length : left;
            present -= present % out->BlockAlign();
            out->data.assign(chunk + 8, chunk + 8 + present);
            return true;
        } else if (length > left) {
            return Fail(error, "chunk runs past the end of the file");
        }
        pos += 8 + (size_t)length + (length & 1);  // chunks are padded to even sizes
        if (pos > size) break;
    }
    return Fail(error, haveFormat ? "no data chunk" : "no fmt chunk");
}

bool ReadWavFile(const std::string& path, WavAudio* out, std::string* error) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Fail(error, "cannot open " + path);
    std::streamoff size = in.tellg();
    if (size < 0 || (uint64_t)size > kMaxWavBytes) return Fail(error, path + ": file larger than 1 GiB");
    std::vector<uint8_t> bytes((size_t)size);
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return Fail(error, "cannot read " + path);
    if (!ParseWav(bytes.data(), bytes.size(), out, error)) {
        if (error) *error = path + ": " + *error;
        return false;
    }
    return true;
}

std::vector<uint8_t> FormatWav(const WavAudio& a) {
    const bool plain = a.channels <= 2 && a.bitsPerSample <= 16 && a.validBits == a.bitsPerSample;
    const uint32_t formatBytes = plain ? 16 : 40;
    const uint32_t dataBytes = (uint32_t)a.data.size();
    const uint32_t riffBytes = 4 + 8 + formatBytes + 8 + dataBytes + (dataBytes & 1);
    std::vector<uint8_t> out(8 + (size_t)riffBytes);  // an odd data chunk's pad byte stays 0
    ByteWriter w(out.data());
    w.PutTag("RIFF");
    w.Put32(riffBytes);
    w.PutTag("WAVE");
    w.PutTag("fmt ");
    w.Put32(formatBytes);
    w.Put16(plain ? WAVE_FORMAT_PCM : WAVE_FORMAT_EXTENSIBLE);
    w.Put16(a.channels);
    w.Put32(a.sampleRate);
    w.Put32(a.BlockAlign() * a.sampleRate);
    w.Put16(a.BlockAlign());
    w.Put16(a.bitsPerSample);
    if (!plain) {
        w.Put16(22);
        w.Put16(a.validBits);
        w.Put32(a.channelMask);
        w.PutBytes(&KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID));
    }
    w.PutTag("data");
    w.Put32(dataBytes);
    w.PutBytes(a.data.data(), a.data.size());
    return out;
}

bool WriteWavFile(const std::string& path, const WavAudio& audio, std::string* error) {
    std::vector<uint8_t> bytes = FormatWav(audio);
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
        if (!out.good()) return Fail(error, "cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) return Fail(error, "cannot rename " + temp + " to " + path);
    return true;
}

}  // namespace host
