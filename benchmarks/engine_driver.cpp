// The battery engine timed natively, on the stacked groups a benchmark wrote
// to a file: what the Python layer is measured against.
//
//   engine_driver FILE MASK THREADS REPEAT CHUNK
//
// FILE holds, in native byte order: G and p (int64), G + 1 group starts
// (int64), then y (N float64) and X (N x p float64, row-major).  MASK is the
// tests' bit mask (ksx_battery_options.tests); the other options are the
// package's defaults.  The groups are cut into calls of at most CHUNK groups,
// as the panel cuts them, and the calls are shared between THREADS threads
// (contiguous halves, each thread with its own outputs).  The best of REPEAT
// runs is printed as JSON, with a hash of the statistics so that runs on one
// and two threads can be checked to agree.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "ksx_battery.h"

namespace {

struct Data {
    i64 G = 0, p = 0;
    std::vector<i64> starts;
    std::vector<f64> y, X;
};

bool read_all(const char* path, Data& d) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    bool ok = std::fread(&d.G, sizeof(i64), 1, f) == 1 && std::fread(&d.p, sizeof(i64), 1, f) == 1;
    if (ok) {
        d.starts.resize(static_cast<size_t>(d.G + 1));
        ok = std::fread(d.starts.data(), sizeof(i64), d.starts.size(), f) == d.starts.size();
    }
    if (ok) {
        const size_t N = static_cast<size_t>(d.starts.back());
        d.y.resize(N);
        d.X.resize(N * static_cast<size_t>(d.p));
        ok = std::fread(d.y.data(), sizeof(f64), N, f) == N && std::fread(d.X.data(), sizeof(f64), d.X.size(), f) ==
                                                                 d.X.size();
    }
    std::fclose(f);
    return ok;
}

// The outputs of one thread: per group and test only (as the panel asks).
struct Outputs {
    std::vector<f64> stat;
    std::vector<i64> df1, df2, info, rank;
    std::vector<int32_t> status, fit_status;
    std::vector<uint32_t> flags;
    explicit Outputs(i64 G)
        : stat(static_cast<size_t>(G * KSX_T_COUNT)), df1(stat.size()), df2(stat.size()),
          info(stat.size() * KSX_INFO_WORDS), rank(static_cast<size_t>(G)), status(stat.size()),
          fit_status(static_cast<size_t>(G)), flags(stat.size()) {}
};

// Groups g0 .. g1-1 in calls of at most `chunk` groups, into `out` (indexed from g0).
int run_range(const Data& d, const ksx_battery_options& o, i64 g0, i64 g1, i64 chunk, Outputs& out) {
    std::vector<i64> starts;
    for (i64 a = g0; a < g1; a += chunk) {
        const i64 b = std::min(g1, a + chunk);
        const i64 r0 = d.starts[static_cast<size_t>(a)];
        starts.assign(d.starts.begin() + a, d.starts.begin() + b + 1);
        for (i64& s : starts) s -= r0;
        const i64 k = a - g0;
        ksx_battery_out res{};
        res.stat = out.stat.data() + k * KSX_T_COUNT;
        res.df1 = out.df1.data() + k * KSX_T_COUNT;
        res.df2 = out.df2.data() + k * KSX_T_COUNT;
        res.status = out.status.data() + k * KSX_T_COUNT;
        res.flags = out.flags.data() + k * KSX_T_COUNT;
        res.info = out.info.data() + k * KSX_T_COUNT * KSX_INFO_WORDS;
        res.fit_status = out.fit_status.data() + k;
        res.rank = out.rank.data() + k;
        const int st = ksx_battery_run(d.y.data() + r0, d.X.data() + r0 * d.p, starts.back(), d.p, starts.data(),
                                       b - a, nullptr, 0, &o, &res);
        if (st != 0) return st;
    }
    return 0;
}

uint64_t hash_stats(const std::vector<f64>& v) {
    uint64_t h = 1469598103934665603ull;
    for (f64 x : v) {
        uint64_t u;
        std::memcpy(&u, &x, sizeof u);
        if (x != x) u = 0x7ff8000000000000ull;
        h = (h ^ u) * 1099511628211ull;
    }
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s FILE MASK THREADS REPEAT CHUNK\n", argv[0]);
        return 2;
    }
    Data d;
    if (!read_all(argv[1], d)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    ksx_battery_options o{};
    o.tests = std::strtoull(argv[2], nullptr, 10);
    o.lags = 4;
    o.arch_lags = 4;
    o.break_at = -1;
    o.kernel_id = 0;
    o.bandwidth = -1;
    o.power = 3;
    o.trim = 0.15;
    o.cusum_scale = 0;
    o.white_cross = 1;
    const int threads = std::max(1, std::atoi(argv[3]));
    const int repeat = std::max(1, std::atoi(argv[4]));
    const i64 chunk = std::max<i64>(1, std::atoll(argv[5]));

    // Contiguous shares of the groups, one per thread, with as many rows each as can be.
    std::vector<i64> cut(static_cast<size_t>(threads) + 1, d.G);
    cut[0] = 0;
    for (int t = 1; t < threads; ++t) {
        const i64 target = d.starts.back() * t / threads;
        cut[static_cast<size_t>(t)] = std::upper_bound(d.starts.begin(), d.starts.end() - 1, target) - d.starts.begin();
    }
    std::vector<Outputs> outs;
    for (int t = 0; t < threads; ++t) outs.emplace_back(cut[static_cast<size_t>(t) + 1] - cut[static_cast<size_t>(t)]);

    double best = 1e300;
    int failed = 0;
    for (int rep = 0; rep < repeat; ++rep) {
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        std::vector<int> status(static_cast<size_t>(threads), 0);
        for (int t = 1; t < threads; ++t)
            pool.emplace_back([&, t] {
                status[static_cast<size_t>(t)] =
                    run_range(d, o, cut[static_cast<size_t>(t)], cut[static_cast<size_t>(t) + 1], chunk,
                              outs[static_cast<size_t>(t)]);
            });
        status[0] = run_range(d, o, cut[0], cut[1], chunk, outs[0]);
        for (std::thread& th : pool) th.join();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
        for (int st : status) failed |= st != 0;
    }
    std::vector<f64> all;
    for (const Outputs& out : outs) all.insert(all.end(), out.stat.begin(), out.stat.end());
    std::printf("{\"groups\": %" PRId64 ", \"rows\": %" PRId64 ", \"threads\": %d, \"seconds\": %.9g, "
                "\"failed\": %d, \"hash\": \"%016" PRIx64 "\"}\n",
                d.G, d.starts.back(), threads, best, failed, hash_stats(all));
    return failed;
}
