#include "index/exact.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/bound.hpp"
#include "index/scratch_buffer.hpp"

namespace tarnwick {

namespace {

// Points scored per kernel call: enough to keep the batched kernel's lanes busy.
constexpr std::size_t BATCH = 32;
static_assert(BATCH <= 32, "the bounding pass marks a batch's points in 32 bits");

void prefetch_lines(std::span<const float> vector) {
  constexpr std::size_t LINE_FLOATS = 16;
  for (std::size_t i = 0; i < vector.size(); i += LINE_FLOATS) {
    __builtin_prefetch(vector.data() + i);
  }
}

struct Ranked {
  float score;
  std::size_t order;  // visiting order, the tie-breaker that keeps the sort stable
  Slot slot;          // its id is looked up only if it is kept to the end
};

// Ranking by (score, visiting order) gives exactly what a stable sort followed by truncation
// gives, so only the best `keep` need to be held while scanning.
struct Before {
  Metric metric;
  bool operator()(const Ranked& a, const Ranked& b) const {
    if (score_precedes(metric, a.score, b.score)) {
      return true;
    }
    if (score_precedes(metric, b.score, a.score)) {
      return false;
    }
    return a.order < b.order;
  }
};

// Scores batches of same-length points and keeps the best `keep` of those that can be scored.
class Scorer {
 public:
  Scorer(std::span<const float> query, float query_root, Metric metric, const PointTable& points,
         std::size_t keep)
      : query_(query), metric_(metric), points_(points), query_root_(query_root), before_{metric},
        keep_(keep) {}

  void add(Slot slot) {
    const std::span<const float> vector = points_.vector(slot);
    if (vector.size() != query_.size()) {
      ++visited_;  // a point of another length cannot be scored
      return;
    }
    // The batch is scored only when full: fetching its vectors now hides their latency.
    prefetch_lines(vector);
    pending_[pending_count_] = slot;
    vectors_[pending_count_] = vector.data();
    orders_[pending_count_] = visited_++;
    if (++pending_count_ == BATCH) {
      flush();
    }
  }

  // The kept points, best first.
  std::vector<Ranked> finish() {
    flush();
    std::sort_heap(best_.begin(), best_.end(), before_);
    return std::move(best_);
  }

 private:
  void flush() {
    if (pending_count_ == 0) {
      return;
    }
    float sums[BATCH];
    if (metric_ == Metric::Euclidean) {
      sum_squared_differences_batch(query_.data(), vectors_, pending_count_, query_.size(), sums);
    } else {
      sum_products_batch(query_.data(), vectors_, pending_count_, query_.size(), sums);
    }
    for (std::size_t i = 0; i < pending_count_; ++i) {
      Score score = finish_score(sums[i], pending_[i]);
      if (score.ok()) {
        keep(Ranked{score.value, orders_[i], pending_[i]});
      }
    }
    pending_count_ = 0;
  }

  // best_ is a heap with the worst kept point on top.
  void keep(const Ranked& ranked) {
    if (best_.size() < keep_) {
      best_.push_back(ranked);
      std::push_heap(best_.begin(), best_.end(), before_);
    } else if (keep_ != 0 && before_(ranked, best_.front())) {
      std::pop_heap(best_.begin(), best_.end(), before_);
      best_.back() = ranked;
      std::push_heap(best_.begin(), best_.end(), before_);
    }
  }

  Score finish_score(float sum, Slot slot) const {
    switch (metric_) {
      case Metric::DotProduct:
        return Score{sum};
      case Metric::Euclidean:
        return Score{std::sqrt(sum)};  // sqrt(-0.0) is -0.0, the empty distance
      case Metric::Cosine:
        // Empty vectors have zero magnitude, which cosine_from_roots reports.
        return cosine_from_roots(sum, query_root_, points_.norm_root(slot));
    }
    return Score{};
  }

  std::span<const float> query_;
  Metric metric_;
  const PointTable& points_;
  float query_root_;
  std::size_t visited_ = 0;
  std::size_t pending_count_ = 0;
  Slot pending_[BATCH];
  const float* vectors_[BATCH];
  std::size_t orders_[BATCH];
  Before before_;
  std::size_t keep_;
  std::vector<Ranked> best_;
};

// Working memory of the bounding pass, kept per thread so that a scan allocates only while
// it is still growing. Its first `kept` candidates are the ones left.
struct ScanScratch {
  QueryCode query;
  std::size_t kept = 0;
  std::vector<Slot> slots;      // the candidates in visiting order
  std::vector<double> reach;    // by visiting order: the best score each point could have
  std::vector<double> certain;  // the best certain scores so far: see BestScores
};

// Fetched once per scan; out of line for the reason given at thread_scratch in the graph code.
[[gnu::noinline]] ScanScratch& scan_scratch() {
  thread_local ScanScratch scratch;
  return scratch;
}

// The interval of a coded point's score under the metric.
template <Metric M>
Bounds bounds_of(const QueryCode& query, const std::int8_t* row, std::int64_t dot,
                 const PointTable& points, Slot slot) {
  if constexpr (M == Metric::Cosine) {
    return cosine_similarity_bounds(query, row, dot);  // needs no root
  } else if constexpr (M == Metric::DotProduct) {
    return dot_product_bounds(query, row, dot, points.norm_root(slot));
  } else {
    return euclidean_bounds(query, row, dot, points.norm_root(slot));
  }
}

float exact_score(Metric metric, std::span<const float> query, std::span<const float> vector) {
  switch (metric) {
    case Metric::DotProduct:
      return dot_product(query, vector).value;
    case Metric::Euclidean:
      return euclidean_distance(query, vector).value;
    case Metric::Cosine:
      break;
  }
  return cosine_similarity(query, vector).value;
}

// Calls visit(slot, row) for each candidate point in table order, with its code row, or null
// when its vector is not in the arena.
template <class Visit>
void for_each_candidate(const PointTable& points, TenantRef tenant, Visit visit) {
  if (tenant != NO_TENANT) {
    for (Slot slot : points.tenant_slots(tenant)) {
      visit(slot, points.in_arena(slot) ? points.code_row(slot) : nullptr);
    }
    return;
  }
  points.for_each_point_row(visit);
}

// The best `keep` finite scores offered under the metric, and the worst of them: until
// `keep` are offered, NONE, the worst score of all, which rules nothing out. A few are kept
// in order, best first, with NONE in the places not yet taken, and an offer runs through all
// of them without a branch; more are kept as a heap with the worst on top.
template <Metric M>
class BestScores {
 public:
  BestScores(std::vector<double>& places, std::size_t keep)
      : places_(places), keep_(keep), sorted_(keep <= SORTED_KEEP) {
    places_.assign(sorted_ ? keep : 0, NONE);
  }

  double worst() const {
    if (sorted_) {
      return places_.back();
    }
    return places_.size() < keep_ ? NONE : places_.front();
  }
  bool full() const { return worst() != NONE; }

  void offer(double score) {
    if (sorted_) {
      // Place j takes the (j+1)-th best of the old scores and the offered one.
      double* const best = places_.data();
      for (std::size_t j = keep_ - 1; j > 0; --j) {
        best[j] = better_of(best[j], worse_of(best[j - 1], score));
      }
      best[0] = better_of(best[0], score);
    } else if (places_.size() < keep_) {
      places_.push_back(score);
      std::push_heap(places_.begin(), places_.end(), worse_on_top);
    } else if (worse_on_top(score, places_.front())) {  // better than the worst kept
      std::pop_heap(places_.begin(), places_.end(), worse_on_top);
      places_.back() = score;
      std::push_heap(places_.begin(), places_.end(), worse_on_top);
    }
  }

 private:
  static constexpr bool higher = higher_is_better(M);
  // Beyond this many, an offer that ran through every place would cost more than the heap's
  // mispredicted branches.
  static constexpr std::size_t SORTED_KEEP = 64;
  static constexpr double NONE = higher ? -__builtin_inf() : __builtin_inf();
  static double better_of(double a, double b) { return higher ? std::max(a, b) : std::min(a, b); }
  static double worse_of(double a, double b) { return higher ? std::min(a, b) : std::max(a, b); }
  static bool worse_on_top(double a, double b) { return higher ? a > b : a < b; }

  std::vector<double>& places_;
  std::size_t keep_;
  bool sorted_;
};

// The bounding pass: leaves in s.slots, in visiting order, the points that may be among the
// best `keep`, with the best score each could have in s.reach (infinitely good for points
// without a code), and returns the threshold that `keep` points certainly reach, or nullopt
// when fewer than `keep` are coded. A point whose reach is strictly worse than the threshold
// is beaten by at least `keep` others, whatever the ties. The threshold only improves as the
// scan goes on, so a point already strictly worse than it is left out at once. One copy per
// metric, so that the metric costs nothing per point.
//
// Which points are left out, and when, turns on the query alone: a branch deciding it would
// be mispredicted at every turn. So the pass rules out a batch at a time, and writes and
// offers the points it leaves without branching on them.
template <Metric M>
std::optional<double> bound_scores(std::span<const float> query, const PointTable& points,
                                   TenantRef tenant, std::size_t population, std::size_t keep,
                                   ScanScratch& s) {
  constexpr bool higher = higher_is_better(M);
  constexpr double unbounded = higher ? __builtin_inf() : -__builtin_inf();
  const auto worse = [](double a, double b) { return higher ? a < b : a > b; };
  detail::grow_to(s.slots, population);
  detail::grow_to(s.reach, population);
  std::size_t kept = 0;
  BestScores<M> best(s.certain, keep);
  // A point whose reach is worse than the threshold has a certain score worse still, which
  // leaves `best` as it is: every other point is written and offered unconditionally.
  const auto consider = [&](Slot slot, const Bounds& bounds) {
    const double reach = higher ? bounds.high : bounds.low;
    s.slots[kept] = slot;
    s.reach[kept] = reach;
    kept += static_cast<std::size_t>(!worse(reach, best.worst()));
    best.offer(higher ? bounds.low : bounds.high);
  };
  const auto leave_unbounded = [&](Slot slot) {
    s.slots[kept] = slot;
    s.reach[kept] = unbounded;
    ++kept;
  };
  const std::int8_t* rows[BATCH];
  Slot slots[BATCH];
  std::size_t queued = 0;
  // Takes the count rather than sharing `queued`, which then stays in a register while the
  // candidates are gathered.
  const auto flush = [&](std::size_t count) {
    std::int64_t dots[BATCH];
    code_dots(s.query, rows, count, dots);
    // Most points are ruled out by the threshold as it stands before the batch, all at once;
    // the few left are bounded again one by one. Points without a code have unbounded reach.
    const double threshold = best.worst();
    std::uint32_t open = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const Bounds bounds = bounds_of<M>(s.query, rows[i], dots[i], points, slots[i]);
      if constexpr (CHECK_BOUNDS) {
        if (has_code(rows[i])) {
          verify_bounds(bounds, exact_score(M, query, points.vector(slots[i])));
        }
      }
      open |= static_cast<std::uint32_t>(!worse(higher ? bounds.high : bounds.low, threshold)) << i;
    }
    for (; open != 0; open &= open - 1) {
      const auto i = static_cast<std::size_t>(__builtin_ctz(open));
      if (has_code(rows[i])) [[likely]] {
        consider(slots[i], bounds_of<M>(s.query, rows[i], dots[i], points, slots[i]));
      } else {
        leave_unbounded(slots[i]);
      }
    }
  };
  const auto visit = [&](Slot slot, const std::int8_t* row) {
    if (row == nullptr) [[unlikely]] {
      flush(queued);  // keeps the candidates in visiting order
      queued = 0;
      leave_unbounded(slot);
      return;
    }
    rows[queued] = row;
    slots[queued] = slot;
    if (++queued == BATCH) [[unlikely]] {
      flush(queued);
      queued = 0;
    }
  };
  for_each_candidate(points, tenant, visit);
  flush(queued);
  s.kept = kept;
  if (!best.full()) {
    return std::nullopt;
  }
  return best.worst();
}

std::optional<double> bound_scores(std::span<const float> query, Metric metric,
                                   const PointTable& points, TenantRef tenant,
                                   std::size_t population, std::size_t keep, ScanScratch& s) {
  switch (metric) {
    case Metric::DotProduct:
      return bound_scores<Metric::DotProduct>(query, points, tenant, population, keep, s);
    case Metric::Euclidean:
      return bound_scores<Metric::Euclidean>(query, points, tenant, population, keep, s);
    case Metric::Cosine:
      break;
  }
  return bound_scores<Metric::Cosine>(query, points, tenant, population, keep, s);
}

}  // namespace

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          TenantRef tenant) {
  const std::size_t population = tenant != NO_TENANT ? points.tenant_slots(tenant).size() : points.size();
  const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(limit, population));
  const float squares = sum_squares(query.data(), query.size());
  Scorer scorer(query, std::sqrt(squares), metric, points, keep);
  // With fewer kept than scanned, codes rule most points out before any exact score: those
  // strictly worse than `keep` others could never be returned. The rest go to the scorer in
  // table order, so equal scores and their order are as without pruning.
  std::optional<double> threshold;
  ScanScratch* s = nullptr;
  if (keep != 0 && keep < population && pruning_enabled() && query.size() == points.dimension()) {
    s = &scan_scratch();
    encode_query(query, squares, s->query);
    if (s->query.usable) {
      threshold = bound_scores(query, metric, points, tenant, population, keep, *s);
    }
  }
  if (threshold) {
    // Compacted without a branch per point, for the reason given at bound_scores.
    const bool higher = higher_is_better(metric);
    std::size_t left = 0;
    for (std::size_t position = 0; position < s->kept; ++position) {
      const double reach = s->reach[position];
      s->slots[left] = s->slots[position];
      left += static_cast<std::size_t>(!(higher ? reach < *threshold : reach > *threshold));
    }
    for (std::size_t position = 0; position < left; ++position) {
      scorer.add(s->slots[position]);
    }
  } else {
    for_each_candidate(points, tenant, [&](Slot slot, const std::int8_t*) { scorer.add(slot); });
  }
  const std::vector<Ranked> ranked = scorer.finish();

  std::vector<ScoredPoint> best;
  best.reserve(ranked.size());
  for (const Ranked& kept : ranked) {
    best.push_back(ScoredPoint{points.point_id(kept.slot), kept.score, kept.slot});
  }
  return best;
}

}  // namespace tarnwick
