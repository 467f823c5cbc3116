// The per-thread working memory of walks, scoring and neighbour selection, kept per thread so
// that an operation allocates only while its buffers are still growing.
#pragma once

#include "index/removal_scratch.hpp"
#include "index/scoring_scratch.hpp"
#include "index/selection_scratch.hpp"
#include "index/walk_scratch.hpp"

namespace tarnwick::detail {

struct Scratch {
  WalkScratch walk;
  ScoringScratch scoring;
  SelectionScratch selection;
  RemovalScratch removal;
};

// The calling thread's scratch, fetched once per walk or insertion.
Scratch& thread_scratch();

}  // namespace tarnwick::detail
