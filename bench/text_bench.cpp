// Throughput of the text paths that every table crosses: host string to UTF-8
// (uploads, documents from the host), UTF-8 to host string (everything handed
// to the host), and the method lookup. The standard library's converter over
// wchar_t is measured beside them as the reference.
#include <benchmark/benchmark.h>

#include <codecvt>
#include <locale>
#include <string>
#include <vector>

#include "method_registry.h"
#include "myUtils.h"
#include "utf_codec.h"

namespace {

// A table row of the kind integrators upload: barcode, Cyrillic name, count.
std::string sampleUtf8(size_t bytes, bool cyrillic)
{
    const std::string row = cyrillic ? "4601234567890;Молоко пастеризованное 3,2% 1 л;12\n"
                                     : "4601234567890;Pasteurised milk 3.2% 1 l;12\n";
    std::string out;
    while (out.size() < bytes)
        out += row;
    return out;
}

std::vector<WCHAR_T> toHost(const std::string& utf8)
{
    std::vector<WCHAR_T> units(utf::utf16LengthOf(utf8.data(), utf8.size()) + 1);
    units.resize(utf::writeUtf16(utf8.data(), utf8.size(), units.data()));
    units.push_back(0);
    return units;
}

void HostToUtf8(benchmark::State& state)
{
    const std::vector<WCHAR_T> host = toHost(sampleUtf8(1 << 20, state.range(0) != 0));
    for (auto _ : state) {
        StrUtils text(host.data());
        benchmark::DoNotOptimize(text.str_char());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(host.size() * 2));
}
BENCHMARK(HostToUtf8)->Arg(0)->Arg(1)->ArgNames({"cyrillic"});

void Utf8ToHost(benchmark::State& state)
{
    const std::string utf8 = sampleUtf8(1 << 20, state.range(0) != 0);
    for (auto _ : state) {
        StrUtils text(utf8.c_str());
        benchmark::DoNotOptimize(text.str_WCHAR_T());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(utf8.size()));
}
BENCHMARK(Utf8ToHost)->Arg(0)->Arg(1)->ArgNames({"cyrillic"});

// The reference: host units widened to wchar_t, then the standard converter.
void StandardConverterHostToUtf8(benchmark::State& state)
{
    const std::vector<WCHAR_T> host = toHost(sampleUtf8(1 << 20, true));
    for (auto _ : state) {
        std::wstring wide(host.begin(), host.end() - 1);
        std::wstring_convert<std::codecvt_utf8_utf16<wchar_t>> converter;
        std::string out = converter.to_bytes(wide);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(host.size() * 2));
}
BENCHMARK(StandardConverterHostToUtf8);

void FindMethodByName(benchmark::State& state)
{
    const std::vector<WCHAR_T> name = toHost(state.range(0) ? "УстановитьЛокализацию" : "SetLocalization");
    for (auto _ : state)
        benchmark::DoNotOptimize(findMethodNumber(name.data()));
}
BENCHMARK(FindMethodByName)->Arg(0)->Arg(1)->ArgNames({"russian"});

}  // namespace
