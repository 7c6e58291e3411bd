// bench_config.cpp - parsing a 1,000-line configuration text, and get from
// two threads while a third one sets.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

enum { kLines = 1000, kGetsPerReader = 20000 };

// A configuration file as a device keeps it: mostly settings, with a
// comment or a blank line now and then.
const std::string &config_text()
{
    static const std::string text = [] {
        std::string t;
        char line[128];
        for (int i = 0; i < kLines; i++) {
            if (i % 20 == 0)
                snprintf(line, sizeof line, "# section %d\n", i / 20);
            else if (i % 20 == 10)
                snprintf(line, sizeof line, "\n");
            else
                snprintf(line, sizeof line, "video_%04d_setting = \"%d,%d,stream%d\"\n", i, i * 7, i % 13, i % 4);
            t += line;
        }
        return t;
    }();
    return text;
}

// The keys of the text, in order.
std::vector<std::string> config_keys()
{
    std::vector<std::string> keys;
    char key[64];
    for (int i = 0; i < kLines; i++) {
        if (i % 20 == 0 || i % 20 == 10)
            continue;
        snprintf(key, sizeof key, "video_%04d_setting", i);
        keys.push_back(key);
    }
    return keys;
}

// A fresh store filled from the text (which the parser cuts into lines in
// place, hence the copy).
void BM_ConfigParse(benchmark::State &state)
{
    const std::string &text = config_text();
    std::vector<char> copy(text.size() + 1);
    for (auto _ : state) {
        memcpy(copy.data(), text.c_str(), text.size() + 1);
        configure_store *store = configure_init();
        configure_parse_buf(store, nullptr, copy.data());
        benchmark::DoNotOptimize(store->count);
        configure_free(store);
    }
    lc_bench::set_batch(state, kLines);
}
BENCHMARK(BM_ConfigParse)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Two readers each get kGetsPerReader random keys while a writer keeps
// setting random keys to new values; the time is that of the readers.
void BM_ConfigGetWhileSet(benchmark::State &state)
{
    const std::string &text = config_text();
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    configure_store *store = configure_init();
    configure_parse_buf(store, nullptr, copy.data());
    const std::vector<std::string> keys = config_keys();
    long sets = 0;
    for (auto _ : state) {
        std::atomic<bool> readers_done{false};
        std::thread writer([&] {
            std::mt19937 rng(3);
            char value[32];
            while (!readers_done.load(std::memory_order_relaxed)) {
                snprintf(value, sizeof value, "%u", static_cast<unsigned>(rng()));
                store->set(store, keys[rng() % keys.size()].c_str(), value);
                sets++;
            }
        });
        std::vector<std::thread> readers;
        for (int r = 0; r < 2; r++)
            readers.emplace_back([&, r] {
                std::mt19937 rng(10 + r);
                char out[256];
                for (int i = 0; i < kGetsPerReader; i++)
                    store->get(store, keys[rng() % keys.size()].c_str(), out, sizeof out);
                benchmark::DoNotOptimize(out);
            });
        for (std::thread &t : readers)
            t.join();
        readers_done.store(true);
        writer.join();
    }
    configure_free(store);
    lc_bench::set_batch(state, 2 * kGetsPerReader);
    state.counters["sets_per_iter"] = static_cast<double>(sets) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ConfigGetWhileSet)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
