// Splitting a loop over a few threads, for kernels that run with the GIL released.
#pragma once

#include <cstdint>
#include <functional>

namespace vantle::core {

// How many threads `work` units deserve when each thread should get at least
// `min_per_thread` of them: between 1 and `max_threads`.
int threads_for(int64_t work, int64_t min_per_thread, int max_threads);

// Calls body(begin, end) on disjoint contiguous parts that cover [0, total),
// one part per thread (the calling thread takes the first), and returns when
// all are done. If a thread cannot be started its part runs on the caller.
// `body` must not throw.
void parallel_for(int64_t total, int threads, const std::function<void(int64_t, int64_t)>& body);

}  // namespace vantle::core
