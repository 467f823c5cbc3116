// Working memory of batched scoring: the kernel's queue, a plain list's distances, and the
// query's code with what bounding a queue needs.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bound.hpp"
#include "core/point_table.hpp"
#include "index/hnsw.hpp"

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

  // Bounds from codes.
  QueryCode query_code;  // of the operation's query
  std::vector<const std::int8_t*> code_rows;
  std::vector<std::int64_t> code_dots;
  BoundDecisions decisions;
};

}  // namespace tarnwick::detail
