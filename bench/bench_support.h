// The one benchmark pattern every file in bench/ uses.
//
// A kernel row is timed against memcpy of the same number of uncompressed
// bytes in the same run: kernel batch, copy batch, kernel batch, copy batch
// ..., each batch on the thread's CPU clock, so that time spent descheduled
// on a shared machine does not count. A row reports the kernel's GB/s, its
// ratio to memcpy from the best batch of each ("x_memcpy", stable to about
// 1 % for compute-bound kernels) and the median of the per-round ratios
// ("x_memcpy_med"), and its target where the row has one.
//
// Names are kernel/type/data/path: `planar_decode/u16/tile512x512/avx2`.
// Paths are labelled "scalar", "sse2", "avx2"; a kernel that does not
// consult the path is labelled with the baseline it runs ("sse2" on x86-64).
//
//     vb::add({"planar_decode", "u16", "tile512x512", path, 0.50}, [=] {
//         ... make the inputs ...
//         return vb::Case{bytes, [=] { planar_decode(...); }, [=] { return out == tile; }};
//     });
//
// A target against another row of the same binary (say AVX2 against SSE2)
// names that row: {..., .versus = "pfor_decode/u16/1M_b4/sse2",
// .versus_target = 1.1}; the summary reports the ratio of the two speeds.
//
// The set-up runs only when the row is selected, outside the timing.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/path_scope.h"
#include "varda_kernels.h"

namespace vb {

using Bytes = std::vector<unsigned char>;

constexpr size_t tile_side = 512;
inline const std::string tile_data = "tile512x512";

// What a row measures, as its set-up returns it.
struct Case {
    size_t bytes;                          // uncompressed bytes per call
    std::function<void()> run;             // one call of the kernel
    std::function<bool()> check = nullptr; // after timing: did it work?
    std::string note = {};                 // e.g. "4.52 bits/value"
};

struct Row {
    std::string kernel, type, data;
    int path = -1;     // 0, 1, 2; -1 when the kernel does not read the path
    double target = 0; // x memcpy the row should reach, 0 for none
    // A target relative to another row of the same binary, given by its full
    // name: this row's speed over that row's should reach `versus_target`.
    std::string versus = {};
    double versus_target = 0;
};

inline const char *type_of(uint64_t elem_size) {
    switch (elem_size) {
    case 1: return "u8";
    case 2: return "u16";
    case 4: return "u32";
    case 8: return "u64";
    default: return "?";
    }
}

// The paths worth timing here: on x86-64 sse2 (which scalar shares) and
// avx2 where the processor has it; elsewhere the portable loops.
inline std::vector<int> paths() {
    if (!(varda_simd_built() & 2u)) return {0};
    if (varda_simd_cpu() & 4u) return {1, 2};
    return {1};
}

inline const char *path_label(int path) {
    if (path >= 0) return varda_simd_name(path);
    return (varda_simd_built() & 2u) ? "sse2" : "scalar";
}

// A smooth field with noise of +-`noise`, as `elem_size`-byte samples.
inline Bytes smooth_tile(uint64_t elem_size, size_t width, size_t count, int noise = 3,
                         uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-noise, noise);
    Bytes out(count * elem_size);
    for (size_t i = 0; i < count; ++i) {
        const size_t r = i / width, c = i % width;
        const uint64_t v = 1000 + 5 * r + 3 * c + (r * c) / 64 + uint64_t(int64_t(jitter(rng)));
        std::memcpy(out.data() + i * elem_size, &v, elem_size);
    }
    return out;
}

namespace detail {

inline double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

inline int rounds() {
    const char *text = std::getenv("VARDA_BENCH_ROUNDS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 51;
}

struct Timing {
    double kernel = 0, copy = 0, median_ratio = 0; // seconds per call, best batch
};

// Interleaved batches of kernel calls and copies; each batch lasts about
// 0.3 ms so that the clock's cost and a cold first call stay small.
inline Timing interleave(size_t bytes, const std::function<void()> &run) {
    Bytes from(bytes, 1), to(bytes, 2);
    const auto copy = [&] {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    };
    run();
    copy();
    double start = thread_seconds();
    run();
    const double once = std::max(thread_seconds() - start, 1e-8);
    const int calls = int(std::clamp(3e-4 / once, 1.0, 100000.0));
    const auto batch = [&](const auto &body) {
        const double t0 = thread_seconds();
        for (int i = 0; i < calls; ++i) body();
        benchmark::ClobberMemory();
        return (thread_seconds() - t0) / calls;
    };
    Timing best{1e30, 1e30, 0};
    std::vector<double> ratios;
    for (int r = 0; r < rounds(); ++r) {
        const double k = batch(run), c = batch(copy);
        best.kernel = std::min(best.kernel, k);
        best.copy = std::min(best.copy, c);
        if (k > 0) ratios.push_back(c / k);
    }
    std::sort(ratios.begin(), ratios.end());
    best.median_ratio = ratios.empty() ? 0 : ratios[ratios.size() / 2];
    return best;
}

} // namespace detail

// Registers one row; `setup` returns its Case. Rows for a path this
// processor lacks are not registered.
template <class Setup> void add(const Row &row, Setup setup) {
    if (row.path == 2 && !(varda_simd_cpu() & 4u)) return;
    const std::string name =
        row.kernel + "/" + row.type + "/" + row.data + "/" + path_label(row.path);
    benchmark::RegisterBenchmark(
        name.c_str(),
        [row, setup](benchmark::State &state) {
            const vt::PathScope scope(row.path >= 0 ? row.path : varda_simd_path);
            const Case c = setup();
            detail::Timing t;
            for (auto _ : state) {
                t = detail::interleave(c.bytes, c.run);
                state.SetIterationTime(t.kernel);
            }
            if (c.check && !c.check()) state.SkipWithError("wrong output");
            state.counters["GB/s"] = double(c.bytes) / t.kernel * 1e-9;
            state.counters["memcpy_GB/s"] = double(c.bytes) / t.copy * 1e-9;
            state.counters["x_memcpy"] = t.copy / t.kernel;
            state.counters["x_memcpy_med"] = t.median_ratio;
            state.counters["target"] = row.target;
            std::string label = c.note;
            if (!row.versus.empty()) {
                char text[200];
                std::snprintf(text, sizeof text, "%svs %s >= %.2f", label.empty() ? "" : "; ",
                              row.versus.c_str(), row.versus_target);
                label += text;
            }
            if (!label.empty()) state.SetLabel(label);
        })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

// The console table: one line per row with the figures that matter. Asking
// for --benchmark_format=json or csv gives the library's own reporters.
class Reporter : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context &context) override {
        auto &out = GetOutputStream();
        const auto &cpu = context.cpu_info;
        out << context.executable_name << ": " << cpu.num_cpus << " CPUs at "
            << int(cpu.cycles_per_second / 1e6) << " MHz, L2 "
            << (cpu.caches.size() > 2 ? cpu.caches[2].size / 1024 : 0)
            << " KiB; kernels built Release, SIMD path by row\n"
            << "(A warning that the benchmark library was built as DEBUG concerns Debian's\n"
            << " Google Benchmark package, not these kernels, which time themselves.)\n";
        char line[200];
        std::snprintf(line, sizeof line, "%-56s %8s %9s %8s %8s %7s  %s\n", "kernel/type/data/path",
                      "GB/s", "memcpy", "x memcpy", "median", "target", "note");
        out << line;
        return true;
    }

    void ReportRuns(const std::vector<Run> &runs) override {
        auto &out = GetOutputStream();
        for (const Run &run : runs) {
            const std::string &name = run.run_name.function_name;
            char line[400];
            if (run.error_occurred) {
                std::snprintf(line, sizeof line, "%-56s ERROR: %s\n", name.c_str(),
                              run.error_message.c_str());
            } else {
                const auto value = [&](const char *key) {
                    const auto it = run.counters.find(key);
                    return it == run.counters.end() ? 0.0 : double(it->second.value);
                };
                const double target = value("target"), ratio = value("x_memcpy");
                char target_text[16] = "";
                if (target > 0)
                    std::snprintf(target_text, sizeof target_text, "%.2f%s", target,
                                  ratio >= target ? "" : "!");
                std::snprintf(line, sizeof line, "%-56s %8.2f %9.2f %8.3f %8.3f %7s  %s\n",
                              name.c_str(), value("GB/s"), value("memcpy_GB/s"), ratio,
                              value("x_memcpy_med"), target_text, run.report_label.c_str());
            }
            out << line;
        }
    }
};

inline int main(int argc, char **argv) {
    bool own_format = true;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_format", 18) == 0) own_format = false;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (own_format) {
        Reporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}

#define VB_MAIN()                                                                                  \
    int main(int argc, char **argv) { return vb::main(argc, argv); }

// Registration from a file's static initialiser: `VB_REGISTER { ... }`.
#define VB_CONCAT2(a, b) a##b
#define VB_CONCAT(a, b) VB_CONCAT2(a, b)
#define VB_REGISTER                                                                                \
    static void VB_CONCAT(vb_register_, __LINE__)();                                               \
    static const int VB_CONCAT(vb_registered_, __LINE__) =                                         \
        (VB_CONCAT(vb_register_, __LINE__)(), 0);                                                  \
    static void VB_CONCAT(vb_register_, __LINE__)()

} // namespace vb
