// Neighbour selection, and the cutting back of a list that grows past its cap.
#include "index/neighbor_selection.hpp"

#include <algorithm>

#include "core/bound.hpp"
#include "core/distance.hpp"
#include "core/prefetch.hpp"
#include "index/list_scoring.hpp"
#include "index/link_caps.hpp"
#include "index/point_lookup.hpp"
#include "index/scratch_buffer.hpp"

namespace tarnwick::detail {

namespace {

// Candidates of mixed lengths: one pair at a time, in the order of the rule (see the header).
void select_pairwise(std::size_t cap, std::vector<Slot>& out, SelectionScratch& s) {
  for (std::size_t c = 0; c < s.pending.size() && out.size() < cap; ++c) {
    std::span<const float> vector = s.pending_vectors[c];
    const bool dropped = std::any_of(s.kept.begin(), s.kept.end(), [&](std::uint32_t kept) {
      std::span<const float> other = s.pending_vectors[kept];
      const float distance =
          other.empty() || other.size() != vector.size()
              ? MAX_DISTANCE
              : cosine_distance_from_roots(sum_products(other.data(), vector.data(), vector.size()),
                                           s.pending_roots[kept], s.pending_roots[c]);
      return distance_rank(distance) < s.pending_ranks[c];
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
Block lay_out(std::size_t length, SelectionScratch& s) {
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
    s.block_ranks[lane] = s.pending_ranks[position];
  }
  grow_to(s.columns, length * block.stride);
  lay_out_columns(s.block_vectors.data(), block.count, length, s.columns.data(), block.stride);
  grow_to(s.block_sums, MAX_COLUMN_QUERIES * block.stride);
  grow_to(s.lane_ranks, block.stride);
  return block;
}

// Sums of the pending vectors at `queries` against the block's lanes from `first`, one row
// of s.block_sums per query.
void score_block(const Block& block, std::span<const std::uint32_t> queries, std::size_t first,
                 SelectionScratch& s) {
  const float* vectors[MAX_COLUMN_QUERIES];
  for (std::size_t q = 0; q < queries.size(); ++q) {
    vectors[q] = s.pending_vectors[queries[q]].data();
  }
  sum_products_columns(vectors, queries.size(), s.columns.data(), block.stride, first,
                       block.count, block.length, s.block_sums.data());
}

// Drops the lanes from `first` that the kept candidate scored in row `row` is nearer to than
// the base is.
void drop_by(const Block& block, std::size_t row, std::size_t kept, std::size_t first, SelectionScratch& s) {
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
bool close_up(Block& block, std::size_t first, SelectionScratch& s) {
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
                  std::vector<Slot>& out, SelectionScratch& s) {
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

// A list is settled when neighbour selection over the list alone would keep every link, as
// it does for a list that selection produced; such a list also holds its links nearest to
// the owner first (equals in the order they had), as selection writes them. Adding a link to
// a full settled list then changes only what concerns the new link: every link before it
// (nearest to the owner first) stays, the new link stays unless one of those is nearer to it
// than the owner is, and a link after it goes only if the new link is nearer to it than the
// owner is. So the new link is scored against the others, instead of every pair.
//
// `sorted` holds the list's links and the new one (at `added`), nearest to the owner first;
// `vectors` their vectors, of one length. Keeps what selection with `cap` would keep, in
// `out`.
void select_into_settled(std::span<const Entry> sorted, std::size_t added,
                         std::span<const std::span<const float>> vectors, std::size_t cap,
                         const PointTable& points, std::vector<Slot>& out, ScoringScratch& k) {
  const Entry& fresh = sorted[added];
  const Query query{vectors[added], points.norm_root(fresh.slot)};
  k.kernel_vectors.clear();
  k.kernel_slots.clear();
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i != added) {
      k.kernel_vectors.push_back(vectors[i].data());
      k.kernel_slots.push_back(sorted[i].slot);
    }
  }
  k.list_distances.resize(sorted.size());
  run_kernel(query, points, k, [&k, added](std::size_t j, float distance) {
    k.list_distances[j < added ? j : j + 1] = distance;
  });
  bool kept = true;
  for (std::size_t i = 0; i < added && kept; ++i) {
    kept = distance_rank(k.list_distances[i]) >= rank_of(fresh);
  }
  out.clear();
  for (std::size_t i = 0; i < sorted.size() && out.size() < cap; ++i) {
    const bool dropped = i == added ? !kept
                                    : kept && i > added && distance_rank(k.list_distances[i]) < rank_of(sorted[i]);
    if (!dropped) {
      out.push_back(sorted[i].slot);
    }
  }
}

// Whether the point of `slot` (one that holds a point) has a code that bounds its distances:
// it is of the table's length.
bool coded(const PointTable& points, Slot slot) {
  return points.vector(slot).size() == points.dimension() && has_code(points.code_row(slot));
}

bool encode_point(const PointTable& points, Slot slot, QueryCode& code) {
  std::span<const float> vector = points.vector(slot);
  encode_query(vector, sum_squares(vector.data(), vector.size()), code);
  return code.usable;
}

// Whether the exact distance that `bounds` hold ranks below `limit`, and above it: `exact()`
// computes it when the bounds leave the answer open.
template <class Exact>
bool ranks_below(const Bounds& bounds, float limit, Exact exact) {
  if (bounds.high < limit || bounds.low >= limit) {
    if constexpr (CHECK_BOUNDS) {
      verify_bounds(bounds, exact());
    }
    return bounds.high < limit;
  }
  return distance_rank(exact()) < distance_rank(limit);
}
template <class Exact>
bool ranks_above(const Bounds& bounds, float limit, Exact exact) {
  if (bounds.low > limit || bounds.high <= limit) {
    if constexpr (CHECK_BOUNDS) {
      verify_bounds(bounds, exact());
    }
    return bounds.low > limit;
  }
  return distance_rank(exact()) > distance_rank(limit);
}

// What select_into_settled keeps when the last link of `list` joins the settled others,
// decided from codes wherever they settle it. A settled list holds its links nearest to the
// owner first, the order selection wrote them in, so the owner's distances are needed only to
// place the new link among them and to compare with the new link's own; the links' codes
// answer most of those comparisons, and such a link costs its code instead of its vector.
// False, with nothing changed, when pruning is off or a vector has no code.
bool add_to_settled_by_bounds(std::vector<Slot>& list, Slot owner, std::size_t cap,
                              const KnownOfLink& known, const PointTable& points,
                              SettledScratch& s) {
  const Slot target = list.back();
  const std::span<const Slot> links(list.data(), list.size() - 1);
  auto holds = [&](Slot slot) { return holds_point(points, slot); };
  if (!pruning_enabled() || links.size() != cap || !holds(owner) || !holds(target) ||
      !std::all_of(links.begin(), links.end(), holds)) {
    return false;
  }
  // The rows are fetched while the rest is checked and the codes are made.
  s.rows.clear();
  const std::size_t row_bytes = code_row_bytes(points.dimension());
  for (Slot linked : links) {
    const std::int8_t* row = points.code_row(linked);
    prefetch_lines(row, row_bytes);
    s.rows.push_back(row);
  }
  auto is_coded = [&](Slot slot) { return coded(points, slot); };
  if (!is_coded(owner) || !is_coded(target) || !std::all_of(links.begin(), links.end(), is_coded)) {
    return false;
  }
  const QueryCode* target_code = known.target_code;
  if (target_code == nullptr) {
    target_code = encode_point(points, target, s.target_code) ? &s.target_code : nullptr;
  }
  if (target_code == nullptr || !encode_point(points, owner, s.owner_code)) {
    return false;
  }
  grow_to(s.owner_dots, links.size());
  grow_to(s.target_dots, links.size());
  code_dots(s.owner_code, s.rows.data(), links.size(), s.owner_dots.data());
  code_dots(*target_code, s.rows.data(), links.size(), s.target_dots.data());
  const Query from_owner = point_query(points, owner);
  const Query from_target = point_query(points, target);
  auto owner_bounds = [&](std::size_t i) {
    return cosine_distance_bounds(s.owner_code, s.rows[i], s.owner_dots[i]);
  };
  auto target_bounds = [&](std::size_t i) {
    return cosine_distance_bounds(*target_code, s.rows[i], s.target_dots[i]);
  };
  auto owner_distance = [&](std::size_t i) { return distance_to(from_owner, points, links[i]); };
  auto target_distance = [&](std::size_t i) { return distance_to(from_target, points, links[i]); };

  // The new link goes after every link no farther from the owner: equals keep list order.
  auto found = std::find_if(known.target_found.begin(), known.target_found.end(),
                            [owner](const Entry& entry) { return entry.slot == owner; });
  const float fresh =
      found != known.target_found.end() ? found->distance : distance_to(from_owner, points, target);
  if constexpr (CHECK_BOUNDS) {
    verify_bounds(Bounds{fresh, fresh}, distance_to(from_owner, points, target));
  }
  std::size_t added = 0;
  while (added < links.size() &&
         !ranks_above(owner_bounds(added), fresh, [&] { return owner_distance(added); })) {
    ++added;
  }
  // It stays unless the list is full before it, or a link before it is nearer to it than the
  // owner is.
  bool kept = added < cap;
  for (std::size_t i = 0; i < added && kept; ++i) {
    kept = !ranks_below(target_bounds(i), fresh, [&] { return target_distance(i); });
  }
  s.out.assign(links.begin(), links.begin() + static_cast<std::ptrdiff_t>(added));
  if (kept) {
    s.out.push_back(target);
  }
  // A link after it goes if the new one is nearer to it than the owner is.
  for (std::size_t i = added; i < links.size() && s.out.size() < cap; ++i) {
    bool dropped = false;
    if (kept) {
      const Bounds to_target = target_bounds(i);
      const Bounds to_owner = owner_bounds(i);
      if (to_target.high < to_owner.low || to_target.low >= to_owner.high) {
        if constexpr (CHECK_BOUNDS) {
          verify_bounds(to_target, target_distance(i));
          verify_bounds(to_owner, owner_distance(i));
        }
        dropped = to_target.high < to_owner.low;
      } else {
        dropped = ranks_below(to_target, owner_distance(i), [&] { return target_distance(i); });
      }
    }
    if (!dropped) {
      s.out.push_back(links[i]);
    }
  }
  list.assign(s.out.begin(), s.out.end());
  return true;
}

}  // namespace

void select_neighbors(std::span<const Entry> sorted, std::size_t cap, Slot exclude,
                      const PointTable& points, std::vector<Slot>& out, SelectionScratch& s,
                      float slack) {
  out.clear();
  s.pending.clear();
  s.pending_vectors.clear();
  s.pending_roots.clear();
  s.pending_ranks.clear();
  s.kept.clear();
  for (const Entry& candidate : sorted) {
    if (candidate.slot != exclude) {
      s.pending.push_back(candidate);
      s.pending_vectors.push_back(points.vector(candidate.slot));
      s.pending_roots.push_back(points.norm_root(candidate.slot));
      s.pending_ranks.push_back(slack == 1.0f ? rank_of(candidate) : distance_rank(candidate.distance / slack));
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

bool add_link_to_list(std::vector<Slot>& list, Slot owner, Slot target, std::size_t cap,
                      bool settled, const KnownOfLink& known, const PointTable& points,
                      SelectionScratch& s, ScoringScratch& k) {
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
  if (settled && add_to_settled_by_bounds(list, owner, cap, known, points, s.settled)) {
    return true;
  }
  k.list_slots.clear();
  for (Slot linked : list) {
    if (linked != owner && holds_point(points, linked)) {
      k.list_slots.push_back(linked);
    }
  }
  score_list(point_query(points, owner), k.list_slots, points, k.list_distances, k);
  s.selection.clear();
  for (std::size_t i = 0; i < k.list_slots.size(); ++i) {
    const std::uint64_t key = (std::uint64_t{distance_rank(k.list_distances[i])} << 32) | i;
    s.selection.push_back(Entry{key, k.list_distances[i], k.list_slots[i]});
  }
  std::sort(s.selection.begin(), s.selection.end(), nearer_first);
  // A settled list's links all hold points, and so does a new link, so none is left out
  // here; the check keeps the shortcut to exactly the lists it is sound for.
  if (settled && k.list_slots.size() == list.size()) {
    s.pending_vectors.clear();
    std::size_t added = 0;
    for (std::size_t i = 0; i < s.selection.size(); ++i) {
      s.pending_vectors.push_back(points.vector(s.selection[i].slot));
      if (s.selection[i].slot == target) {
        added = i;
      }
    }
    if (common_length(s.pending_vectors) != 0) {
      select_into_settled(s.selection, added, s.pending_vectors, cap, points, list, k);
      return true;
    }
  }
  select_neighbors(s.selection, cap, owner, points, list, s);
  return true;
}

}  // namespace tarnwick::detail
