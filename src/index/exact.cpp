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
  std::vector<double> certain;  // the worst score each coded point certainly reaches
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

// The bounding pass: leaves in s.slots, in visiting order, the points that may be among the
// best `keep`, with the best score each could have in s.reach (infinitely good for points
// without a code), and returns the threshold that `keep` points certainly reach, or nullopt
// when fewer than `keep` are coded. A point whose reach is strictly worse than the threshold
// is beaten by at least `keep` others, whatever the ties. The threshold only improves as the
// scan goes on, so a point already strictly worse than it is left out at once. One copy per
// metric, so that the metric costs nothing per point.
template <Metric M>
std::optional<double> bound_scores(std::span<const float> query, const PointTable& points,
                                   TenantRef tenant, std::size_t population, std::size_t keep,
                                   ScanScratch& s) {
  constexpr bool higher = higher_is_better(M);
  constexpr double unbounded = higher ? __builtin_inf() : -__builtin_inf();
  const auto worse = [](double a, double b) { return higher ? a < b : a > b; };
  const auto worse_on_top = [](double a, double b) { return higher ? a > b : a < b; };
  detail::grow_to(s.slots, population);
  detail::grow_to(s.reach, population);
  s.kept = 0;
  s.certain.clear();
  const auto leave = [&s](Slot slot, double reach) {
    s.slots[s.kept] = slot;
    s.reach[s.kept] = reach;
    ++s.kept;
  };
  // Nothing is ruled out until `keep` points are certain.
  double threshold = -unbounded;
  const std::int8_t* rows[BATCH];
  Slot slots[BATCH];
  std::size_t queued = 0;
  // Takes the count rather than sharing `queued`, which then stays in a register while the
  // candidates are gathered.
  const auto flush = [&](std::size_t count) {
    std::int64_t dots[BATCH];
    code_dots(s.query, rows, count, dots);
    for (std::size_t i = 0; i < count; ++i) {
      if (!has_code(rows[i])) {
        leave(slots[i], unbounded);
        continue;
      }
      const Bounds bounds = bounds_of<M>(s.query, rows[i], dots[i], points, slots[i]);
      if constexpr (CHECK_BOUNDS) {
        verify_bounds(bounds, exact_score(M, query, points.vector(slots[i])));
      }
      const double reach = higher ? bounds.high : bounds.low;
      if (worse(reach, threshold)) {
        continue;
      }
      leave(slots[i], reach);
      // s.certain holds the best `keep` certain scores so far, as a heap with the worst on top.
      const double certain = higher ? bounds.low : bounds.high;
      if (s.certain.size() < keep) {
        s.certain.push_back(certain);
        std::push_heap(s.certain.begin(), s.certain.end(), worse_on_top);
      } else if (worse(s.certain.front(), certain)) {
        std::pop_heap(s.certain.begin(), s.certain.end(), worse_on_top);
        s.certain.back() = certain;
        std::push_heap(s.certain.begin(), s.certain.end(), worse_on_top);
      }
      if (s.certain.size() == keep) {
        threshold = s.certain.front();
      }
    }
  };
  const auto visit = [&](Slot slot, const std::int8_t* row) {
    if (row == nullptr) [[unlikely]] {
      flush(queued);  // keeps the candidates in visiting order
      queued = 0;
      leave(slot, unbounded);
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
  if (s.certain.size() < keep) {
    return std::nullopt;
  }
  return s.certain.front();
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
    const bool higher = higher_is_better(metric);
    for (std::size_t position = 0; position < s->kept; ++position) {
      const double reach = s->reach[position];
      if (!(higher ? reach < *threshold : reach > *threshold)) {
        scorer.add(s->slots[position]);
      }
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
