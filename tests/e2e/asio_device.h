// The ASIO end-to-end tests' device start: a descriptor set saved as a file
// of this process and plugged into a new host session, with the vendor
// answers the ASIO words need.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "adapter/private_interfaces.h"
#include "platform/usb/descriptor_file.h"
#include "sim/iomgr.h"
#include "tests/e2e/e2e_fixture.h"

namespace e2etest {

// Saves set as `name` in this process's device directory (parallel runs of
// a test program do not share it), plugs it into a new session and starts
// it with register A answering 0x0E and register B 0.
inline void StartAsioDevice(std::unique_ptr<host::HostSession>& session, const simusb::DescriptorSet& set,
                            const std::string& name) {
    const std::string dir = TestDirectory("device-" + std::to_string(getpid()));
    ASSERT_TRUE(host::MakeDirectories(dir));
    const std::string file = dir + "/" + name;
    ASSERT_TRUE(simusb::SaveDescriptorFile(file, set));
    session.reset();
    session = std::make_unique<host::HostSession>();
    std::string error;
    host::DeviceChoice choice;
    choice.descriptorFile = file;
    ASSERT_TRUE(session->PlugDevice(choice, &error)) << error;
    session->Device().SetVendorAnswer(0xC3, 0, 0x1A, 0, {0x0E});
    session->Device().SetVendorAnswer(0xC3, 0, 0x20, 0, {0x00});
    ASSERT_EQ(session->Start(), STATUS_SUCCESS);
}

// The class 1.0 headset with the ASIO string 0x50 "XRW4QN".
inline simusb::DescriptorSet AsioHeadset() {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    set.strings[0x50] = simusb::BuildStringDescriptor(u"XRW4QN");
    return set;
}

// The enabled ASIO interface's symbolic link, or empty.
inline std::u16string FindAsioLink() {
    for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces())
        if (i.referenceString == ASIO_INTERFACE_REFERENCE && i.enabled) return i.symbolicLink;
    return u"";
}

}  // namespace e2etest
