// Lets one thread stop a long store operation that runs on another. The operation polls
// cancelled() at points where stopping leaves nothing behind, and asks commit() right before
// the one step that makes its work visible (the swap of a load, the rename of a save): of
// cancel() and commit(), exactly one wins.
#pragma once

#include <atomic>

namespace tarnwick {

class CancelToken {
 public:
  // True when the operation had not committed, so it will stop without effect.
  bool cancel() { return settle(CANCELLED); }
  // True when the operation may commit; false once it was cancelled.
  bool commit() { return settle(COMMITTED); }
  bool cancelled() const { return state_.load(std::memory_order_relaxed) == CANCELLED; }

 private:
  static constexpr int RUNNING = 0;
  static constexpr int CANCELLED = 1;
  static constexpr int COMMITTED = 2;

  bool settle(int outcome) {
    int expected = RUNNING;
    return state_.compare_exchange_strong(expected, outcome) || expected == outcome;
  }

  std::atomic<int> state_{RUNNING};
};

// Polls a token that may be absent.
inline bool is_cancelled(const CancelToken* token) { return token != nullptr && token->cancelled(); }

}  // namespace tarnwick
