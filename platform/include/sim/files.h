// Test- and host-side control of the file stand-in: where "\SystemRoot\"
// points on the host.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// Maps "\SystemRoot\" to a host directory. Names below it match without
// case, one path element at a time (an exact spelling wins over others).
// An empty directory (the default) makes every open fail with
// STATUS_OBJECT_PATH_NOT_FOUND.
void SetSystemRoot(const std::string& directory);
std::string GetSystemRoot();

// File handles (objects) currently open: a test ends with none.
size_t FileOpenCount();

}  // namespace sim
