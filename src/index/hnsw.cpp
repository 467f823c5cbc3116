#include "index/hnsw.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <random>

#include "core/distance.hpp"

namespace tarnwick {

// ---- Node lists -----------------------------------------------------------------------

std::span<const Slot> HNSWNode::neighbors(std::size_t layer) const {
  return NodeView{id, layer0, upper}.neighbors(layer);
}

std::vector<Slot>& HNSWNode::neighbors_mut(std::size_t layer) {
  if (layer == 0) {
    return layer0;
  }
  if (upper.size() < layer) {
    upper.resize(layer);
  }
  return upper[layer - 1];
}

std::span<const Slot> NodeView::neighbors(std::size_t layer) const {
  if (layer == 0) {
    return layer0;
  }
  if (layer <= upper.size()) {
    return upper[layer - 1];
  }
  return {};
}

NodeView::operator HNSWNode() const {
  return HNSWNode{id, std::vector<Slot>(layer0.begin(), layer0.end()),
                  std::vector<std::vector<Slot>>(upper.begin(), upper.end())};
}

// ---- Distances ------------------------------------------------------------------------

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

// A stored point seen as a query, with the root the table computed when it was stored.
Query point_query(const PointTable& points, Slot slot) {
  return Query{points.vector(slot), points.norm_root(slot)};
}

// Links may name slots the table has never given out only through a damaged graph; such a
// link is skipped like one to a slot without a point.
bool holds_point(const PointTable& points, Slot slot) {
  return slot < points.slot_count() && points.has_point(slot);
}

// An entry of a working list. `key` is the distance rank in the high half and the order of
// arrival in the low half, so equal distances keep the order in which they were found.
struct Entry {
  std::uint64_t key;
  float distance;
  Slot slot;
};

std::uint32_t rank_of(const Entry& entry) { return static_cast<std::uint32_t>(entry.key >> 32); }

// Function objects rather than functions, so that heap and sort code inlines the compare.
constexpr auto nearer_first = [](const Entry& a, const Entry& b) { return a.key < b.key; };
constexpr auto farther_first = [](const Entry& a, const Entry& b) { return a.key > b.key; };

// Per-slot state of one walk, 8 bytes so that many slots share a cache line. The flags
// count only when the tag's epoch is the walk's, so starting a walk empties every set at once.
constexpr std::uint32_t VISITED = 1;  // the slot was visited
constexpr std::uint32_t SCORED = 2;   // `distance` was set (or queued for the kernel)
constexpr std::uint32_t QUEUED = 4;   // the node's own neighbours were queued
constexpr std::uint32_t FLAG_BITS = 3;
constexpr std::uint32_t MAX_EPOCH = UINT32_MAX >> FLAG_BITS;

struct SlotMark {
  std::uint32_t tag = 0;  // epoch << FLAG_BITS | the flags set in that epoch
  float distance = 0.0f;  // cosine distance to the walk's query

  bool has(std::uint32_t flag, std::uint32_t epoch) const {
    return (tag >> FLAG_BITS) == epoch && (tag & flag) != 0;
  }
  void set(std::uint32_t flag, std::uint32_t epoch) {
    tag = ((tag >> FLAG_BITS) == epoch ? tag : epoch << FLAG_BITS) | flag;
  }
};

// A neighbour with its point-table columns, read ahead of use.
struct Gathered {
  Slot slot;
  bool has_point;
  std::span<const float> vector;
};

// A waiting candidate whose neighbours may be scored ahead.
struct Ahead {
  Slot slot;
  std::span<const Slot> list;
};

// Working memory of the walks, kept per thread so that a search allocates only while its
// buffers are still growing.
struct Scratch {
  std::vector<SlotMark> marks;  // by slot; cleared only when the epoch wraps
  std::size_t slot_limit = 0;   // slots of the walk's point table
  std::uint32_t epoch = 0;
  std::uint32_t arrivals = 0;

  std::vector<Entry> candidates;  // min-heap by key: the next node to expand on top
  std::vector<Entry> results;     // max-heap by key: the worst result on top
  std::vector<Entry> found;       // results of the last layer, nearest first

  std::vector<Gathered> gathered;  // one neighbour list, read ahead
  std::vector<Ahead> ahead;        // waiting candidates about to be scored ahead

  // Points queued for one call of the batched kernel.
  std::vector<const float*> kernel_vectors;
  std::vector<Slot> kernel_slots;
  std::vector<float> kernel_sums;

  // Scoring of a plain list (greedy walk, link pruning).
  std::vector<Slot> list_slots;
  std::vector<float> list_distances;
  std::vector<std::uint32_t> list_positions;  // of the queued vectors in the list

  // Neighbour selection.
  std::vector<Entry> pending;  // the candidates, nearest to the base first
  std::vector<std::span<const float>> pending_vectors;  // of the pending entries, read once
  std::vector<float> pending_roots;                     // square roots of their squared norms
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
};

// The calling thread's scratch, fetched once per walk or insertion. Kept out of line: in a
// shared library, reaching a thread-local object calls into the dynamic loader, and an
// inlined access let the compiler repeat that call at every use inside the hot loops
// rather than keep the address in a register.
[[gnu::noinline]] Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Vectors scored per kernel call, at most, when scoring ahead for waiting candidates. An
// insertion stops early, so what it scores ahead may go unused; it looks ahead less.
constexpr std::size_t SEARCH_BATCH = 64;
constexpr std::size_t INSERT_BATCH = 16;

void begin_walk(Scratch& s, std::size_t slot_count) {
  s.slot_limit = slot_count;
  if (s.marks.size() < slot_count) {
    s.marks.resize(slot_count);
  }
  if (++s.epoch > MAX_EPOCH) {
    std::fill(s.marks.begin(), s.marks.end(), SlotMark{});
    s.epoch = 1;
  }
  s.arrivals = 0;
  s.candidates.clear();
  s.results.clear();
}

// Marks the slot visited; false when it already was.
bool first_visit(Scratch& s, Slot slot) {
  if (s.marks[slot].has(VISITED, s.epoch)) {
    return false;
  }
  s.marks[slot].set(VISITED, s.epoch);
  return true;
}

// Vectors that cannot be compared with the query (another length, or empty) get
// MAX_DISTANCE without reaching the kernel.
bool comparable(const Query& query, std::span<const float> vector) {
  return !vector.empty() && vector.size() == query.values.size();
}

// Runs the batched kernel over the queued vectors; `store(j, distance)` receives the cosine
// distance of the j-th queued one.
template <class Store>
void run_kernel(const Query& query, const PointTable& points, Scratch& s, Store store) {
  const std::size_t count = s.kernel_vectors.size();
  if (count == 0) {
    return;
  }
  s.kernel_sums.resize(count);
  sum_products_batch(query.values.data(), s.kernel_vectors.data(), count, query.values.size(),
                     s.kernel_sums.data());
  for (std::size_t j = 0; j < count; ++j) {
    store(j, cosine_distance_from_roots(s.kernel_sums[j], query.norm_root,
                                        points.norm_root(s.kernel_slots[j])));
  }
  s.kernel_vectors.clear();
  s.kernel_slots.clear();
}

// Cosine distances from `query` to the points of `slots` (all holding points), one per slot.
void score_list(const Query& query, std::span<const Slot> slots, const PointTable& points,
                std::vector<float>& distances, Scratch& s) {
  distances.assign(slots.size(), MAX_DISTANCE);
  s.kernel_vectors.clear();
  s.kernel_slots.clear();
  s.list_positions.clear();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    std::span<const float> vector = points.vector(slots[i]);
    if (comparable(query, vector)) {
      s.kernel_vectors.push_back(vector.data());
      s.kernel_slots.push_back(slots[i]);
      s.list_positions.push_back(static_cast<std::uint32_t>(i));
    }
  }
  run_kernel(query, points, s,
             [&](std::size_t j, float distance) { distances[s.list_positions[j]] = distance; });
}

void push_candidate(Scratch& s, Entry entry) {
  s.candidates.push_back(entry);
  std::push_heap(s.candidates.begin(), s.candidates.end(), farther_first);
}

// Adds a result; past `bound` entries the worst one (the latest among equals) is dropped.
void push_result(Scratch& s, Entry entry, std::uint64_t bound) {
  s.results.push_back(entry);
  std::push_heap(s.results.begin(), s.results.end(), nearer_first);
  if (s.results.size() > bound) {
    std::pop_heap(s.results.begin(), s.results.end(), nearer_first);
    s.results.pop_back();
  }
}

Entry arrival(Scratch& s, float distance, Slot slot) {
  const std::uint64_t key = (std::uint64_t{distance_rank(distance)} << 32) | s.arrivals++;
  return Entry{key, distance, slot};
}

// Puts a starting node into the search: visited, to be expanded, and a result if `accept`.
// Only results found later are held to the bound, so even a bound of 0 keeps the seed.
void seed(Scratch& s, float distance, Slot slot, bool accept) {
  first_visit(s, slot);
  const Entry entry = arrival(s, distance, slot);
  push_candidate(s, entry);
  if (accept) {
    s.results.push_back(entry);
    std::push_heap(s.results.begin(), s.results.end(), nearer_first);
  }
}

// Queues the neighbours in `list` whose distances are still unknown for the kernel. A
// neighbour without a point is marked visited here: it is never scored nor expanded, and
// the expansion then skips it by the visited test alone.
void queue_list(const Query& query, std::span<const Slot> list, const PointTable& points, Scratch& s) {
  // Every look-up of the list is issued before any decision that depends on one, so their
  // cache misses overlap instead of following one another.
  s.gathered.clear();
  for (Slot neighbor : list) {
    if (neighbor < s.slot_limit) {
      __builtin_prefetch(&s.marks[neighbor]);
      s.gathered.push_back(Gathered{neighbor, points.has_point(neighbor), points.vector(neighbor)});
    }
  }
  for (const Gathered& neighbor : s.gathered) {
    SlotMark& mark = s.marks[neighbor.slot];
    if (mark.has(VISITED | SCORED, s.epoch)) {
      continue;
    }
    if (!neighbor.has_point) {
      mark.set(VISITED, s.epoch);
      continue;
    }
    mark.set(SCORED, s.epoch);
    if (!comparable(query, neighbor.vector)) {
      mark.distance = MAX_DISTANCE;
      continue;
    }
    __builtin_prefetch(neighbor.vector.data());
    points.prefetch_root(neighbor.slot);
    s.kernel_vectors.push_back(neighbor.vector.data());
    s.kernel_slots.push_back(neighbor.slot);
  }
}

// Makes the distances of `node`'s unvisited neighbours known. A neighbour's distance does not
// depend on when it is computed, so the neighbours of waiting candidates join the same
// kernel call, up to `batch` vectors: wide batches keep every kernel lane busy.
void score_neighbors(const HNSWIndex& index, const Query& query, Slot node, std::uint64_t layer,
                     const PointTable& points, std::size_t batch, Scratch& s) {
  if (s.marks[node].has(QUEUED, s.epoch)) {
    return;  // scored ahead with an earlier candidate
  }
  s.marks[node].set(QUEUED, s.epoch);
  queue_list(query, index.neighbors(node, layer), points, s);
  if (s.kernel_slots.empty()) {
    return;
  }
  // The waiting candidates' lists are located and fetched together before any is read.
  s.ahead.clear();
  for (std::size_t i = 0; i < s.candidates.size() && s.ahead.size() < batch / 4; ++i) {
    const Slot waiting = s.candidates[i].slot;
    if (!s.marks[waiting].has(QUEUED, s.epoch) && index.has_node(waiting)) {
      std::span<const Slot> list = index.neighbors(waiting, layer);
      __builtin_prefetch(list.data());
      s.ahead.push_back(Ahead{waiting, list});
    }
  }
  for (const Ahead& waiting : s.ahead) {
    if (s.kernel_slots.size() >= batch) {
      break;
    }
    s.marks[waiting.slot].set(QUEUED, s.epoch);
    queue_list(query, waiting.list, points, s);
  }
  run_kernel(query, points, s,
             [&s](std::size_t j, float distance) { s.marks[s.kernel_slots[j]].distance = distance; });
}

// Best-first exploration of one layer from the seeds already in `s`. A neighbour becomes a
// candidate when it is nearer than the worst result (taken once per expansion) or the
// results have room; it becomes a result only if `accept` says so. With `stop_early` the
// walk ends once the nearest candidate is farther than a full result list's worst; without,
// every candidate is expanded, so scoring ahead for the waiting ones is never wasted.
// Leaves the results in `s.found`, nearest first.
template <class Accept>
void explore(const HNSWIndex& index, const Query& query, std::uint64_t layer,
             std::uint64_t bound, bool stop_early, const PointTable& points, Accept accept,
             Scratch& s) {
  const std::size_t batch = stop_early ? INSERT_BATCH : SEARCH_BATCH;
  while (!s.candidates.empty()) {
    std::pop_heap(s.candidates.begin(), s.candidates.end(), farther_first);
    const Entry current = s.candidates.back();
    s.candidates.pop_back();
    const std::uint32_t worst =
        s.results.empty() ? distance_rank(MAX_DISTANCE) : rank_of(s.results.front());
    if (stop_early && s.results.size() >= bound && rank_of(current) > worst) {
      break;
    }
    if (!index.has_node(current.slot)) {
      continue;
    }
    score_neighbors(index, query, current.slot, layer, points, batch, s);
    for (Slot neighbor : index.neighbors(current.slot, layer)) {
      if (neighbor >= s.slot_limit || !first_visit(s, neighbor)) {
        continue;
      }
      const float distance = s.marks[neighbor].distance;
      if (!(distance_rank(distance) < worst || s.results.size() < bound)) {
        continue;
      }
      const Entry entry = arrival(s, distance, neighbor);
      push_candidate(s, entry);
      if (accept(neighbor)) {
        push_result(s, entry, bound);
      }
    }
  }
  s.found.assign(s.results.begin(), s.results.end());
  std::sort(s.found.begin(), s.found.end(), nearer_first);
}

// Neighbour selection: walks `sorted` (nearest to the base first) and keeps a node unless an
// already kept one is nearer to it than the base is. Links then spread over directions
// instead of crowding into one cluster, which keeps the graph navigable. At most `cap`
// slots go to `out`; `exclude` never does.

// Candidates of mixed lengths: one pair at a time, in the order of the rule.
void select_pairwise(std::size_t cap, std::vector<Slot>& out, Scratch& s) {
  for (std::size_t c = 0; c < s.pending.size() && out.size() < cap; ++c) {
    std::span<const float> vector = s.pending_vectors[c];
    const bool dropped = std::any_of(s.kept.begin(), s.kept.end(), [&](std::uint32_t kept) {
      std::span<const float> other = s.pending_vectors[kept];
      const float distance =
          other.empty() || other.size() != vector.size()
              ? MAX_DISTANCE
              : cosine_distance_from_roots(sum_products(other.data(), vector.data(), vector.size()),
                                           s.pending_roots[kept], s.pending_roots[c]);
      return distance_rank(distance) < rank_of(s.pending[c]);
    });
    if (!dropped) {
      out.push_back(s.pending[c].slot);
      s.kept.push_back(static_cast<std::uint32_t>(c));
    }
  }
}

// Candidates of one length are decided a block at a time, the block laid out as columns.
// A block holds this many floats at most (64 vectors of 128), so it stays in the first level
// of cache, and at least one group of lanes.
constexpr std::size_t BLOCK_FLOATS = 64 * 128;

struct Block {
  std::size_t count = 0;   // lanes in use; s.block_positions holds their pending positions
  std::size_t stride = 0;  // lanes per row of the layout
  std::size_t length = 0;  // floats per vector
};

// Lays out the vectors of s.block_positions as columns, all lanes undecided.
Block lay_out(std::size_t length, Scratch& s) {
  Block block{s.block_positions.size(), 0, length};
  block.stride = (block.count + COLUMN_GROUP - 1) / COLUMN_GROUP * COLUMN_GROUP;
  s.block_vectors.clear();
  s.alive.assign(block.stride, 0);
  s.block_roots.assign(block.stride, 0.0f);
  s.block_ranks.assign(block.stride, 0);
  for (std::size_t lane = 0; lane < block.count; ++lane) {
    const std::uint32_t position = s.block_positions[lane];
    s.block_vectors.push_back(s.pending_vectors[position].data());
    s.alive[lane] = 1;
    s.block_roots[lane] = s.pending_roots[position];
    s.block_ranks[lane] = rank_of(s.pending[position]);
  }
  s.columns.resize(length * block.stride);
  lay_out_columns(s.block_vectors.data(), block.count, length, s.columns.data(), block.stride);
  s.block_sums.resize(MAX_COLUMN_QUERIES * block.stride);
  s.lane_ranks.resize(block.stride);
  return block;
}

// Sums of the pending vectors at `queries` against the block's lanes from `first`, one row
// of s.block_sums per query.
void score_block(const Block& block, std::span<const std::uint32_t> queries, std::size_t first,
                 Scratch& s) {
  const float* vectors[MAX_COLUMN_QUERIES];
  for (std::size_t q = 0; q < queries.size(); ++q) {
    vectors[q] = s.pending_vectors[queries[q]].data();
  }
  sum_products_columns(vectors, queries.size(), s.columns.data(), block.stride, first,
                       block.count, block.length, s.block_sums.data());
}

// Drops the lanes from `first` that the kept candidate scored in row `row` is nearer to than
// the base is.
void drop_by(const Block& block, std::size_t row, std::size_t kept, std::size_t first, Scratch& s) {
  const std::size_t group = first / COLUMN_GROUP * COLUMN_GROUP;
  cosine_ranks_from_roots(s.block_sums.data() + row * block.stride + group, s.pending_roots[kept],
                          s.block_roots.data() + group, block.stride - group,
                          s.lane_ranks.data() + group);
  for (std::size_t lane = first; lane < block.count; ++lane) {
    s.alive[lane] &= static_cast<std::uint8_t>(s.lane_ranks[lane] >= s.block_ranks[lane]);
  }
}

// When at least half of the lanes from `first` on, and a whole group, are decided, lays the
// undecided ones out again, closed up; true if it did.
bool close_up(Block& block, std::size_t first, Scratch& s) {
  std::size_t undecided = 0;
  for (std::size_t lane = first; lane < block.count; ++lane) {
    undecided += s.alive[lane];
  }
  const std::size_t decided = block.count - first - undecided;
  if (decided < COLUMN_GROUP || decided < undecided) {
    return false;
  }
  std::size_t kept_lanes = 0;
  for (std::size_t lane = first; lane < block.count; ++lane) {
    if (s.alive[lane]) {
      s.block_positions[kept_lanes++] = s.block_positions[lane];
    }
  }
  s.block_positions.resize(kept_lanes);
  block = lay_out(block.length, s);
  return true;
}

// Decides the pending candidates [begin, end), all of `length` floats. The ones kept in
// earlier blocks are scored against all of them; then each candidate kept here against the
// undecided ones after it. The next few undecided candidates are scored along with a kept
// one, on the bet that they will be kept too, so that one pass over the block serves several
// of them. The bet widens while bets win and narrows to what won when one loses, so that
// data where most candidates are dropped does not pay for scoring them.
void select_block(std::size_t begin, std::size_t end, std::size_t length, std::size_t cap,
                  std::vector<Slot>& out, Scratch& s) {
  s.block_positions.clear();
  for (std::size_t position = begin; position < end; ++position) {
    s.block_positions.push_back(static_cast<std::uint32_t>(position));
  }
  Block block = lay_out(length, s);
  for (std::size_t k = 0; k < s.kept.size(); k += MAX_COLUMN_QUERIES) {
    const std::span<const std::uint32_t> queries =
        std::span(s.kept).subspan(k, std::min(MAX_COLUMN_QUERIES, s.kept.size() - k));
    score_block(block, queries, 0, s);
    for (std::size_t q = 0; q < queries.size(); ++q) {
      drop_by(block, q, queries[q], 0, s);
    }
  }
  std::uint32_t bets[MAX_COLUMN_QUERIES];
  std::size_t bet_count = 0;
  std::size_t bets_won = 0;
  std::size_t bet_width = 1;
  std::size_t next = 0;
  while (next < block.count && out.size() < cap) {
    const std::size_t lane = next++;
    if (!s.alive[lane]) {
      continue;
    }
    const std::uint32_t position = s.block_positions[lane];
    out.push_back(s.pending[position].slot);
    s.kept.push_back(position);
    if (out.size() >= cap) {
      break;
    }
    if (close_up(block, next, s)) {
      next = 0;
      bet_count = 0;  // their rows were for the old lanes
    }
    std::size_t row = std::find(bets, bets + bet_count, position) - bets;
    if (row == bet_count) {
      if (bet_count != 0) {
        bet_width = bets_won == bet_count ? std::min(2 * bet_width, MAX_COLUMN_QUERIES)
                                          : std::max<std::size_t>(bets_won, 1);
      }
      bets[0] = position;
      bet_count = 1;
      bets_won = 0;
      for (std::size_t later = next; later < block.count && bet_count < bet_width; ++later) {
        if (s.alive[later]) {
          bets[bet_count++] = s.block_positions[later];
        }
      }
      score_block(block, std::span(bets, bet_count), next, s);
      row = 0;
    }
    ++bets_won;
    drop_by(block, row, position, next, s);
  }
}

// The length all `vectors` share, or 0 when they differ, are empty, or there are none.
std::size_t common_length(std::span<const std::span<const float>> vectors) {
  const std::size_t length = vectors.empty() ? 0 : vectors[0].size();
  const bool uniform = std::all_of(vectors.begin(), vectors.end(),
                                   [length](std::span<const float> v) { return v.size() == length; });
  return uniform ? length : 0;
}

void select_neighbors(std::span<const Entry> sorted, std::size_t cap, Slot exclude,
                      const PointTable& points, std::vector<Slot>& out, Scratch& s) {
  out.clear();
  s.pending.clear();
  s.pending_vectors.clear();
  s.pending_roots.clear();
  s.kept.clear();
  for (const Entry& candidate : sorted) {
    if (candidate.slot != exclude) {
      s.pending.push_back(candidate);
      s.pending_vectors.push_back(points.vector(candidate.slot));
      s.pending_roots.push_back(points.norm_root(candidate.slot));
    }
  }
  const std::size_t length = common_length(s.pending_vectors);
  if (length == 0) {
    select_pairwise(cap, out, s);
    return;
  }
  const std::size_t lanes = std::max(BLOCK_FLOATS / length / COLUMN_GROUP, std::size_t{1}) * COLUMN_GROUP;
  for (std::size_t begin = 0; begin < s.pending.size() && out.size() < cap; begin += lanes) {
    select_block(begin, std::min(begin + lanes, s.pending.size()), length, cap, out, s);
  }
}

// Layer-0 rows hold at most this many links; longer lists (a very large m) live apart.
constexpr std::size_t MAX_ROW_LINKS = 256;

// The link cap of a list: `m` above layer 0 and 2m on layer 0; at least one link, so every
// inserted node stays reachable.
std::size_t link_cap(std::uint64_t m, std::uint64_t layer) {
  const std::uint64_t per_layer = std::max<std::uint64_t>(m, 1);
  if (layer != 0) {
    return per_layer;
  }
  return per_layer > UINT64_MAX / 2 ? UINT64_MAX : per_layer * 2;
}

// A list is settled when neighbour selection over the list alone would keep every link, as
// it does for a list that selection produced. Adding a link to a full settled list then
// changes only what concerns the new link: every link before it (nearest to the owner
// first) stays, the new link stays unless one of those is nearer to it than the owner is,
// and a link after it goes only if the new link is nearer to it than the owner is. So the
// new link is scored against the others, instead of every pair.
//
// `sorted` holds the list's links and the new one (at `added`), nearest to the owner first;
// `vectors` their vectors, of one length. Keeps what selection with `cap` would keep, in
// `out`.
void select_into_settled(std::span<const Entry> sorted, std::size_t added,
                         std::span<const std::span<const float>> vectors, std::size_t cap,
                         const PointTable& points, std::vector<Slot>& out, Scratch& s) {
  const Entry& fresh = sorted[added];
  const Query query{vectors[added], points.norm_root(fresh.slot)};
  s.kernel_vectors.clear();
  s.kernel_slots.clear();
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i != added) {
      s.kernel_vectors.push_back(vectors[i].data());
      s.kernel_slots.push_back(sorted[i].slot);
    }
  }
  s.list_distances.resize(sorted.size());
  run_kernel(query, points, s, [&s, added](std::size_t j, float distance) {
    s.list_distances[j < added ? j : j + 1] = distance;
  });
  bool kept = true;
  for (std::size_t i = 0; i < added && kept; ++i) {
    kept = distance_rank(s.list_distances[i]) >= rank_of(fresh);
  }
  out.clear();
  for (std::size_t i = 0; i < sorted.size() && out.size() < cap; ++i) {
    const bool dropped = i == added ? !kept
                                    : kept && i > added && distance_rank(s.list_distances[i]) < rank_of(sorted[i]);
    if (!dropped) {
      out.push_back(sorted[i].slot);
    }
  }
}

// Adds `target` to the list of `owner`; a list then over `cap` is cut back by neighbour
// selection around `owner`, which also drops links to slots without a point. `settled` says
// whether the list was settled; returns whether it is now.
bool add_link_to_list(std::vector<Slot>& list, Slot owner, Slot target, std::size_t cap,
                      bool settled, const PointTable& points, Scratch& s) {
  if (std::find(list.begin(), list.end(), target) != list.end()) {
    return settled;
  }
  // One link over the cap is the most a list ever holds: growing by exactly that much keeps
  // upper lists from doubling their memory on their first overflow.
  list.reserve(std::min(cap, MAX_ROW_LINKS) + 1);
  list.push_back(target);
  if (list.size() <= cap) {
    return false;
  }
  s.list_slots.clear();
  for (Slot linked : list) {
    if (linked != owner && holds_point(points, linked)) {
      s.list_slots.push_back(linked);
    }
  }
  score_list(point_query(points, owner), s.list_slots, points, s.list_distances, s);
  s.selection.clear();
  for (std::size_t i = 0; i < s.list_slots.size(); ++i) {
    const std::uint64_t key = (std::uint64_t{distance_rank(s.list_distances[i])} << 32) | i;
    s.selection.push_back(Entry{key, s.list_distances[i], s.list_slots[i]});
  }
  std::sort(s.selection.begin(), s.selection.end(), nearer_first);
  // A settled list's links all hold points, and so does a new link, so none is left out
  // here; the check keeps the shortcut to exactly the lists it is sound for.
  if (settled && s.list_slots.size() == list.size()) {
    s.pending_vectors.clear();
    std::size_t added = 0;
    for (std::size_t i = 0; i < s.selection.size(); ++i) {
      s.pending_vectors.push_back(points.vector(s.selection[i].slot));
      if (s.selection[i].slot == target) {
        added = i;
      }
    }
    if (common_length(s.pending_vectors) != 0) {
      select_into_settled(s.selection, added, s.pending_vectors, cap, points, list, s);
      return true;
    }
  }
  select_neighbors(s.selection, cap, owner, points, list, s);
  return true;
}

// ---- Level draw -----------------------------------------------------------------------

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

// ---- The graph ------------------------------------------------------------------------

NodeView HNSWIndex::node(Slot slot, const PointTable& points) const {
  std::span<const std::vector<Slot>> upper;
  if (uppers_[slot] != NO_UPPER) {
    upper = upper_[uppers_[slot]];
  }
  auto own = own_ids_.find(slot);
  return NodeView{own != own_ids_.end() ? own->second : points.key(slot), neighbors(slot, 0), upper};
}

std::span<const Slot> HNSWIndex::upper_neighbors(Slot slot, std::size_t layer) const {
  const std::uint32_t upper = uppers_[slot];
  if (upper == NO_UPPER || layer > upper_[upper].size()) {
    return {};
  }
  return upper_[upper][layer - 1];
}

void HNSWIndex::store_layer0(Slot slot, std::span<const Slot> links) {
  Slot* cells = row(slot);
  if (links.size() < rows_.stride()) {
    if (cells[0] == LONG_LIST) {
      std::vector<Slot>().swap(overflow_[cells[1]]);
    }
    cells[0] = static_cast<Slot>(links.size());
    std::copy(links.begin(), links.end(), cells + 1);
    return;
  }
  if (cells[0] != LONG_LIST) {
    cells[0] = LONG_LIST;
    cells[1] = static_cast<Slot>(overflow_.size());
    overflow_.emplace_back();
  }
  overflow_[cells[1]].assign(links.begin(), links.end());
}

std::vector<Slot>& HNSWIndex::upper_list(Slot slot, std::size_t layer) {
  std::uint32_t& upper = uppers_[slot];
  if (upper == NO_UPPER) {
    upper_.emplace_back();
    upper = static_cast<std::uint32_t>(upper_.size() - 1);
  }
  std::vector<std::vector<Slot>>& lists = upper_[upper];
  if (lists.size() < layer) {
    lists.resize(layer);
  }
  return lists[layer - 1];
}

void HNSWIndex::set_node(Slot slot, HNSWNode node, const PointTable& points) {
  if (rows_.stride() == 0) {
    // Rows stay on small pages: a huge page would add more memory than the walks gain.
    rows_.reset(1 + std::min<std::size_t>(link_cap(m, 0), MAX_ROW_LINKS), false);
  }
  settled_.make_room(slot);
  while (uppers_.size() <= slot) {
    uppers_.push_back(NO_NODE);
  }
  std::uint32_t& upper = uppers_[slot];
  if (upper == NO_NODE) {
    rows_.place(slot)[0] = 0;
    upper = NO_UPPER;
    ++node_count_;
  }
  if (node.id != points.key(slot)) {
    own_ids_[slot] = node.id;
  } else {
    own_ids_.erase(slot);
  }
  store_layer0(slot, node.layer0);
  settled_.assign(slot, false);
  if (!node.upper.empty() || upper != NO_UPPER) {
    if (upper == NO_UPPER) {
      upper_.emplace_back();
      upper = static_cast<std::uint32_t>(upper_.size() - 1);
    }
    upper_[upper] = std::move(node.upper);
  }
}

void HNSWIndex::add_link(Slot owner, std::uint64_t layer, Slot target, const PointTable& points) {
  Scratch& s = thread_scratch();
  const std::size_t cap = link_cap(m, layer);
  if (layer != 0) {
    add_link_to_list(upper_list(owner, layer), owner, target, cap, false, points, s);
    return;
  }
  std::span<const Slot> current = neighbors(owner, 0);
  if (std::find(current.begin(), current.end(), target) != current.end()) {
    return;
  }
  Slot* cells = row(owner);
  if (current.size() < cap && cells[0] != LONG_LIST && cells[0] + 1 < rows_.stride()) {
    cells[1 + cells[0]] = target;
    ++cells[0];
    settled_.assign(owner, false);
    return;
  }
  s.links.assign(current.begin(), current.end());
  settled_.assign(owner, add_link_to_list(s.links, owner, target, cap, settled_.test(owner), points, s));
  store_layer0(owner, s.links);
}

void HNSWIndex::insert(Slot slot, const PointTable& points) {
  insert_at_level(slot, points, random_level(m));
}

void HNSWIndex::insert_at_level(Slot slot, const PointTable& points, std::uint64_t level) {
  level = std::min<std::uint64_t>(level, MAX_LAYERS - 1);
  HNSWNode fresh;
  fresh.id = points.key(slot);
  if (!entry_point) {
    entry_point = slot;
    max_level = level;
    set_node(slot, std::move(fresh), points);
    return;
  }

  // A replaced point may have moved, and with it what any list holding its slot would keep.
  if (points.replacements() != replacements_seen_) {
    settled_.clear();
    replacements_seen_ = points.replacements();
  }
  // A node already under `slot` stays in place while the walks run, so they can pass
  // through it; it is replaced only at the end.
  const Query query = point_query(points, slot);
  const std::uint64_t top = max_level;
  Slot entry = *entry_point;
  for (std::uint64_t layer = std::min<std::uint64_t>(top, MAX_LAYERS - 1); layer > level; --layer) {
    entry = search_layer(query, entry, layer, points);
  }

  const std::uint64_t beam = std::max<std::uint64_t>(ef_construction, 1);
  Scratch& s = thread_scratch();
  s.found.clear();
  for (std::uint64_t layer = std::min(level, top);; --layer) {
    begin_walk(s, points.slot_count());
    if (s.found.empty()) {
      const float distance = holds_point(points, entry) ? distance_to(query, points, entry) : MAX_DISTANCE;
      seed(s, distance, entry, holds_point(points, entry));
    } else {
      // The nearest nodes of the layer above start the search on this one.
      for (const Entry& above : s.found) {
        seed(s, above.distance, above.slot, true);
      }
    }
    explore(*this, query, layer, beam, true, points, [](Slot) { return true; }, s);

    std::vector<Slot>& links = fresh.neighbors_mut(layer);
    select_neighbors(s.found, link_cap(m, layer), slot, points, links, s);
    // Each back-link reads the neighbour's list; the next neighbour's list is fetched while
    // this one is linked.
    for (std::size_t i = 0; i < links.size(); ++i) {
      if (layer == 0 && i + 1 < links.size() && has_node(links[i + 1])) {
        prefetch_links(links[i + 1]);
      }
      if (has_node(links[i])) {
        add_link(links[i], layer, slot, points);
      }
    }
    if (layer == 0) {
      break;
    }
  }

  while (!fresh.upper.empty() && fresh.upper.back().empty()) {
    fresh.upper.pop_back();
  }
  if (level > top) {
    max_level = level;
    entry_point = slot;
  }
  set_node(slot, std::move(fresh), points);
  settled_.assign(slot, true);  // its layer-0 list came from selection
}

Slot HNSWIndex::search_layer(const Query& query, Slot entry, std::uint64_t layer,
                             const PointTable& points) const {
  float best = holds_point(points, entry) ? distance_to(query, points, entry) : MAX_DISTANCE;
  if (node_count_ == 0 || layer >= MAX_LAYERS) {
    return entry;
  }
  Scratch& s = thread_scratch();
  Slot current = entry;
  while (has_node(current) && points.size() != 0) {
    s.list_slots.clear();
    for (Slot neighbor : neighbors(current, layer)) {
      if (holds_point(points, neighbor)) {
        s.list_slots.push_back(neighbor);
      }
    }
    score_list(query, s.list_slots, points, s.list_distances, s);
    // The best of the whole list wins; among equals the first, and NaN never improves.
    bool improved = false;
    for (std::size_t i = 0; i < s.list_slots.size(); ++i) {
      if (s.list_distances[i] < best) {
        best = s.list_distances[i];
        current = s.list_slots[i];
        improved = true;
      }
    }
    if (!improved) {
      break;
    }
  }
  return current;
}

std::vector<Candidate> HNSWIndex::search(const Query& query, std::uint64_t bound,
                                         const PointTable& points, TenantRef tenant) const {
  if (!entry_point) {
    return {};
  }
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
  Scratch& s = thread_scratch();
  begin_walk(s, points.slot_count());
  seed(s, distance_to(query, points, entry), entry, accept(entry));
  explore(*this, query, 0, bound, false, points, accept, s);

  std::vector<Candidate> results;
  results.reserve(s.found.size());
  for (const Entry& entry_found : s.found) {
    results.push_back(Candidate{entry_found.distance, entry_found.slot});
  }
  return results;
}

}  // namespace tarnwick
