// Splitting the work of one call of the library over threads.
#ifndef TOLVANE_THREADS_H
#define TOLVANE_THREADS_H

#include <cstddef>
#include <functional>

namespace tolvane {
namespace detail {

// The threads to use when `requested` were asked for (0: every core), at
// most one per item of `work` and at least one.
int threadsFor(int requested, std::size_t work);

// Runs part(0) .. part(parts - 1) on `parts` threads, the caller's among
// them. When parts throw, the first one's exception (by part) is rethrown
// once all have ended.
void runParts(int parts, const std::function<void(int)>& part);

}  // namespace detail
}  // namespace tolvane

#endif
