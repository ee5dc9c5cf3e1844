// In the test programs a fault the kit finds fails the running test.

#include <gtest/gtest.h>

#include "Kit/Process.h"

namespace {

const bool installed = [] {
    duoquill::test::setFaultHandler([](const std::string& report) { ADD_FAILURE() << report; });
    return true;
}();

}  // namespace
