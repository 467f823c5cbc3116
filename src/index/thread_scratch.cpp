#include "index/thread_scratch.hpp"

#include <utility>

namespace tarnwick::detail {

// Kept out of line: in a shared library, reaching a thread-local object calls into the
// dynamic loader, and an inlined access let the compiler repeat that call at every use inside
// the hot loops rather than keep the address in a register.
[[gnu::noinline]] Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

}  // namespace tarnwick::detail

namespace tarnwick {

BoundDecisions take_bound_decisions() {
  return std::exchange(detail::thread_scratch().scoring.decisions, BoundDecisions{});
}

}  // namespace tarnwick
