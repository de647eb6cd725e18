// Whole exchanges through the library as the host calls it, against the
// emulated terminal on loopback: an upload of a table, a download of the
// collected data, and the smallest exchange (a clear), which is dominated by
// the connection set-up that every command pays.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tests/host_harness.h"
#include "tools/terminal/terminal_emulator.h"

using namespace harness;

namespace {

const char kAddress[] = "127.0.3.1";

std::string table(size_t bytes)
{
    const std::string row = "4601234567890;Молоко пастеризованное 3,2% 1 л;12\n";
    std::string out;
    while (out.size() < bytes)
        out += row;
    return out;
}

struct Session {
    tavrolink::emu::TerminalEmulator terminal{kAddress};
    Component component;

    Session()
    {
        if (!terminal.start())
            abort();
        std::vector<Param> p = {Param::empty(), Param::empty(),
                                Param::str(connectionParameters(kAddress))};
        if (!component.call("ConnectEquipment", p).ok())
            abort();
    }
};

void UploadTable(benchmark::State& state)
{
    Session s;
    std::vector<Param> p = {Param::str(""), Param::str(table(size_t(state.range(0)))),
                            Param::str("last")};
    for (auto _ : state) {
        if (!s.component.call("UploadTable", p).ok())
            state.SkipWithError("upload failed");
        s.terminal.reset();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(UploadTable)->Arg(64 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void DownloadTable(benchmark::State& state)
{
    Session s;
    s.terminal.setCollectedDataFromUtf8(table(size_t(state.range(0))));
    for (auto _ : state) {
        std::vector<Param> p = {Param::str(""), Param::empty()};
        if (!s.component.call("DownloadTable", p).ok())
            state.SkipWithError("download failed");
        void* block = p[1].var.pwstrVal;
        s.component.memory().FreeMemory(&block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(DownloadTable)->Arg(64 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void ClearTable(benchmark::State& state)
{
    Session s;
    for (auto _ : state) {
        std::vector<Param> p = {Param::str("")};
        if (!s.component.call("ClearTable", p).ok())
            state.SkipWithError("clear failed");
        if (state.iterations() % 1000 == 0)
            s.terminal.reset();
    }
}
BENCHMARK(ClearTable)->UseRealTime();

}  // namespace
