// Walks through the graph: the greedy descent through the upper layers and the best-first
// exploration of one layer, for search and for insertion.
#include "index/walk.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/distance.hpp"
#include "core/prefetch.hpp"
#include "index/list_scoring.hpp"
#include "index/point_lookup.hpp"
#include "index/thread_scratch.hpp"

namespace tarnwick {

using namespace detail;

Query make_query(std::span<const float> values) {
  return Query{values, std::sqrt(sum_squares(values.data(), values.size()))};
}

float distance_to(const Query& query, const PointTable& points, Slot slot) {
  std::span<const float> vector = points.vector(slot);
  if (vector.size() != query.values.size() || vector.empty()) {
    return MAX_DISTANCE;
  }
  return cosine_distance_from_roots(sum_products(query.values.data(), vector.data(), vector.size()),
                                    query.norm_root, points.norm_root(slot));
}

namespace {

// Vectors scored per kernel call, at most, when scoring ahead for waiting candidates. Wider
// batches fill the kernel's lanes better but fetch more lists and vectors that the walk may
// reach late or, when it stops early, never. Of 8 to 96, 16 measured best across the bench's
// sets, for searches and insertions alike.
constexpr std::size_t BATCH = 16;

void begin_walk(WalkScratch& w, std::size_t slot_count) {
  w.slot_limit = slot_count;
  if (w.marks.size() < slot_count) {
    w.marks.resize(slot_count);
  }
  if (++w.epoch > MAX_EPOCH) {
    std::fill(w.marks.begin(), w.marks.end(), SlotMark{});
    w.epoch = 1;
  }
  w.arrivals = 0;
  w.candidates.clear();
  w.results.clear();
}

// Marks the slot visited; false when it already was.
bool first_visit(WalkScratch& w, Slot slot) {
  if (w.marks[slot].has(VISITED, w.epoch)) {
    return false;
  }
  w.marks[slot].set(VISITED, w.epoch);
  return true;
}

void push_candidate(WalkScratch& w, Entry entry) {
  w.candidates.push_back(entry);
  std::push_heap(w.candidates.begin(), w.candidates.end(), farther_first);
}

// Adds a result; past `bound` entries the worst one (the latest among equals) is dropped.
void push_result(WalkScratch& w, Entry entry, std::uint64_t bound) {
  w.results.push_back(entry);
  std::push_heap(w.results.begin(), w.results.end(), nearer_first);
  if (w.results.size() > bound) {
    std::pop_heap(w.results.begin(), w.results.end(), nearer_first);
    w.results.pop_back();
  }
}

Entry arrival(WalkScratch& w, float distance, Slot slot) {
  const std::uint64_t key = (std::uint64_t{distance_rank(distance)} << 32) | w.arrivals++;
  return Entry{key, distance, slot};
}

// Puts a starting node into the search: visited, to be expanded, and a result if `accept`.
// Only results found later are held to the bound, so even a bound of 0 keeps the seed.
void seed(WalkScratch& w, float distance, Slot slot, bool accept) {
  first_visit(w, slot);
  const Entry entry = arrival(w, distance, slot);
  push_candidate(w, entry);
  if (accept) {
    w.results.push_back(entry);
    std::push_heap(w.results.begin(), w.results.end(), nearer_first);
  }
}

// Queues the neighbours in `list` whose distances are still unknown for the kernel. When
// they are to be `bounded`, a neighbour is queued on its code row alone, and settle_queued
// checks the ones that its bound leaves. Otherwise a neighbour without a point is marked
// visited here: it is never scored nor expanded, and the expansion then skips it by the
// visited test alone.
void queue_list(const Query& query, bool bounded, std::span<const Slot> list,
                const PointTable& points, WalkScratch& w, ScoringScratch& k) {
  // Every mark of the list is fetched before any decision that depends on one, so their
  // cache misses overlap instead of following one another. Prefetches rather than loads: a
  // load waiting on memory holds up everything after it.
  w.gathered.clear();
  for (Slot neighbor : list) {
    if (neighbor < w.slot_limit) {
      __builtin_prefetch(&w.marks[neighbor]);
      w.gathered.push_back(neighbor);
    }
  }
  for (Slot slot : w.gathered) {
    SlotMark& mark = w.marks[slot];
    if (mark.has(VISITED | SCORED, w.epoch)) {
      continue;
    }
    if (bounded) {
      // Most neighbours are decided by their code alone: fetch it rather than the vector and
      // root, which the bound fetches for the ones it leaves.
      mark.set(SCORED, w.epoch);
      prefetch_lines(points.code_row(slot), code_row_bytes(query.values.size()));
      k.kernel_vectors.push_back(points.arena_place(slot));
      k.kernel_slots.push_back(slot);
      continue;
    }
    if (!points.has_point(slot)) {
      mark.set(VISITED, w.epoch);
      continue;
    }
    mark.set(SCORED, w.epoch);
    const std::span<const float> vector = points.vector(slot);
    if (!comparable(query, vector)) {
      mark.distance = MAX_DISTANCE;
      continue;
    }
    prefetch_lines(vector.data(), vector.size_bytes());
    points.prefetch_root(slot);
    k.kernel_vectors.push_back(vector.data());
    k.kernel_slots.push_back(slot);
  }
}

// Of the neighbours queued by their code rows, keeps for the kernel those whose row holds a
// code, which says that the vector is in the arena and has the query's length. The rest are
// checked as queue_list checks the neighbours it does not leave to a bound.
void settle_queued(const Query& query, const PointTable& points, WalkScratch& w, ScoringScratch& k) {
  std::size_t kept = 0;
  for (std::size_t j = 0; j < k.kernel_slots.size(); ++j) {
    const Slot slot = k.kernel_slots[j];
    if (!has_code(points.code_row(slot))) {
      if (!points.has_point(slot)) {
        w.marks[slot].set(VISITED, w.epoch);
        continue;
      }
      const std::span<const float> vector = points.vector(slot);
      if (!comparable(query, vector)) {
        w.marks[slot].distance = MAX_DISTANCE;
        continue;
      }
      k.kernel_vectors[j] = vector.data();
    }
    k.kernel_slots[kept] = slot;
    k.kernel_vectors[kept] = k.kernel_vectors[j];
    ++kept;
  }
  k.kernel_slots.resize(kept);
  k.kernel_vectors.resize(kept);
}

// Makes the distances of `node`'s unvisited neighbours known. A neighbour's distance does not
// depend on when it is computed, so the neighbours of waiting candidates join the same
// kernel call, up to BATCH vectors. With a code and a `worst` that is not NaN (the results
// are full), a neighbour whose distance is certainly not below `worst` is marked BOUNDED
// instead: full results stay full and their worst only falls, so it is turned away whenever
// it is reached.
void score_neighbors(const HNSWIndex& index, const Query& query, Slot node, std::uint64_t layer,
                     const PointTable& points, float worst, WalkScratch& w, ScoringScratch& k) {
  if (w.marks[node].has(QUEUED, w.epoch)) {
    return;  // scored ahead with an earlier candidate
  }
  w.marks[node].set(QUEUED, w.epoch);
  const bool bounded = query.code != nullptr && worst == worst;
  queue_list(query, bounded, index.neighbors(node, layer), points, w, k);
  if (k.kernel_slots.empty()) {
    return;
  }
  // The waiting candidates' lists are located and fetched together, every line of each, before
  // any is read.
  w.ahead.clear();
  for (std::size_t i = 0; i < w.candidates.size() && w.ahead.size() < BATCH / 4; ++i) {
    const Slot waiting = w.candidates[i].slot;
    if (!w.marks[waiting].has(QUEUED, w.epoch) && index.has_node(waiting)) {
      std::span<const Slot> list = index.neighbors(waiting, layer);
      prefetch_lines(list.data(), list.size_bytes());
      w.ahead.push_back(Ahead{waiting, list});
    }
  }
  for (const Ahead& waiting : w.ahead) {
    if (k.kernel_slots.size() >= BATCH) {
      break;
    }
    w.marks[waiting.slot].set(QUEUED, w.epoch);
    queue_list(query, bounded, waiting.list, points, w, k);
  }
  if (bounded) {
    turn_away_by_bound(query, worst, points, k, nullptr,
                       [&w, &k](std::size_t j) { w.marks[k.kernel_slots[j]].set(BOUNDED, w.epoch); });
    const std::size_t left = k.kernel_slots.size();
    settle_queued(query, points, w, k);
    k.decisions.exact -= left - k.kernel_slots.size();  // they had no distance to find
  }
  run_kernel(query, points, k,
             [&w, &k](std::size_t j, float distance) { w.marks[k.kernel_slots[j]].distance = distance; });
}

// Best-first exploration of one layer from the seeds already in `w`. A neighbour becomes a
// candidate when it is nearer than the worst result (taken once per expansion) or the
// results have room; it becomes a result only if `accept` says so. With `stop_early` the
// walk ends once the nearest candidate is farther than a full result list's worst; without,
// every candidate is expanded, so scoring ahead for the waiting ones is never wasted.
// Leaves the results in `w.found`, nearest first.
template <class Accept>
void explore(const HNSWIndex& index, const Query& query, std::uint64_t layer,
             std::uint64_t bound, bool stop_early, const PointTable& points, Accept accept,
             WalkScratch& w, ScoringScratch& k) {
  while (!w.candidates.empty()) {
    std::pop_heap(w.candidates.begin(), w.candidates.end(), farther_first);
    const Entry current = w.candidates.back();
    w.candidates.pop_back();
    const std::uint32_t worst =
        w.results.empty() ? distance_rank(MAX_DISTANCE) : rank_of(w.results.front());
    if (stop_early && w.results.size() >= bound && rank_of(current) > worst) {
      break;
    }
    if (!index.has_node(current.slot)) {
      continue;
    }
    const bool full = w.results.size() >= bound;
    const float worst_distance = !full                ? std::numeric_limits<float>::quiet_NaN()
                                 : w.results.empty() ? MAX_DISTANCE
                                                     : w.results.front().distance;
    score_neighbors(index, query, current.slot, layer, points, worst_distance, w, k);
    for (Slot neighbor : index.neighbors(current.slot, layer)) {
      if (neighbor >= w.slot_limit || !first_visit(w, neighbor)) {
        continue;
      }
      if (w.marks[neighbor].has(BOUNDED, w.epoch)) {
        continue;  // turned away by its bound
      }
      const float distance = w.marks[neighbor].distance;
      if (!(distance_rank(distance) < worst || w.results.size() < bound)) {
        continue;
      }
      const Entry entry = arrival(w, distance, neighbor);
      push_candidate(w, entry);
      if (layer == 0) {
        index.prefetch_links(neighbor);  // read when it is expanded, or scored ahead
      }
      if (accept(neighbor)) {
        push_result(w, entry, bound);
      }
    }
  }
  w.found.assign(w.results.begin(), w.results.end());
  std::sort(w.found.begin(), w.found.end(), nearer_first);
}

}  // namespace

void detail::walk_insertion_layer(const HNSWIndex& index, const Query& query, Slot entry,
                                  std::uint64_t layer, std::uint64_t beam,
                                  const PointTable& points, WalkScratch& w, ScoringScratch& k) {
  begin_walk(w, points.slot_count());
  if (w.found.empty()) {
    const float distance = holds_point(points, entry) ? distance_to(query, points, entry) : MAX_DISTANCE;
    seed(w, distance, entry, holds_point(points, entry));
  } else {
    // The nearest nodes of the layer above start the search on this one.
    for (const Entry& above : w.found) {
      seed(w, above.distance, above.slot, true);
    }
  }
  explore(index, query, layer, beam, true, points, [](Slot) { return true; }, w, k);
}

Slot HNSWIndex::search_layer(const Query& query, Slot entry, std::uint64_t layer,
                             const PointTable& points) const {
  float best = holds_point(points, entry) ? distance_to(query, points, entry) : MAX_DISTANCE;
  if (node_count_ == 0 || layer >= MAX_LAYERS) {
    return entry;
  }
  ScoringScratch& k = thread_scratch().scoring;
  Slot current = entry;
  while (has_node(current) && points.size() != 0) {
    k.list_slots.clear();
    for (Slot neighbor : neighbors(current, layer)) {
      if (holds_point(points, neighbor)) {
        k.list_slots.push_back(neighbor);
      }
    }
    // A neighbour certainly not nearer than `best` as the list is taken cannot win.
    score_list(query, k.list_slots, points, k.list_distances, k, best);
    // The best of the whole list wins; among equals the first, and NaN never improves.
    bool improved = false;
    for (std::size_t i = 0; i < k.list_slots.size(); ++i) {
      if (k.list_distances[i] < best) {
        best = k.list_distances[i];
        current = k.list_slots[i];
        improved = true;
      }
    }
    if (!improved) {
      break;
    }
  }
  return current;
}

std::vector<Candidate> HNSWIndex::search(const Query& plain, std::uint64_t bound,
                                         const PointTable& points, TenantRef tenant) const {
  if (!entry_point) {
    return {};
  }
  Scratch& s = thread_scratch();
  const Query query = with_code(plain, points, s.scoring);
  Slot entry = *entry_point;
  for (std::uint64_t layer = std::min<std::uint64_t>(max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    entry = search_layer(query, entry, layer, points);
  }
  if (!holds_point(points, entry)) {
    return {};
  }

  auto accept = [&points, tenant](Slot slot) {
    return tenant == NO_TENANT || points.tenant_of(slot) == tenant;
  };
  begin_walk(s.walk, points.slot_count());
  seed(s.walk, distance_to(query, points, entry), entry, accept(entry));
  explore(*this, query, 0, bound, false, points, accept, s.walk, s.scoring);

  std::vector<Candidate> results;
  results.reserve(s.walk.found.size());
  for (const Entry& entry_found : s.walk.found) {
    results.push_back(Candidate{entry_found.distance, entry_found.slot});
  }
  return results;
}

}  // namespace tarnwick
