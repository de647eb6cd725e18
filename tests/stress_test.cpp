// Many objects at once, and one object for a long time: every terminal sees
// only its own frames, and no descriptor or host block is left behind.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/host_harness.h"
#include "tools/terminal/terminal_emulator.h"

using namespace harness;
using tavrolink::emu::Frame;
using tavrolink::emu::TerminalEmulator;

namespace {

constexpr int kObjects = 32;
constexpr int kExchangesEach = 1000;
constexpr int kSoakExchanges = 100000;

std::string addressOf(int i) { return "127.0.2." + std::to_string(i + 1); }

// One exchange of the rotation: an upload package tagged with its sender, a
// download, or a clear.
bool exchange(Component& c, int i, const std::string& tag)
{
    std::vector<Param> p;
    switch (i % 3) {
    case 0:
        p = {Param::str(""), Param::str(tag + " " + std::to_string(i)), Param::str("first")};
        return c.call("UploadTable", p).ok();
    case 1:
        p = {Param::str(""), Param::empty()};
        return c.call("DownloadTable", p).ok();
    default:
        p = {Param::str("")};
        return c.call("ClearTable", p).ok();
    }
}

bool connect(Component& c, const std::string& address)
{
    std::vector<Param> p = {Param::empty(), Param::empty(), Param::str(connectionParameters(address))};
    return c.call("ConnectEquipment", p).ok();
}

TEST(Stress, ManyObjectsOnManyThreadsKeepToTheirOwnTerminals)
{
    // Counted before the terminals start and after they stop, so that only
    // what the driver holds can make a difference.
    const size_t descriptorsBefore = openDescriptors();
    std::vector<std::unique_ptr<TerminalEmulator>> terminals;
    for (int t = 0; t < kObjects; ++t) {
        terminals.emplace_back(new TerminalEmulator(addressOf(t)));
        ASSERT_TRUE(terminals.back()->start()) << terminals.back()->lastError();
        terminals.back()->setCollectedDataFromUtf8("данные " + std::to_string(t));
    }

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kObjects; ++t) {
        threads.emplace_back([&, t] {
            Component component;
            if (!connect(component, addressOf(t)))
                ++failures;
            const std::string tag = "object-" + std::to_string(t);
            for (int i = 0; i < kExchangesEach; ++i) {
                // Each clear drops the terminal's data, so put it back for the
                // next download.
                if (i % 3 == 1)
                    terminals[t]->setCollectedDataFromUtf8("данные " + std::to_string(t));
                if (!exchange(component, i, tag))
                    ++failures;
            }
            if (component.memory().liveBlocks() != size_t(kExchangesEach / 3 + 1))
                ++failures;  // one block per download and one for the device identifier
        });
    }
    for (std::thread& th : threads)
        th.join();

    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kObjects; ++t) {
        const std::vector<Frame> frames = terminals[t]->frames();
        ASSERT_EQ(frames.size(), size_t(kExchangesEach)) << addressOf(t);
        const std::string tag = "object-" + std::to_string(t) + " ";
        for (size_t i = 0; i < frames.size(); i += 3)
            EXPECT_EQ(frames[i].text().rfind(tag, 0), 0u) << frames[i].text();
        terminals[t]->stop();
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST(Stress, SoakOfOneObjectLeavesNothingBehind)
{
    const size_t descriptorsBefore = openDescriptors();
    TerminalEmulator terminal(addressOf(kObjects));
    ASSERT_TRUE(terminal.start()) << terminal.lastError();
    Component component;
    ASSERT_TRUE(connect(component, addressOf(kObjects)));

    // Warm up, so that buffers that are kept and reused are already there.
    for (int i = 0; i < 300; ++i)
        exchange(component, i * 3 + 2, "soak");
    const size_t heapBefore = mallinfo2().uordblks;

    int failures = 0;
    for (int i = 0; i < kSoakExchanges; ++i) {
        // Uploads and clears only: downloads hand blocks to the host, which
        // the memory manager here keeps until the end by design.
        if (!exchange(component, (i % 2) * 2, "soak"))
            ++failures;
        if (i % 1000 == 999)
            terminal.reset();  // the emulator's own records are not the driver's memory
    }
    const size_t heapAfter = mallinfo2().uordblks;
    terminal.stop();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    RecordProperty("heap_before", std::to_string(heapBefore));
    RecordProperty("heap_after", std::to_string(heapAfter));
    printf("soak: %d exchanges, heap in use %zu -> %zu bytes, descriptors %zu\n", kSoakExchanges,
           heapBefore, heapAfter, descriptorsBefore);
    // A leak of even a few bytes per exchange would show as hundreds of kB.
    EXPECT_LT(heapAfter, heapBefore + 256 * 1024);
}

}  // namespace
