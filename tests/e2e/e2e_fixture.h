// End-to-end tests through the host library: the real driver loaded by
// the PnP harness on the built-in headset (or a descriptor file), driven
// as Windows and a user-mode client would, in virtual time. The session is
// removed before the kernel scope's leak checks run.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/executor.h"
#include "tests/support/kernel_test.h"
#include "tools/host/host_device.h"
#include "tools/host/host_session.h"
#include "tools/host/ks_names.h"

namespace e2etest {

constexpr LONGLONG kMs = sim::kTicksPerMillisecond;

class E2eTest : public sim::KernelTest {
protected:
    void TearDown() override {
        session_.reset();
        sim::KernelTest::TearDown();
    }

    // A new session on the device (the headset when file is empty),
    // started; the start's status.
    NTSTATUS StartSession(const std::string& file = "", const std::string& stateDir = "",
                          simusb::UsbSpeed speed = simusb::UsbSpeed::Full) {
        // The old session goes first: its end resets the stand-in's global
        // state (front-end hooks, registry file), which the new one sets up.
        session_.reset();
        session_ = std::make_unique<host::HostSession>();
        std::string error;
        if (!stateDir.empty()) {
            EXPECT_TRUE(session_->UseStateDirectory(stateDir, &error)) << error;
        }
        host::DeviceChoice choice;
        choice.descriptorFile = file;
        choice.speed = speed;
        EXPECT_TRUE(session_->PlugDevice(choice, &error)) << error;
        return session_->Start();
    }

    host::HostSession& Session() { return *session_; }
    std::vector<std::u16string> Filters() {
        std::vector<std::u16string> names;
        for (const auto& s : session_->Subdevices()) names.push_back(s.name);
        return names;
    }

    std::unique_ptr<host::HostSession> session_;
};

// A fresh directory under the build tree for one test.
std::string TestDirectory(const std::string& name);

}  // namespace e2etest
