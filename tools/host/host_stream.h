// Playing and recording through the wave filters, as Windows' audio engine
// would: the streaming pin of a wave filter opened with a format
// (sim::WavePin), run for the simulated time asked, stepped down and
// closed. Playback returns what the device's sink received; recording what
// the pin read from the cyclic buffer.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/host/host_session.h"

namespace host {

// Called about every 10 ms of simulated time with the seconds done and the
// seconds the run takes.
using Progress = std::function<void(double done, double total)>;

struct StreamRun {
    NTSTATUS status = STATUS_SUCCESS;
    std::string error;  // why the run did not happen (status tells who refused)
    bool formatRefused = false;
    WAVEFORMATEXTENSIBLE format = {};
    std::vector<uint8_t> bytes;
};

// The data format a pin is opened with: the 64-byte header, the wave
// format, and (for formats flagged with attributes) the RAW mode list.
std::vector<uint8_t> ConnectFormat(const WAVEFORMATEXTENSIBLE& wave, bool withAttributes);

// The format a filter's intersection gives for a wildcard PCM range.
bool IntersectedFormat(const WaveFilter& filter, WAVEFORMATEXTENSIBLE* format, std::string* error);

// The engine formats of a wave filter's endpoint, as the engine offers them.
std::vector<WAVEFORMATEXTENSIBLE> OfferedFormats(HostSession& session, const WaveFilter& filter);
std::string FormatText(const WAVEFORMATEXTENSIBLE& format);

// A sine of hz at dbfs (peak) for seconds, in an integer PCM format.
std::vector<uint8_t> ToneBytes(const WAVEFORMATEXTENSIBLE& format, double hz, double dbfs, double seconds);

StreamRun Play(HostSession& session, const WAVEFORMATEXTENSIBLE& format, const std::vector<uint8_t>& pcm,
               const Progress& progress);
StreamRun Record(HostSession& session, double seconds, const Progress& progress);

}  // namespace host
