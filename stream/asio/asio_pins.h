// What the ASIO operations read of a pin's formats and of the sample
// types: channel counts per I/O format, the I/O-format and rate tests, the
// sample types a pin offers and the format a sample type stands for. Pure
// functions over IStreamEngine; no lock, PASSIVE_LEVEL.
#pragma once

#include "stream/asio/asio_state.h"
#include "stream/engine/stream_engine.h"

// Candidates of the sample-type list, in reply order.
inline constexpr ULONG kAsioSampleTypeCandidates[] = {ASIOSTInt16LSB, ASIOSTInt24LSB, ASIOSTInt32LSB16,
                                                     ASIOSTInt32LSB24, ASIOSTInt32LSB};
inline constexpr ULONG kAsioSampleTypeCandidateCount = 5;

// Latencies in milliseconds by index.
inline constexpr ULONG ASIO_LATENCY_TABLE_MS[ASIO_LATENCY_TABLE_ENTRIES] = {4, 6, 8, 10, 20, 30, 40, 50};

struct ASIO_SAMPLE_TYPE_ROW {
    ULONG Type;
    USHORT ContainerBits;
    USHORT ValidBits;
};
// The PCM format each sample type stands for.
inline constexpr ASIO_SAMPLE_TYPE_ROW kAsioSampleTypes[] = {
    {ASIOSTInt16LSB, 16, 16},   {ASIOSTInt24LSB, 24, 24},   {ASIOSTInt32LSB, 32, 32},
    {ASIOSTInt32LSB16, 32, 16}, {ASIOSTInt32LSB18, 32, 18}, {ASIOSTInt32LSB20, 32, 20},
    {ASIOSTInt32LSB24, 32, 24},
};

// The PCM container and valid bits a sample type stands for; FALSE for a
// type outside the table (it has no width).
inline BOOLEAN AsioSampleTypeBits(ULONG type, USHORT* containerBits, USHORT* validBits) {
    for (const ASIO_SAMPLE_TYPE_ROW& row : kAsioSampleTypes) {
        if (row.Type != type) continue;
        *containerBits = row.ContainerBits;
        *validBits = row.ValidBits;
        return TRUE;
    }
    return FALSE;
}
// Bytes per sample of a type, 0 for a type outside the table.
inline ULONG AsioSampleTypeWidth(ULONG type) {
    USHORT container = 0, valid = 0;
    return AsioSampleTypeBits(type, &container, &valid) ? container / 8u : 0;
}

// Largest nChannels among the pin's formats of the I/O format's subformat
// (PCM for 0, DSD for 1); 0 when there is none or for another mode.
ULONG AsioChannelCount(IStreamEngine* pin, ULONG ioFormat);
BOOLEAN AsioPinSupportsIoFormat(IStreamEngine* pin, ULONG mode);
BOOLEAN AsioPinSupportsRate(IStreamEngine* pin, ULONG mode, ULONG rate);
// Sets flags[i] for each candidate i that some format of the pin maps to.
VOID AsioSampleTypeFromFormat(IStreamEngine* pin, BOOLEAN flags[kAsioSampleTypeCandidateCount]);

// Transfer geometry of a buffer of `bufferFrames` frames at `rate` under
// `ioFormat`. FALSE when the rate gives no frames per millisecond.
struct ASIO_GEOMETRY {
    ULONG FramesPerMs;
    ULONG FramesPerTransfer;  // USB frames (ms)
    ULONG Transfers;          // n
    ULONG Registered;         // transfers registered with the stream
};
BOOLEAN AsioGeometry(ULONG rate, ULONG ioFormat, ULONG bufferFrames, ASIO_GEOMETRY* out);

// Ring bytes of 40 ms at `rate` for `channels` channels; 0 when the sample
// width is unknown or the size passes 32 bits.
ULONG AsioRingSize(ULONG rate, ULONG ioFormat, ULONG sampleType, ULONG channels);
