// USBD helper routines: descriptor walks over a configuration descriptor and
// the SELECT_CONFIGURATION request builder.
//
// The descriptor bytes come from the device and are untrusted. The walks
// stop (return NULL) at a descriptor whose bLength is below 2, at one that
// would pass the end of the buffer (wTotalLength of the configuration, or
// TotalLength for USBD_ParseDescriptors), and when the start position lies
// outside the buffer. A caller must make sure the buffer really holds
// wTotalLength bytes. Any IRQL; no locks.
#pragma once

#include "usb/usb_defs.h"

// First interface descriptor at or after StartPosition whose fields match
// every criterion that is not -1. Interface descriptors shorter than 9
// bytes never match.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// First descriptor of DescriptorType at or after StartPosition within the
// TotalLength bytes at DescriptorBuffer.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// Builds a SELECT_CONFIGURATION URB for the interfaces of InterfaceList
// (terminated by an entry whose InterfaceDescriptor is NULL). Each entry's
// Interface is pointed at its USBD_INTERFACE_INFORMATION inside the URB,
// with InterfaceNumber, AlternateSetting and NumberOfPipes filled and every
// pipe's MaximumTransferSize set to the default. The URB comes from
// NonPagedPoolNx with tag "USBD"; the caller frees it with ExFreePool.
// NULL without memory, with an empty list, or when the request would not
// fit the URB's 16-bit length.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

constexpr ULONG USBD_POOL_TAG = MakePoolTag('U', 'S', 'B', 'D');
