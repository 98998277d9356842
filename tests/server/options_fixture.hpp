// A test of the server's options: each starts from the defaults, and fatal
// configuration errors are recorded instead of ending the process.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/config/options.hpp"
#include "server/core/log.hpp"

class RecordsFatals : public ::testing::Test {
protected:
    void SetUp() override {
        vantrel::reset_options();
        vantrel::set_fatal_hook([this](const std::string& m) { fatals.push_back(m); });
    }
    void TearDown() override {
        vantrel::set_fatal_hook(nullptr);
        vantrel::reset_options();
        vantrel::debug_mode = 0;
    }
    std::vector<std::string> fatals;
};
