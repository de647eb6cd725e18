// A test fixture that starts emulated terminals on demand, and checks at the
// end, once they are stopped, that the process holds as many descriptors as
// before the test: whatever the driver opened, it closed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "terminal_emulator.h"
#include "tests/open_sockets.h"

class TerminalsFixture : public ::testing::Test {
protected:
    void SetUp() override { descriptorsBefore_ = testing_sockets::openDescriptors(); }

    void TearDown() override
    {
        terminals_.clear();
        EXPECT_EQ(testing_sockets::openDescriptors(), descriptorsBefore_)
            << "a descriptor was left open";
    }

    tavrolink::emu::TerminalEmulator& startTerminal(const std::string& address)
    {
        terminals_.push_back(std::make_unique<tavrolink::emu::TerminalEmulator>(address));
        tavrolink::emu::TerminalEmulator& t = *terminals_.back();
        EXPECT_TRUE(t.start()) << t.lastError();
        return t;
    }

private:
    std::vector<std::unique_ptr<tavrolink::emu::TerminalEmulator>> terminals_;
    size_t descriptorsBefore_ = 0;
};
