// libFuzzer target: arbitrary bytes, cut arbitrarily into reads, through the terminal emulation.
//
// Besides crashes, an input is a finding when it takes longer than its time budget: 100 ms per 4 KiB
// (TERMINAL_FUZZ_BUDGET_MS overrides the 100), since a slow input is a hang on a slower machine. An input
// over budget is timed once more before it counts, so that a moment of load on a shared machine is not
// taken for a finding.

#include "tests/fuzz/terminalfeed.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const double budgetMs = [] {
        const char* configured = std::getenv("TERMINAL_FUZZ_BUDGET_MS");
        return configured != nullptr ? std::atof(configured) : 100.0;
    }();
    const auto timed = [data, size] {
        const auto start = std::chrono::steady_clock::now();
        feedTerminal(data, size);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    const double allowedMs = budgetMs * (size > 4096 ? static_cast<double>(size) / 4096.0 : 1.0);
    double elapsedMs = timed();
    if (elapsedMs > allowedMs)
        elapsedMs = timed();
    if (elapsedMs > allowedMs) {
        std::fprintf(stderr, "slow input: %zu bytes took %.1f ms, more than %.1f ms\n", size, elapsedMs, allowedMs);
        std::abort();
    }
    return 0;
}
