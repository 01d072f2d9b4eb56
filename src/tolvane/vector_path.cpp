#include "vector_path.h"

#include "tolvane/error.h"

#include <atomic>

namespace tolvane {
namespace detail {
namespace {

std::atomic<VectorPath>& chosenPath()
{
    static std::atomic<VectorPath> path{widestVectorPath()};
    return path;
}

}  // namespace

VectorPath widestVectorPath()
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        return VectorPath::Avx512;
    if (__builtin_cpu_supports("avx2"))
        return VectorPath::Avx2;
#endif
    return VectorPath::Baseline;
}

VectorPath vectorPath()
{
    return chosenPath().load(std::memory_order_relaxed);
}

void useVectorPath(VectorPath path)
{
    if (path > widestVectorPath())
        throw Error(ErrorCode::InvalidArgument, "this processor cannot run that vector path");
    chosenPath().store(path, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace tolvane
