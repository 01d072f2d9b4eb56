#include "diagnostics.h"

#include <iostream>

namespace {
thread_local DiagnosticCounter* t_counter = nullptr;
}

void reportNegativeEigenvalue()
{
    if (t_counter) {
        t_counter->fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // One insertion, so that lines from several threads cannot mix.
    std::cout << "errors\n" << std::flush;
}

DiagnosticCounter* currentDiagnosticCounter() { return t_counter; }

ScopedDiagnosticCounter::ScopedDiagnosticCounter(DiagnosticCounter* counter) : previous_(t_counter)
{
    t_counter = counter;
}

ScopedDiagnosticCounter::~ScopedDiagnosticCounter() { t_counter = previous_; }
