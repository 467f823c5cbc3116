// A parallel-for on real threads, so that sanitizers see tasks run at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace tarnwick {

// Runs task(0) to task(count - 1) on `thread_count` threads, each taking the next index.
inline void threaded_for(std::size_t count, const std::function<void(std::size_t)>& task,
                         int thread_count) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = next++; i < count; i = next++) task(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace tarnwick
