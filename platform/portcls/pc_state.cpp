// Global state of the port-class stand-in: failure injection, the reported
// version, the front-end hooks, forwarded content, and the small helpers
// the other files share.
#include <array>
#include <atomic>

#include "nt/ke.h"
#include "platform/portcls/pc_internal.h"

namespace {

constexpr size_t kCallCount = static_cast<size_t>(sim::PcCall::Count);
constexpr DWORD kDefaultVersion = 11;

struct Failure {
    uint64_t remaining = 0;  // 0: none armed
    NTSTATUS status = STATUS_SUCCESS;
};

struct State {
    std::mutex lock;
    std::array<uint64_t, kCallCount> calls{};
    std::array<Failure, kCallCount> failures{};
    std::array<PC_FILTER_HOOKS, PcPortKindCount> hooks{};
    std::vector<sim::PcForwardedContent> forwarded;
    std::atomic<DWORD> version{kDefaultVersion};
};

State& Global() {
    static State state;
    return state;
}

}  // namespace

namespace pcls {

NTSTATUS CheckCall(sim::PcCall call) {
    State& s = Global();
    size_t i = static_cast<size_t>(call);
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.calls[i];
    Failure& f = s.failures[i];
    if (f.remaining == 0) return STATUS_SUCCESS;
    if (--f.remaining != 0) return STATUS_SUCCESS;
    return f.status;
}

DWORD ReportedVersion() { return Global().version.load(); }

PC_FILTER_HOOKS FilterHooks(PC_PORT_KIND kind) {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.hooks[kind];
}

void RecordForwardedContent(ULONG contentId, PVOID reserved, const DRMFORWARD& forward) {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    s.forwarded.push_back({contentId, reserved, forward});
}

bool NamesEqual(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = char16_t(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = char16_t(y - u'a' + u'A');
        if (x != y) return false;
    }
    return true;
}

std::u16string ToU16(PCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string ToU16(const UNICODE_STRING& text) {
    if (text.Buffer == nullptr) return std::u16string();
    return std::u16string(text.Buffer, text.Length / sizeof(WCHAR));
}

}  // namespace pcls

VOID PcSetFilterHooks(PC_PORT_KIND Kind, const PC_FILTER_HOOKS* Hooks) {
    if (Kind < 0 || Kind >= PcPortKindCount) return;
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    s.hooks[Kind] = Hooks ? *Hooks : PC_FILTER_HOOKS{};
}

NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::ForwardContentToDeviceObject);
    if (!NT_SUCCESS(status)) return status;
    if (DrmForward == nullptr) return STATUS_INVALID_PARAMETER;
    pcls::RecordForwardedContent(ContentId, Reserved, *DrmForward);
    return STATUS_SUCCESS;
}

namespace sim {

const char* PcCallName(PcCall call) {
    static const char* const kNames[kCallCount] = {
        "PcInitializeAdapterDriver",
        "PcAddAdapterDevice",
        "PcNewPort",
        "IPort::Init",
        "PcRegisterSubdevice",
        "IUnregisterSubdevice::UnregisterSubdevice",
        "PcRegisterPhysicalConnection",
        "IUnregisterPhysicalConnection::UnregisterPhysicalConnection",
        "PcRegisterAdapterPowerManagement",
        "PcNewServiceGroup",
        "PcNewRegistryKey",
        "PcGetDeviceProperty",
        "PcForwardContentToDeviceObject",
    };
    size_t i = static_cast<size_t>(call);
    return i < kCallCount ? kNames[i] : "?";
}

void PcFailNth(PcCall call, uint64_t n, NTSTATUS status) {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failures[static_cast<size_t>(call)] = {n, status};
}

void PcClearFailures() {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failures.fill(Failure{});
}

uint64_t PcCallCount(PcCall call) {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.calls[static_cast<size_t>(call)];
}

void PcSetVersion(DWORD version) { Global().version = version; }

void PcResetState() {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    s.calls.fill(0);
    s.failures.fill(Failure{});
    s.hooks.fill(PC_FILTER_HOOKS{});
    s.forwarded.clear();
    s.version = kDefaultVersion;
}

std::vector<PcForwardedContent> PcForwardedContentLog() {
    State& s = Global();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.forwarded;
}

}  // namespace sim
