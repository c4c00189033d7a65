// IUacHal: the device-family model's own interface (every model but the
// three chip families answers it). The adapter caches it once and answers
// IID_IUacHal with it.
#pragma once

#include "adapter/base/unknown.h"
#include "usb/usb_defs.h"

// {B00C6788-253F-4638-9460-336A8BE6EE9A}
inline constexpr GUID IID_IUacHal = {0xB00C6788, 0x253F, 0x4638,
                                     {0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE, 0x9A}};

struct IUacHal : public IUnknown {
    // Re-registers the wave subdevices whose output type changed.
    virtual NTSTATUS UpdateSubdevices(ULONG unitId) = 0;
    // The model's own callback object; NULL out gives STATUS_UNSUCCESSFUL.
    virtual NTSTATUS GetCallbackObject(PVOID* object) = 0;
    virtual NTSTATUS ParseAudioControl(const UCHAR* acInterfaceDescriptor, ULONG bytesToEnd) = 0;
    virtual NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                         const UCHAR* firstAsInterfaceDescriptor, ULONG bytesToEnd) = 0;
    // The UAC 2.0 model's table ends before this slot.
    virtual NTSTATUS InitChip() = 0;
};
typedef IUacHal* PUACHAL;
