// What the differential tests switch between: the kernels this CPU runs, and pruning.
#pragma once

#include <string_view>
#include <vector>

#include "core/bound.hpp"
#include "core/distance.hpp"

namespace tarnwick {

// The kernels this CPU can run, by name.
inline std::vector<std::string_view> kernels_here() {
  std::vector<std::string_view> names;
  for (std::string_view name : {"scalar", "avx2", "avx512"}) {
    if (select_kernel(name)) names.push_back(name);
  }
  return names;
}

// Restores the kernel and the pruning the process chose when a test ends.
struct KernelGuard {
  std::string_view saved = active_kernel();
  bool pruning = pruning_enabled();
  ~KernelGuard() {
    select_kernel(saved);
    select_pruning(pruning);
  }
};

}  // namespace tarnwick
