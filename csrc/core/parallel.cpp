#include "core/parallel.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace vantle::core {

int threads_for(int64_t work, int64_t min_per_thread, int max_threads) {
  if (max_threads <= 1 || work <= min_per_thread) return 1;
  const int64_t wanted = work / std::max<int64_t>(min_per_thread, 1);
  return static_cast<int>(std::clamp<int64_t>(wanted, 1, max_threads));
}

void parallel_for(int64_t total, int threads, const std::function<void(int64_t, int64_t)>& body) {
  if (total <= 0) return;
  const int64_t parts = std::clamp<int64_t>(threads, 1, total);
  const auto part_begin = [&](int64_t part) { return total * part / parts; };
  std::vector<std::thread> workers;
  int64_t inline_from = parts;  // parts from here on run on the caller
  for (int64_t part = 1; part < parts; ++part) {
    try {
      workers.emplace_back(body, part_begin(part), part_begin(part + 1));
    } catch (const std::system_error&) {
      inline_from = part;
      break;
    }
  }
  body(0, part_begin(1));
  for (int64_t part = inline_from; part < parts; ++part)
    body(part_begin(part), part_begin(part + 1));
  for (std::thread& worker : workers) worker.join();
}

}  // namespace vantle::core
