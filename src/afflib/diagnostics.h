// Where the adaptation's "errors" diagnostic goes. By default it is printed on
// standard output, where the legacy programs have always shown it; a caller
// that must not print counts it instead for the duration of a scope. Worker
// pool tasks report to the counter of the thread that handed them out.
#ifndef AFFLIB_DIAGNOSTICS_H
#define AFFLIB_DIAGNOSTICS_H

#include <atomic>
#include <cstddef>

using DiagnosticCounter = std::atomic<std::size_t>;

// Reports one moment matrix with a negative (or not-a-number) eigenvalue.
void reportNegativeEigenvalue();

// The calling thread's counter, or nullptr when it prints.
DiagnosticCounter* currentDiagnosticCounter();

// Makes the calling thread report to `counter` (nullptr: print) until the
// end of the scope.
class ScopedDiagnosticCounter {
public:
    explicit ScopedDiagnosticCounter(DiagnosticCounter* counter);
    ~ScopedDiagnosticCounter();
    ScopedDiagnosticCounter(const ScopedDiagnosticCounter&) = delete;
    ScopedDiagnosticCounter& operator=(const ScopedDiagnosticCounter&) = delete;

private:
    DiagnosticCounter* previous_;
};

#endif
