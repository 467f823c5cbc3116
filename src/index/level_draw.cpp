// The level of a new node, drawn from a per-thread generator.
#include "index/hnsw.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <random>


namespace tarnwick {

namespace {

std::uint64_t os_seed() {
  std::uint64_t seed = 0;
  ssize_t got = 0;
  do {
    got = getrandom(&seed, sizeof seed, 0);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof seed)) {
    // No random source: still give each thread a different sequence.
    seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           reinterpret_cast<std::uintptr_t>(&seed);
  }
  return seed;
}

std::uint64_t next_random() {
  thread_local std::mt19937_64 generator(os_seed());
  return generator();
}

}  // namespace

std::uint64_t random_level(std::uint64_t m) {
  constexpr std::uint64_t top = MAX_LAYERS - 1;
  const double u = static_cast<double>(next_random() >> 11) * 0x1.0p-53;
  if (u == 0.0) {
    return top;
  }
  const double x = (-1.0 / std::log(static_cast<double>(m))) * std::log(u);
  // Truncation toward zero: negative and NaN give 0, anything from `top` up is `top`.
  if (!(x > 0.0)) {
    return 0;
  }
  return x >= static_cast<double>(top) ? top : static_cast<std::uint64_t>(x);
}

}  // namespace tarnwick
