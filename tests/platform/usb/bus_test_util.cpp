// Synchronous request helpers of the bus tests.
#include "bus_test_util.h"

#include "nt/pool.h"
#include "usb/usbd.h"

namespace bustest {

NTSTATUS BusTest::GetDescriptor(UCHAR type, UCHAR index, void* buffer, ULONG length, ULONG* received) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 type == USB_STRING_DESCRIPTOR_TYPE ? 0x0409 : 0, buffer, nullptr, length,
                                 nullptr);
    const NTSTATUS status = Submit(&urb);
    if (received != nullptr) *received = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

NTSTATUS BusTest::SelectConfiguration() {
    simusb::Bytes config = device().descriptors().configuration;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(descriptor->bNumInterfaces + 1);
    size_t found = 0;
    for (LONG number = 0; number < 256 && found < descriptor->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (d != nullptr) list[found++].InterfaceDescriptor = d;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = Submit(urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS BusTest::SelectInterface(UCHAR number, UCHAR alternate, std::vector<USBD_PIPE_INFORMATION>* pipes) {
    UrbBuffer buffer(GET_SELECT_INTERFACE_REQUEST_SIZE(8));
    PURB urb = buffer.urb();
    UsbBuildSelectInterfaceRequest(urb, (USHORT)buffer.size(), bus().ConfigurationHandle(), number, alternate);
    const NTSTATUS status = Submit(urb);
    if (pipes != nullptr) {
        const auto& info = urb->UrbSelectInterface.Interface;
        pipes->assign(info.Pipes, info.Pipes + (NT_SUCCESS(status) ? info.NumberOfPipes : 0));
    }
    return status;
}

NTSTATUS BusTest::SetEndpointRate(UCHAR endpoint, ULONG rate) {
    URB urb{};
    UCHAR data[3] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16)};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, UAC1_SET_CUR, UAC1_EP_SAMPLING_FREQ << 8,
                          endpoint, data, nullptr, sizeof(data), nullptr);
    return Submit(&urb);
}

}  // namespace bustest
