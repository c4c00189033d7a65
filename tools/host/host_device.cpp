// The host program's built-in headset (see host_device.h).
#include "tools/host/host_device.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "tools/host/wav_io.h"

namespace host {

namespace {

// One jack per terminal on both channels, without the bits that would say
// it cannot detect presence: its state follows the connection mask.
constexpr ULONG kJackChannels = 0x3;

}  // namespace

bool ReadMicSamples(const std::string& path, MicSamples* mic, std::string* error) {
    WAVEFORMATEXTENSIBLE format;
    if (!ReadWavSamples(path, kMaxMicSamples, &format, &mic->samples, error)) return false;
    mic->channels = format.Format.nChannels;
    mic->rate = format.Format.nSamplesPerSec;
    return true;
}

std::string MicMismatch(const MicSamples& mic, const std::string& path, const WAVEFORMATEXTENSIBLE& format) {
    const std::string file = "--mic-wav " + path;
    if (mic.rate != format.Format.nSamplesPerSec)
        return file + " is " + std::to_string(mic.rate) + " Hz, the capture stream runs at " +
               std::to_string(format.Format.nSamplesPerSec) + " Hz (nothing converts the rate)";
    if (mic.channels != 1 && mic.channels != format.Format.nChannels)
        return file + " has " + std::to_string(mic.channels) + " channels, the capture stream " +
               std::to_string(format.Format.nChannels) + " (a mono file feeds every channel; another must match)";
    return "";
}

simusb::SampleGenerator MicGenerator(std::shared_ptr<const MicSamples> mic) {
    return [mic](uint64_t frame, UCHAR channel, const simusb::StreamFormat& format, ULONG) -> LONG {
        if (frame >= mic->Frames() || format.subframeSize == 0 || format.subframeSize > 4) return 0;
        const USHORT source = channel < mic->channels ? channel : 0;
        return mic->samples[frame * mic->channels + source] >> (32 - 8 * format.subframeSize);
    };
}

simusb::DescriptorSet HostHeadset() {
    simusb::Uac1HeadsetOptions options;
    options.outputTerminalType = simusb::UAC_TERMINAL_HEADSET;
    options.inputTerminalType = simusb::UAC_TERMINAL_HEADSET;
    options.masterControls = true;
    return simusb::BuildUac1Headset(options);
}

LONG ToneSample(double hz, double dbfs, uint64_t frame, ULONG rate, const simusb::StreamFormat& format) {
    if (rate == 0) return 0;
    const double full = std::ldexp(1.0, 8 * format.subframeSize - 1) - 1;
    const double amplitude = std::pow(10.0, dbfs / 20.0) * full;
    const double phase = 2.0 * M_PI * hz * (double)(frame % ((uint64_t)rate * 1000)) / (double)rate;
    return (LONG)std::lround(amplitude * std::sin(phase));
}

void PrepareHeadset(simusb::SimDevice& device, std::shared_ptr<const MicSamples> mic) {
    {
        auto lock = device.lock();
        for (UCHAR terminal : {kHeadsetOutputTerminal, kHeadsetInputTerminal}) {
            device.model().SetJacks(terminal, {{kJackChannels, 0}});
            device.model().SetConnectedMask(terminal, kJackChannels);
        }
    }
    simusb::SampleGenerator generator;
    if (mic != nullptr) {
        generator = MicGenerator(std::move(mic));
    } else {
        // The tone's phase follows the device's own frame count at the
        // rate of the running stream.
        generator = [](uint64_t frame, UCHAR, const simusb::StreamFormat& format, ULONG rate) {
            return ToneSample(kMicToneHz, kMicToneDbfs, frame, rate, format);
        };
    }
    device.SetSourceGenerator(kHeadsetInEndpoint, generator);
}

void SetHeadsetJack(simusb::SimDevice& device, bool render, bool plugged) {
    const UCHAR terminal = render ? kHeadsetOutputTerminal : kHeadsetInputTerminal;
    {
        auto lock = device.lock();
        device.model().SetConnectedMask(terminal, plugged ? kJackChannels : 0);
    }
    device.QueueUac1Status(terminal);
}

}  // namespace host
