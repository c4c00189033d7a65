// The walk over one Audio Streaming interface group that both class
// models share: the group's interface descriptors set its current
// alternate setting, AS_GENERAL and FORMAT_TYPE go to the model's
// handlers, endpoints pass, and any other descriptor ends the group.
#pragma once

#include "adapter/model/descriptor_cursor.h"
#include "topology/uac_entity.h"
#include "usb/usb_descriptors.h"

// first: the group's interface descriptor; *end: where the group ended (the
// descriptor that ended it, or the end of the bytes). Group has
// InterfaceNumber and AlternateSetting.
template <class Model, class Group>
NTSTATUS WalkStreamingGroup(Model* model, const UCHAR* first, ULONG bytes, DESCRIPTOR_SCOPE scope, Group* group,
                            const UCHAR** end, NTSTATUS (Model::*onGeneral)(const UCHAR*, Group*),
                            NTSTATUS (Model::*onFormat)(const UCHAR*, Group*)) {
    CDescriptorCursor cursor(first, bytes, scope);
    NTSTATUS status = STATUS_SUCCESS;
    *end = first + bytes;
    for (bool inGroup = true; inGroup && NT_SUCCESS(status);) {
        const UCHAR* at = cursor.Position();
        DESCRIPTOR_VIEW view;
        const CURSOR_RESULT next = cursor.Next(&view);
        if (next == CURSOR_END) break;
        if (next == CURSOR_TRUNCATED) {
            LogDescriptorRefusal(group->InterfaceNumber, 0, cursor.Remaining() > 2 ? at[2] : 0,
                                 "a descriptor is truncated or shorter than its kind needs");
            return STATUS_UNSUCCESSFUL;
        }
        if (view.Type == USB_INTERFACE_DESCRIPTOR_TYPE && view.Bytes[2] == group->InterfaceNumber) {
            group->AlternateSetting = view.Bytes[3];
        } else if (view.Type == USB_CS_INTERFACE_DESCRIPTOR_TYPE && view.Subtype == UAC_AS_GENERAL) {
            status = (model->*onGeneral)(view.Bytes, group);
        } else if (view.Type == USB_CS_INTERFACE_DESCRIPTOR_TYPE && view.Subtype == UAC_FORMAT_TYPE) {
            status = (model->*onFormat)(view.Bytes, group);
        } else if (view.Type != USB_CS_INTERFACE_DESCRIPTOR_TYPE && view.Type != USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   view.Type != USB_CS_ENDPOINT_DESCRIPTOR_TYPE) {
            // Another interface, or a descriptor of another kind.
            *end = at;
            inGroup = false;
        }
    }
    return status;
}
