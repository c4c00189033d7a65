#include "tests/e2e/e2e_fixture.h"

#include <cstdlib>

namespace e2etest {

std::string TestDirectory(const std::string& name) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string leaf = std::string(info->test_suite_name()) + "." + info->name() + "." + name;
    for (char& c : leaf)
        if (c == '/') c = '_';
    const std::string dir = std::string(E2E_WORK_DIR) + "/" + leaf;
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot clear " << dir;
    return dir;
}

}  // namespace e2etest
