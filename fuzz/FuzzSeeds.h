// Seed inputs for the fuzz targets. A target builds its seeds from the tests' frame builders and
// sample replies; when TICKVANE_FUZZ_SEEDS names a folder (scripts/fuzz.sh sets it to the
// target's corpus), they are written there before the fuzzer reads that folder.
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdio>
#include <cstdlib>

namespace FuzzSeeds {

void write(const QList<QByteArray>& seeds);

}  // namespace FuzzSeeds

// Each target defines its seeds with this; the macro supplies the libFuzzer start-up hook.
#define TICKVANE_FUZZ_SEEDS(...)                                                                  \
    extern "C" int LLVMFuzzerInitialize(int*, char***)                                            \
    {                                                                                             \
        FuzzSeeds::write(QList<QByteArray>{__VA_ARGS__});                                         \
        return 0;                                                                                 \
    }

// Stops the run with a message when an invariant does not hold; the fuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);    \
            abort();                                                                              \
        }                                                                                         \
    } while (0)
