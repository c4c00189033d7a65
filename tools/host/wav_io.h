// WAV files of the host program, read and written in blocks through
// libsndfile: plain and extensible WAV with 8, 16, 24 or 32-bit integer PCM
// or 32-bit float, 1 to 32 channels. The sample bytes pass through as they
// are stored (little-endian, 8-bit unsigned), which is also the layout of
// the wave pin's buffer, so nothing is converted.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

#include "portcls/portcls_types.h"

namespace host {

// "PATH is a directory" when path names one, else empty.
std::string DirectoryError(const std::string& path);

class WavReader {
public:
    WavReader() = default;
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    // False with a reason naming the file. A data chunk that declares more
    // bytes than the file holds is read up to the whole frames present and
    // leaves a warning (Warning()) with both sizes.
    bool Open(const std::string& path, std::string* error);
    // The extensible record of the file's shape (PCM or IEEE float); an
    // extensible file's valid bits where fewer than its container's.
    const WAVEFORMATEXTENSIBLE& Format() const { return m_Format; }
    uint64_t Frames() const { return m_Frames; }
    uint64_t Bytes() const { return m_Frames * m_Format.Format.nBlockAlign; }
    const std::string& Warning() const { return m_Warning; }
    // Up to maxBytes (whole frames) of sample bytes; 0 at the end or on a
    // read error (Failed()).
    size_t Read(uint8_t* out, size_t maxBytes);
    bool Failed() const { return m_Failed; }

private:
    SNDFILE* m_File = nullptr;
    int m_Fd = -1;
    WAVEFORMATEXTENSIBLE m_Format = {};
    uint64_t m_Frames = 0, m_FramesRead = 0;
    std::string m_Path, m_Warning;
    bool m_Failed = false;
};

// Writes a WAV through a temporary file of its own name beside it, renamed
// into place by Finish: a path that names a regular file or nothing is
// replaced whole, a symbolic link's target is written (the link stays),
// and anything else (a device, a FIFO, a socket, "-") is refused and left
// as it is. A plain header for 1 or 2 channels of 8 or 16-bit PCM, an
// extensible one otherwise; samples of at most 24 valid bits in 32-bit
// containers are written as 24-bit PCM (a WAV header cannot say how many
// bits of a container are valid). Errors name the file and the system's
// reason.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();  // an unfinished file is removed
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool Open(const std::string& path, const WAVEFORMATEXTENSIBLE& format, std::string* error);
    // Another format for the header, before the first Write (the stream's
    // own, once the device names it).
    bool SetFormat(const WAVEFORMATEXTENSIBLE& format, std::string* error);
    // Whole frames; the first failure is kept and later writes are dropped.
    bool Write(const uint8_t* data, size_t bytes);
    uint64_t BytesWritten() const { return m_Written; }
    // Closes and renames; false with the first error of the run.
    bool Finish(std::string* error);

private:
    bool Begin();
    bool Flush();
    void Discard();

    SNDFILE* m_File = nullptr;
    int m_Fd = -1;
    WAVEFORMATEXTENSIBLE m_Format = {};
    bool m_Pack = false;
    std::vector<uint8_t> m_Buffer;
    std::string m_Path, m_Target, m_Temp, m_Error;
    uint64_t m_Written = 0;
};

// A whole file's frames as 32-bit left-aligned integers (the microphone's
// samples); refuses float files and files over maxSamples.
bool ReadWavSamples(const std::string& path, size_t maxSamples, WAVEFORMATEXTENSIBLE* format,
                    std::vector<int32_t>* samples, std::string* error);

}  // namespace host
