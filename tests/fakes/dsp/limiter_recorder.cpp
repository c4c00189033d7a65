#include "tests/fakes/dsp/limiter_recorder.h"

#include <mutex>
#include <sstream>

#include "dsp/limiter.h"

namespace limiterrecorder {
namespace {

std::mutex g_lock;
std::vector<std::string> g_calls;

template <typename T>
void Record(const char* name, T value) {
    std::ostringstream line;
    line << name << ":" << value;
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(line.str());
}

void Record(const char* name) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(name);
}

}  // namespace

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_calls;
}

void ClearCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
}

}  // namespace limiterrecorder

using limiterrecorder::Record;

// The real operations (the linker binds __real_X to X) and their wrappers
// (references to X from other objects bind to __wrap_X). Member functions
// take the object as their first argument.
extern "C" {
int __real__ZN8CLimiter15AllocateBuffersEv(CLimiter* self);
void __real__ZN8CLimiter11FreeBuffersEv(CLimiter* self);
void __real__ZN8CLimiter7SetModeEi(CLimiter* self, int mode);
void __real__ZN8CLimiter13SetMakeupGainEf(CLimiter* self, float gain);
void __real__ZN8CLimiter12SetThresholdEf(CLimiter* self, float threshold);
void __real__ZN8CLimiter9SetFormatEPK21_WAVEFORMATEXTENSIBLE(CLimiter* self, const WAVEFORMATEXTENSIBLE* format);
void __real__ZN8CLimiter7ProcessEPPfi(CLimiter* self, float** channels, int frames);
void __real__ZN8CLimiter5ResetEv(CLimiter* self);
void __real__ZN8CLimiter8ResetAllEv(CLimiter* self);

int __wrap__ZN8CLimiter15AllocateBuffersEv(CLimiter* self) {
    Record("AllocateBuffers");
    return __real__ZN8CLimiter15AllocateBuffersEv(self);
}
void __wrap__ZN8CLimiter11FreeBuffersEv(CLimiter* self) {
    Record("FreeBuffers");
    __real__ZN8CLimiter11FreeBuffersEv(self);
}
void __wrap__ZN8CLimiter7SetModeEi(CLimiter* self, int mode) {
    Record("SetMode", mode);
    __real__ZN8CLimiter7SetModeEi(self, mode);
}
void __wrap__ZN8CLimiter13SetMakeupGainEf(CLimiter* self, float gain) {
    Record("SetMakeupGain", gain);
    __real__ZN8CLimiter13SetMakeupGainEf(self, gain);
}
void __wrap__ZN8CLimiter12SetThresholdEf(CLimiter* self, float threshold) {
    Record("SetThreshold", threshold);
    __real__ZN8CLimiter12SetThresholdEf(self, threshold);
}
void __wrap__ZN8CLimiter9SetFormatEPK21_WAVEFORMATEXTENSIBLE(CLimiter* self, const WAVEFORMATEXTENSIBLE* format) {
    Record("SetFormat", format->Format.nChannels);
    __real__ZN8CLimiter9SetFormatEPK21_WAVEFORMATEXTENSIBLE(self, format);
}
void __wrap__ZN8CLimiter7ProcessEPPfi(CLimiter* self, float** channels, int frames) {
    Record("Process", frames);
    __real__ZN8CLimiter7ProcessEPPfi(self, channels, frames);
}
void __wrap__ZN8CLimiter5ResetEv(CLimiter* self) {
    Record("Reset");
    __real__ZN8CLimiter5ResetEv(self);
}
void __wrap__ZN8CLimiter8ResetAllEv(CLimiter* self) {
    Record("ResetAll");
    __real__ZN8CLimiter8ResetAllEv(self);
}
}
