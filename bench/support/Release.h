#pragma once

#include <benchmark/benchmark.h>

#include <malloc.h>

// Frees what an iteration made and gives the memory back to the system,
// untimed, so that the next iteration starts on fresh pages as a run's one
// export, load or merge does.
template <class T> void release(benchmark::State& state, T& made) {
    state.PauseTiming();
    made = T();
    ::malloc_trim(0);
    state.ResumeTiming();
}
