// Working memory of neighbour selection and of the lists it cuts back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/bound.hpp"
#include "core/point_table.hpp"
#include "index/ranked_entry.hpp"

namespace tarnwick::detail {

// Adding a link to a settled list by the links' codes (see add_to_settled_by_bounds).
struct SettledScratch {
  QueryCode owner_code;
  QueryCode target_code;
  std::vector<const std::int8_t*> rows;  // the links' code rows
  std::vector<std::int64_t> owner_dots;
  std::vector<std::int64_t> target_dots;
  std::vector<Slot> out;
};

struct SelectionScratch {
  std::vector<Entry> pending;  // the candidates, nearest to the base first
  std::vector<std::span<const float>> pending_vectors;  // of the pending entries, read once
  std::vector<float> pending_roots;                     // square roots of their squared norms
  std::vector<std::uint32_t> pending_ranks;  // a kept one nearer than this rank drops each
  std::vector<std::uint32_t> kept;                      // pending positions kept so far
  std::vector<std::uint32_t> block_positions;           // pending positions of a block's lanes
  std::vector<const float*> block_vectors;              // the vectors of a block's lanes
  std::vector<float> columns;                           // the block laid out as columns
  std::vector<float> block_sums;                        // rows of sums against the block
  std::vector<std::uint8_t> alive;                      // lanes of the block still undecided
  std::vector<float> block_roots;                       // pending_roots by lane
  std::vector<std::uint32_t> lane_ranks;                // distance ranks to one kept candidate
  std::vector<std::uint32_t> block_ranks;               // the lanes' distance ranks to the base
  std::vector<Entry> selection;
  std::vector<Slot> links;  // a layer-0 list being changed
  SettledScratch settled;
};

}  // namespace tarnwick::detail
