#include <gtest/gtest.h>
#include "sim/kernel_test.h"
#include "tools/host/host_session.h"
#include "tools/host/ks_names.h"
namespace {
class Smoke : public sim::KernelTest {};
TEST_F(Smoke, Starts) {
    host::HostSession s;
    std::string error;
    ASSERT_TRUE(s.PlugDevice({}, &error)) << error;
    NTSTATUS st = s.Start();
    printf("start %s\n", host::StatusText(st).c_str());
    for (auto& v : s.Subdevices()) printf("sub %s\n", host::Narrow(v.name).c_str());
    for (auto& c : s.Connections()) printf("conn %s:%u -> %s:%u\n", host::Narrow(c.fromName).c_str(), c.fromPin, host::Narrow(c.toName).c_str(), c.toPin);
    s.Remove();
}
}
