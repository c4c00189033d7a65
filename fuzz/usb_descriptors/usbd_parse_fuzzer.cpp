#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nt/pool.h"
#include "platform/usb/sim_device.h"
#include "usb/usbd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9 || size > 0xFFFF) return 0;
    // The callers' contract: the buffer holds wTotalLength bytes.
    std::vector<uint8_t> bytes(data, data + size);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    if (config->wTotalLength > size) config->wTotalLength = (USHORT)size;

    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    PVOID start = config;
    while (PUSB_INTERFACE_DESCRIPTOR i =
               USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1)) {
        list.push_back({i, nullptr});
        start = reinterpret_cast<uint8_t*>(i) + i->bLength;
        if (list.size() > 300) break;
    }
    for (LONG type = 0; type < 8; ++type)
        USBD_ParseDescriptors(config, config->wTotalLength, config, type);
    list.push_back({nullptr, nullptr});
    if (PURB urb = USBD_CreateConfigurationRequestEx(config, list.data())) ExFreePool(urb);

    // The simulated device walks the same bytes and answers a few requests.
    simusb::DescriptorSet set;
    set.device.assign(18, 0);
    set.configuration.assign(data, data + size);
    simusb::SimDevice device(set);
    uint8_t buffer[256];
    device.HandleControlTransfer({0x00, 9, 1, 0, 0}, buffer, 0);
    for (uint16_t index : {0x0200, 0x0201, 0x0A00, 0x0300, 0x0001}) {
        for (uint16_t value : {0x0100, 0x0201, 0x0200, 0x0800, 0x02FF}) {
            device.HandleControlTransfer({0xA1, 0x81, value, index, 255}, buffer, 255);
            device.HandleControlTransfer({0xA1, 0x02, value, index, 255}, buffer, 255);
        }
    }
    device.HandleControlTransfer({0x01, 11, 1, 1, 0}, buffer, 0);
    device.ConsumeIsoOut(0x01, buffer, 192);
    device.ProduceIsoIn(0x81, buffer, 4);
    device.ProduceIsoIn(0x82, buffer, 200);
    return 0;
}
