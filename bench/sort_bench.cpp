// sort_bench.cpp: times the whole drop operation on an archive of 1024 entries with full-range keys.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "drop.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

void Quiet(const char*, const char*, void*) {}

// Each iteration sorts a fresh copy of the archive; copying and clearing up are not timed.
void BM_SortDroppedFile(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / ("tessorel-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path source = dir / "source.snd";
    const std::string make = std::string(TESSOREL_MAKE_ARCHIVE) + " '" + source.string() +
                             "' 1024 " + std::to_string(state.range(0)) + " 7";
    if (std::system(make.c_str()) != 0) {
        state.SkipWithError("cannot make the archive");
        return;
    }
    const fs::path dropped = dir / "fx.snd";
    PlatSetMessageSink(Quiet, nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(dir / "fx.snd");
        fs::remove(dir / "fx_old.snd");
        fs::copy_file(source, dropped);
        state.ResumeTiming();
        if (SortDroppedFile(dropped.string().c_str()) != DropResult::Sorted) {
            state.SkipWithError("the sort failed");
            break;
        }
    }
    PlatSetMessageSink(nullptr, nullptr);
    state.SetBytesProcessed(state.iterations() * 1024 * (16 + state.range(0)));
    fs::remove_all(dir);
}
BENCHMARK(BM_SortDroppedFile)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond)->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
