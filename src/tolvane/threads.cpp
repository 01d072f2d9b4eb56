#include "threads.h"

#include "parallel.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace tolvane {
namespace detail {

int threadsFor(int requested, std::size_t work)
{
    const int available =
        requested > 0 ? requested : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(available), std::max<std::size_t>(work, 1)));
}

void runParts(int parts, const std::function<void(int)>& part)
{
    std::vector<std::exception_ptr> failures(parts);
    WorkerPool pool(parts);
    pool.forEach(static_cast<std::size_t>(parts), [&](std::size_t t) {
        try {
            part(static_cast<int>(t));
        } catch (...) {
            failures[t] = std::current_exception();
        }
    });
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
}

}  // namespace detail
}  // namespace tolvane
