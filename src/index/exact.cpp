#include "index/exact.hpp"

#include <algorithm>
#include <cmath>

namespace tarnwick {

namespace {

// Points scored per kernel call: enough to keep the batched kernel's lanes busy.
constexpr std::size_t BATCH = 32;

struct Ranked {
  float score;
  std::size_t order;  // visiting order, the tie-breaker that keeps the sort stable
  PointId id;
};

// Scores a batch of same-length points and appends those that can be scored.
class Scorer {
 public:
  Scorer(std::span<const float> query, Metric metric, const PointTable& points)
      : query_(query), metric_(metric), points_(points),
        query_norm_(sum_squares(query.data(), query.size())) {}

  void add(Slot slot) {
    if (points_.vector(slot).size() != query_.size()) {
      ++visited_;  // a point of another length cannot be scored
      return;
    }
    pending_[pending_count_] = slot;
    vectors_[pending_count_] = points_.vector(slot).data();
    orders_[pending_count_] = visited_++;
    if (++pending_count_ == BATCH) {
      flush();
    }
  }

  std::vector<Ranked> finish() {
    flush();
    return std::move(ranked_);
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
        ranked_.push_back(Ranked{score.value, orders_[i], points_.point_id(pending_[i])});
      }
    }
    pending_count_ = 0;
  }

  Score finish_score(float sum, Slot slot) const {
    switch (metric_) {
      case Metric::DotProduct:
        return Score{sum};
      case Metric::Euclidean:
        return Score{std::sqrt(sum)};  // sqrt(-0.0) is -0.0, the empty distance
      case Metric::Cosine:
        // Empty vectors have zero magnitude, which cosine_from_sums reports.
        return cosine_from_sums(sum, query_norm_, points_.norm_squared(slot));
    }
    return Score{};
  }

  std::span<const float> query_;
  Metric metric_;
  const PointTable& points_;
  float query_norm_;
  std::size_t visited_ = 0;
  std::size_t pending_count_ = 0;
  Slot pending_[BATCH];
  const float* vectors_[BATCH];
  std::size_t orders_[BATCH];
  std::vector<Ranked> ranked_;
};

}  // namespace

std::vector<ScoredPoint> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                          Metric metric, const PointTable& points,
                                          TenantRef tenant) {
  Scorer scorer(query, metric, points);
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
  std::vector<Ranked> ranked = scorer.finish();

  // Ranking by (score, visiting order) gives exactly what a stable sort followed by
  // truncation gives, so a partial sort suffices when only a few are kept.
  auto before = [metric](const Ranked& a, const Ranked& b) {
    if (score_precedes(metric, a.score, b.score)) {
      return true;
    }
    if (score_precedes(metric, b.score, a.score)) {
      return false;
    }
    return a.order < b.order;
  };
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(limit, ranked.size()));
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(), before);

  std::vector<ScoredPoint> best;
  best.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) {
    best.push_back(ScoredPoint{ranked[i].id, ranked[i].score});
  }
  return best;
}

}  // namespace tarnwick
