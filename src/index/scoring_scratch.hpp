// Working memory of batched scoring: the kernel's queue and a plain list's distances.
#pragma once

#include <cstdint>
#include <vector>

#include "core/point_table.hpp"

namespace tarnwick::detail {

struct ScoringScratch {
  // Points queued for one call of the batched kernel.
  std::vector<const float*> kernel_vectors;
  std::vector<Slot> kernel_slots;
  std::vector<float> kernel_sums;

  // Scoring of a plain list (greedy walk, link pruning).
  std::vector<Slot> list_slots;
  std::vector<float> list_distances;
  std::vector<std::uint32_t> list_positions;  // of the queued vectors in the list
};

}  // namespace tarnwick::detail
