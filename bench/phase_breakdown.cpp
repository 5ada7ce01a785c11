// Per-phase timing of the scanline annotation core on a generated meander.
//
// Runs the phases of compute_scanline_ids one after another, exactly as the
// core entry chains them, and prints the median time of each over several
// repetitions:
//
//   run detection      detect_runs (serial scan, or the chunked path for
//                      large inputs on two or more threads)
//   merging            merge_runs (likewise)
//   detect and merge   detect_and_merge_runs, both phases as the core entry
//                      takes them (in one pass where both are serial)
//   direction split    split_directions
//   ordering           order_candidates
//   threshold          compute_distance_threshold
//   label ranges       label_ranges: the walk over the candidates that
//                      accepts the turns and records the numbered stretches
//   label writing      paint_labels into a fresh n x int32 buffer allocated
//                      as NumPy allocates array data (includes the first
//                      touch of that memory), as the module writes its result
//   core entry         compute_scanline_ids_into end to end into such a
//                      buffer, for comparison with the sum of the phases
//
// The worker pool is the process-wide one, so RAYON_NUM_THREADS applies.
//
// Usage:
//   phase_breakdown [--points N] [--line L] [--turn T] [--dtype f64|f32]
//                   [--reps R] [--format text|tsv]
//
// The meander: lines of L points at x = i * 0.1, y rising from 0 to 10 on
// even lines and falling on odd ones (with a deterministic noise of at most
// 1e-3 on y), each followed by T turn-around points between the lines at
// y = 10 or 0. The Python benchmark (bench_annotate.py) builds the same
// shape.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <variant>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/assign_scanline_ids.hpp"
#include "core/chunked.hpp"
#include "core/compute_scanline_ids.hpp"
#include "core/detect_runs.hpp"
#include "core/distance_threshold.hpp"
#include "core/merge_runs.hpp"
#include "core/order_candidates.hpp"
#include "core/split_directions.hpp"
#include "core/types.hpp"
#include "parallel/worker_pool.hpp"

namespace core = rasterloom::core;

namespace {

struct Options {
    std::uint64_t points = 10'000'000;
    std::uint64_t line = 1000;
    std::uint64_t turn = 5;
    std::string dtype = "f64";
    int reps = 7;
    bool tsv = false;
};

[[noreturn]] void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--points N] [--line L] [--turn T] [--dtype f64|f32] [--reps R] "
                 "[--format text|tsv]\n",
                 program);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) {
            usage(argv[0]);
        }
        const std::string value = argv[++i];
        if (flag == "--points") {
            options.points = std::strtoull(value.c_str(), nullptr, 10);
        } else if (flag == "--line") {
            options.line = std::strtoull(value.c_str(), nullptr, 10);
        } else if (flag == "--turn") {
            options.turn = std::strtoull(value.c_str(), nullptr, 10);
        } else if (flag == "--dtype" && (value == "f64" || value == "f32")) {
            options.dtype = value;
        } else if (flag == "--reps") {
            options.reps = std::max(1, std::atoi(value.c_str()));
        } else if (flag == "--format" && (value == "text" || value == "tsv")) {
            options.tsv = value == "tsv";
        } else {
            usage(argv[0]);
        }
    }
    if (options.points == 0 || options.line < 2) {
        usage(argv[0]);
    }
    return options;
}

// Deterministic noise in [-1e-3, 1e-3] (xorshift64*).
struct Noise {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    double next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t bits = state * 0x2545F4914F6CDD1Dull;
        return (static_cast<double>(bits >> 11) * 0x1.0p-53 * 2.0 - 1.0) * 1e-3;
    }
};

template <class T>
void make_meander(const Options& options, std::vector<T>& x, std::vector<T>& y) {
    const std::uint64_t n = options.points;
    const std::uint64_t line = options.line;
    const std::uint64_t turn = options.turn;
    const std::uint64_t period = line + turn;
    const double pitch = 0.1;
    const double height = 10.0;
    x.resize(n);
    y.resize(n);
    Noise noise;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t index = i / period;
        const std::uint64_t pos = i % period;
        const bool up = index % 2 == 0;
        double xi;
        double yi;
        if (pos < line) {
            const double ramp = height * static_cast<double>(pos) / static_cast<double>(line - 1);
            xi = static_cast<double>(index) * pitch;
            yi = (up ? ramp : height - ramp) + noise.next();
        } else {
            const double step = static_cast<double>(pos - line + 1) / static_cast<double>(turn + 1);
            xi = static_cast<double>(index) * pitch + pitch * step;
            yi = up ? height : 0.0;
        }
        x[i] = static_cast<T>(xi);
        y[i] = static_cast<T>(yi);
    }
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A fresh buffer as NumPy allocates one for a new array: malloc, and for
// 4 MiB or more, transparent huge pages requested with madvise on the
// page-aligned interior (NumPy does this by default on Linux; elsewhere it
// is plain malloc). Writing the labels therefore costs here what it costs in
// the module.
std::int32_t* numpy_like_buffer(std::size_t bytes) {
    void* memory = std::malloc(bytes);
    if (memory == nullptr) {
        std::fprintf(stderr, "out of memory\n");
        std::exit(1);
    }
#if defined(__linux__)
    constexpr std::size_t huge_from = std::size_t{1} << 22;
    if (bytes >= huge_from) {
        const std::uintptr_t page = 4096;
        const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(memory);
        const std::uintptr_t aligned = (begin + page - 1) & ~(page - 1);
        const std::uintptr_t end = begin + bytes;
        if (aligned < end) {
            madvise(reinterpret_cast<void*>(aligned), end - aligned, MADV_HUGEPAGE);
        }
    }
#endif
    return static_cast<std::int32_t*>(memory);
}

// Keeps the optimiser from discarding a result.
volatile std::uint64_t sink = 0;

template <class T>
int run(const Options& options) {
    std::vector<T> xs;
    std::vector<T> ys;
    make_meander(options, xs, ys);
    const std::uint64_t n = options.points;
    const core::Points<T> x{reinterpret_cast<const unsigned char*>(xs.data()), n};
    const core::Points<T> y{reinterpret_cast<const unsigned char*>(ys.data()), n};
    const core::CoordView<T> x_view{xs.data(), n, static_cast<std::int64_t>(sizeof(T))};
    const core::CoordView<T> y_view{ys.data(), n, static_cast<std::int64_t>(sizeof(T))};

    const std::uint64_t threads = rasterloom::parallel::pool_thread_count();

    enum Phase { detect, merge, fused, split, order, threshold, ranges, write, entry, phase_count };
    const char* names[phase_count] = {"run detection",  "merging",   "detect and merge",
                                      "direction split", "ordering",  "threshold",
                                      "label ranges",    "label writing", "core entry"};
    std::vector<std::vector<double>> times(phase_count);
    std::uint64_t point_runs = 0;
    std::uint64_t merged_runs = 0;
    std::uint64_t candidates_count = 0;
    std::uint64_t labelled = 0;
    const std::size_t label_bytes = n * sizeof(std::int32_t);

    // One untimed round first, so that the pool and the allocator are warm.
    for (int rep = -1; rep < options.reps; ++rep) {
        double t[phase_count];

        auto start = Clock::now();
        rasterloom::List<core::Run<T>> runs = core::detect_runs(x, y, n);
        t[detect] = seconds_since(start);

        start = Clock::now();
        rasterloom::List<core::Run<T>> merged = core::merge_runs(runs);
        t[merge] = seconds_since(start);
        point_runs = runs.size();
        rasterloom::List<core::Run<T>>().swap(runs);

        start = Clock::now();
        rasterloom::List<core::Run<T>> merged_in_one = core::detect_and_merge_runs(x, y, n);
        t[fused] = seconds_since(start);
        if (merged_in_one.size() != merged.size()) {
            std::fprintf(stderr, "detect_and_merge_runs disagrees with the two phases\n");
            return 1;
        }
        rasterloom::List<core::Run<T>>().swap(merged_in_one);

        start = Clock::now();
        auto directions = core::split_directions(merged);
        t[split] = seconds_since(start);
        merged_runs = merged.size();
        rasterloom::List<core::Run<T>>().swap(merged);
        if (auto* error = std::get_if<core::CoreError>(&directions)) {
            std::fprintf(stderr, "core error: %s\n", error->message.c_str());
            return 1;
        }
        auto& sets = std::get<core::DirectionSets<T>>(directions);

        start = Clock::now();
        const rasterloom::List<core::TurnCandidate<T>> candidates =
            core::order_candidates(std::move(sets.set_a), std::move(sets.set_b));
        t[order] = seconds_since(start);
        candidates_count = candidates.size();

        start = Clock::now();
        const T limit = core::compute_distance_threshold(candidates);
        t[threshold] = seconds_since(start);

        start = Clock::now();
        const rasterloom::List<core::LabelRange> stretches = core::label_ranges(candidates, limit, n);
        t[ranges] = seconds_since(start);

        start = Clock::now();
        std::int32_t* result = numpy_like_buffer(label_bytes);
        core::paint_labels(std::span<std::int32_t>(result, n), stretches);
        t[write] = seconds_since(start);
        labelled = static_cast<std::uint64_t>(
            std::count_if(result, result + n, [](std::int32_t v) { return v >= 0; }));
        std::free(result);

        start = Clock::now();
        std::int32_t* whole = nullptr;
        const auto error = core::compute_scanline_ids_into(x_view, y_view, [&](std::uint64_t count) {
            whole = numpy_like_buffer(count * sizeof(std::int32_t));
            return std::span<std::int32_t>(whole, count);
        });
        t[entry] = seconds_since(start);
        if (error || whole == nullptr) {
            std::fprintf(stderr, "core error\n");
            return 1;
        }
        sink = sink + static_cast<std::uint64_t>(whole[n - 1]);
        std::free(whole);

        if (rep >= 0) {
            for (int p = 0; p < phase_count; ++p) {
                times[p].push_back(t[p]);
            }
        }
    }

    double phases_sum = 0.0;
    for (int p = 0; p < entry; ++p) {
        if (p == fused) {
            continue;  // the same work as run detection and merging
        }
        phases_sum += median(times[p]);
    }

    if (options.tsv) {
        std::printf("info\tpoints\t%llu\n", static_cast<unsigned long long>(n));
        std::printf("info\tthreads\t%llu\n", static_cast<unsigned long long>(threads));
        std::printf("info\tpoint_runs\t%llu\n", static_cast<unsigned long long>(point_runs));
        std::printf("info\tmerged_runs\t%llu\n", static_cast<unsigned long long>(merged_runs));
        std::printf("info\tcandidates\t%llu\n", static_cast<unsigned long long>(candidates_count));
        std::printf("info\tlabelled\t%llu\n", static_cast<unsigned long long>(labelled));
        for (int p = 0; p < phase_count; ++p) {
            std::printf("phase\t%s\t%.9f\n", names[p], median(times[p]));
        }
        return 0;
    }

    std::printf("%s, %llu points, %llu per line, %llu turn-around points, %llu thread(s), %d reps\n",
                options.dtype.c_str(), static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(options.line),
                static_cast<unsigned long long>(options.turn),
                static_cast<unsigned long long>(threads), options.reps);
    std::printf("point runs %llu, merged runs %llu, candidates %llu, labelled points %llu\n",
                static_cast<unsigned long long>(point_runs),
                static_cast<unsigned long long>(merged_runs),
                static_cast<unsigned long long>(candidates_count),
                static_cast<unsigned long long>(labelled));
    std::printf("%-16s %12s %10s %8s\n", "phase", "median ms", "ns/point", "share");
    for (int p = 0; p < phase_count; ++p) {
        const double m = median(times[p]);
        const bool in_sum = p != entry && p != fused;
        std::printf("%-16s %12.3f %10.3f %7.1f%%%s\n", names[p], m * 1e3,
                    m * 1e9 / static_cast<double>(n), 100.0 * m / phases_sum,
                    in_sum ? "" : "  (not in the sum)");
    }
    std::printf("%-16s %12.3f %10.3f\n", "sum of phases", phases_sum * 1e3,
                phases_sum * 1e9 / static_cast<double>(n));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    try {
        return options.dtype == "f64" ? run<double>(options) : run<float>(options);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "failure: %s\n", failure.what());
        return 1;
    }
}
