// Keeps the stand-in's rule reports (sim/violation.h) for a test that
// expects them, instead of failing the test; the handler it replaced is
// back when it goes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sim/violation.h"

namespace testsupport {

struct ViolationReport {
    std::string file;
    int line;
    std::string what;
};

class ViolationRecorder {
public:
    ViolationRecorder() {
        previous_ = sim::SetViolationHandler([this](const char* file, int line, const std::string& what) {
            std::lock_guard<std::mutex> guard(lock_);
            reports_.push_back({file, line, what});
        });
    }
    ~ViolationRecorder() { sim::SetViolationHandler(previous_); }
    ViolationRecorder(const ViolationRecorder&) = delete;
    ViolationRecorder& operator=(const ViolationRecorder&) = delete;

    std::vector<ViolationReport> Reports() const {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }

private:
    mutable std::mutex lock_;
    std::vector<ViolationReport> reports_;
    sim::ViolationHandler previous_;
};

}  // namespace testsupport
