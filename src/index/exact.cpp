#include "index/exact.hpp"

#include <algorithm>
#include <cmath>

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
  Scorer(std::span<const float> query, Metric metric, const PointTable& points, std::size_t keep)
      : query_(query), metric_(metric), points_(points),
        query_root_(std::sqrt(sum_squares(query.data(), query.size()))), before_{metric}, keep_(keep) {}

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

}  // namespace

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          TenantRef tenant) {
  const std::size_t population = tenant != NO_TENANT ? points.tenant_slots(tenant).size() : points.size();
  Scorer scorer(query, metric, points, static_cast<std::size_t>(std::min<std::uint64_t>(limit, population)));
  if (tenant != NO_TENANT) {
    for (Slot slot : points.tenant_slots(tenant)) {
      scorer.add(slot);
    }
  } else {
    for (std::size_t slot = 0; slot < points.slot_count(); ++slot) {
      if (points.has_point(static_cast<Slot>(slot))) {
        scorer.add(static_cast<Slot>(slot));
      }
    }
  }
  const std::vector<Ranked> ranked = scorer.finish();

  std::vector<ScoredPoint> best;
  best.reserve(ranked.size());
  for (const Ranked& kept : ranked) {
    best.push_back(ScoredPoint{points.point_id(kept.slot), kept.score});
  }
  return best;
}

}  // namespace tarnwick
