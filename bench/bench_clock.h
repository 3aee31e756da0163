// Time for the benchmarks: the performance counter, read the same way by every contender.
#pragma once

#include <windows.h>

#include <cstdint>

// Performance-counter ticks now.
inline int64_t CounterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Ticks per second of CounterNow.
inline int64_t CounterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// Seconds between two CounterNow readings.
inline double SecondsBetween(int64_t start, int64_t end) {
    return static_cast<double>(end - start) / static_cast<double>(CounterFrequency());
}
