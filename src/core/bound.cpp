// Codes and the intervals they give.
//
// Why the intervals hold. Let u = 2^-24 (float rounding), g(n) = n u / (1 - n u), d the
// length, and for real vectors q, x let c = <q, x> / (||q|| ||x||), the real cosine.
//
// 1. The code. u_x = x / ||x|| is computed in double: element-wise within 2^-40 of the real
//    unit vector in norm (d <= 4096, so the double sum of squares is off by at most d 2^-53).
//    The stored error r bounds ||u_x - s c_x||: the double residual, inflated by 2^-38 relative
//    and 2^-38 absolute for the rounding of u_x and of the residual's own sum, then rounded
//    up to float. The query's v = t q16 + e_q with ||e_q|| <= r_q, inflated the same way.
// 2. The cosine. With A = t s I, I = sum q16_i c_i exact (an integer):
//      c = <v, s c_x> + <v, e_x>             |<v, e_x>| <= ||v|| r = r
//        = t s I + <e_q, s c_x> + <v, e_x>   |<e_q, s c_x>| <= r_q ||s c_x|| <= r_q (1 + r)
//    so |c - A| <= r + r_q (1 + r) + e_A, where e_A covers the two double products giving A
//    (|A| <= 4, so under 2^-49); EPSILON = 2^-30 is used.
// 3. The float scores. Eligible vectors have float sums of squares in [2^-60, 2^100]: no
//    partial sum overflows, and underflowed terms (each off by at most 2^-150 absolute) change
//    any relative error by at most d 2^-150 / 2^-60 < 2^-78, inside EPSILON.
//    - The dot product S^ = sum of rounded products in order: |S^ - S| <= g(d) sum |q_i x_i|
//      <= g(d) ||q|| ||x||.
//    - Each root: rho = sqrt(sum^) (1 + u) with sum^ = ||.||^2 (1 + th), |th| <= g(d), so
//      rho = ||.|| (1 + eta), |eta| <= g(d) / 2 + u (to first order).
//    - The cosine C = S^ / (rho_q rho_x), both roundings included:
//      |C - c| <= g(d) + (g(d) + 4u) (1 + g(d)) = 2 g(d) + 4u (first order).
//    - The distance 1 - C rounds once more, |1 - C| <= 2: |D - (1 - c)| <= 2 g(d) + 6u.
//    - The squared difference sum adds non-negative terms, each (q_i - x_i)^2 rounded through
//      the difference and the square: E^ = E (1 + th), |th| <= g(d + 2); its root adds u.
//    Every derived bound is used doubled (which also covers the second-order terms, since
//    g(d) <= 2^-12), and the norms the dot and Euclidean intervals need are bounded from the
//    float root the table keeps, ||x|| in rho / (1 + nu) .. rho / (1 - nu), nu = g(d) + 2u.
#include "core/bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tarnwick {

namespace {

constexpr double UNIT = 0x1p-24;
constexpr double EPSILON = 0x1p-30;
constexpr double INFLATION = 0x1p-38;
// The smallest positive float and the terms an underflow can lose per element.
constexpr double UNDERFLOW = 0x1p-149;
constexpr float LOWEST_SQUARES = 0x1p-60f;
constexpr float HIGHEST_SQUARES = 0x1p100f;
constexpr std::int32_t QUERY_STEPS = 32767;
constexpr std::int32_t CODE_STEPS = 127;

double gamma(std::size_t n) {
  const double nu = static_cast<double>(n) * UNIT;
  return nu / (1.0 - nu);
}

std::size_t padded_length(std::size_t n) { return code_row_bytes(n) - CODE_HEADER; }

struct UnitVector {
  double norm;     // of the vector, in double
  double largest;  // magnitude of the unit vector's elements
};

// Double sums of squares in four interleaved parts, so that four chains of adds run at once
// instead of one: the analysis above bounds the error of a sum in any order. term(i) is the
// i-th term.
template <class Term>
double sum_in_parts(std::size_t n, Term term) {
  double p0 = 0.0, p1 = 0.0, p2 = 0.0, p3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    p0 += term(i);
    p1 += term(i + 1);
    p2 += term(i + 2);
    p3 += term(i + 3);
  }
  for (; i < n; ++i) {
    p0 += term(i);
  }
  return (p0 + p1) + (p2 + p3);
}

// Unit vector of `vector` in double, into `unit`.
UnitVector unit_vector(std::span<const float> vector, double* unit) {
  const double norm = std::sqrt(sum_in_parts(vector.size(), [&](std::size_t i) {
    return static_cast<double>(vector[i]) * vector[i];
  }));
  const double inverse = 1.0 / norm;  // two roundings per element instead of one: far inside 2^-40
  float largest_element = 0.0f;
  for (std::size_t i = 0; i < vector.size(); ++i) {
    unit[i] = vector[i] * inverse;
    largest_element = std::max(largest_element, std::fabs(vector[i]));
  }
  // Rounding is monotonic, so this is the largest |unit[i]| itself.
  return {norm, largest_element * inverse};
}

// Quantises unit[0..n) to steps of `scale` (at most `steps` each way) into out and returns an
// upper bound of the residual's norm. Any integer step is sound, since the residual is
// measured from the steps taken, so the quotient may be rounded: a multiplication, and
// rounding to the nearest integer by adding and subtracting 1.5 * 2^52 (exact for magnitudes
// below 2^51; these are at most `steps`), instead of a division and a call per element.
template <class T>
double quantise(const double* unit, std::size_t n, double scale, std::int32_t steps, T* out) {
  constexpr double ROUNDER = 0x1.8p52;
  const double inverse = 1.0 / scale;
  const double residual = sum_in_parts(n, [&](std::size_t i) {
    const double nearest = (unit[i] * inverse + ROUNDER) - ROUNDER;
    const double step = std::clamp(nearest, -double(steps), double(steps));
    out[i] = static_cast<T>(step);
    const double difference = unit[i] - scale * step;
    return difference * difference;
  });
  return std::sqrt(residual) * (1.0 + INFLATION) + INFLATION;
}

// The interval of a row without a code.
constexpr Bounds WHOLE{-__builtin_inf(), __builtin_inf()};

// [low, high] widened by `slack` each way.
Bounds widen(Bounds bounds, double slack) { return {bounds.low - slack, bounds.high + slack}; }

// The interval of n * c for n in [n_low, n_high] (non-negative) and c in `cosine`.
Bounds scaled(Bounds cosine, double n_low, double n_high) {
  return {std::min(cosine.low * n_low, cosine.low * n_high),
          std::max(cosine.high * n_low, cosine.high * n_high)};
}

bool read_pruning_setting() {
  const char* setting = std::getenv("TARNWICK_PRUNE");
  return setting == nullptr || std::strcmp(setting, "0") != 0;
}

bool& pruning_setting() {
  static bool enabled = read_pruning_setting();
  return enabled;
}

}  // namespace

bool codable(std::span<const float> vector, float squares) {
  if (vector.empty() || vector.size() > MAX_CODE_DIMENSION) {
    return false;
  }
  if (!(squares >= LOWEST_SQUARES && squares <= HIGHEST_SQUARES)) {
    return false;
  }
  return std::all_of(vector.begin(), vector.end(), [](float element) { return std::isfinite(element); });
}

void encode_row(std::span<const float> vector, float squares, std::int8_t* row) {
  if (!codable(vector, squares)) {
    clear_row(vector.size(), row);
    return;
  }
  std::vector<double> unit(vector.size());  // before any write: it may throw
  std::int8_t* codes = row + CODE_HEADER;
  std::fill(codes, codes + padded_length(vector.size()), std::int8_t{0});
  const double largest = unit_vector(vector, unit.data()).largest;
  CodeHeader header{static_cast<float>(largest / CODE_STEPS), 0.0f};
  const double residual = quantise(unit.data(), vector.size(), header.scale, CODE_STEPS, codes);
  header.error = std::nextafter(static_cast<float>(residual), std::numeric_limits<float>::infinity());
  std::memcpy(row, &header, sizeof header);
}

void clear_row(std::size_t n, std::int8_t* row) {
  std::fill(row + CODE_HEADER, row + CODE_HEADER + padded_length(n), std::int8_t{0});
  const CodeHeader header{1.0f, std::numeric_limits<float>::infinity()};
  std::memcpy(row, &header, sizeof header);
}

void encode_query(std::span<const float> query, float squares, QueryCode& code) {
  code.length = query.size();
  code.usable = codable(query, squares);
  if (!code.usable) {
    return;
  }
  code.elements.assign(padded_length(query.size()), 0);
  code.unit.resize(query.size());
  const UnitVector unit = unit_vector(query, code.unit.data());
  code.scale = unit.largest / QUERY_STEPS;
  code.error = quantise(code.unit.data(), query.size(), code.scale, QUERY_STEPS, code.elements.data());
  // The double sum is off by at most d 2^-53 relative, its root by half that.
  code.root_low = unit.norm * (1.0 - INFLATION);
  code.root_high = unit.norm * (1.0 + INFLATION);
  const double g = gamma(query.size());
  code.distance_slack = 2.0 * (2.0 * g + 6.0 * UNIT) + EPSILON;
  code.similarity_slack = 2.0 * (2.0 * g + 4.0 * UNIT) + EPSILON;
  code.product_slack = 2.0 * g + EPSILON;
  code.squares_slack = 2.0 * gamma(query.size() + 2);
  code.root_slack = g + 2.0 * UNIT;
  code.underflow = 2.0 * static_cast<double>(query.size()) * UNDERFLOW;
}

void code_dots(const QueryCode& query, const std::int8_t* const* rows, std::size_t count,
               std::int64_t* out) {
  sum_code_products(query.elements.data(), rows, count, query.elements.size(), out);
}

namespace {

// ||x|| and ||q|| ||x|| from the float root of x.
struct Norms {
  double stored_low, stored_high;
  double product_low, product_high;
};

Norms norms(const QueryCode& query, float root) {
  const double stored_low = root / (1.0 + query.root_slack);
  const double stored_high = root / (1.0 - query.root_slack);
  return {stored_low, stored_high, query.root_low * stored_low, query.root_high * stored_high};
}

}  // namespace

Bounds dot_product_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot,
                          float root) {
  if (!has_code(row)) {
    return WHOLE;
  }
  const Norms n = norms(query, root);
  const Bounds product = scaled(similarity_bounds(query, row, dot), n.product_low, n.product_high);
  return widen(product, query.product_slack * n.product_high + query.underflow);
}

Bounds euclidean_bounds(const QueryCode& query, const std::int8_t* row, std::int64_t dot,
                        float root) {
  if (!has_code(row)) {
    return WHOLE;
  }
  const Norms n = norms(query, root);
  const Bounds product = scaled(similarity_bounds(query, row, dot), n.product_low, n.product_high);
  const double query_low = query.root_low * query.root_low;
  const double query_high = query.root_high * query.root_high;
  const double magnitude = query_high + n.stored_high * n.stored_high + 2.0 * n.product_high;
  // ||q - x||^2 = ||q||^2 + ||x||^2 - 2 ||q|| ||x|| c.
  const double squares_low = query_low + n.stored_low * n.stored_low - 2.0 * product.high - EPSILON * magnitude;
  const double squares_high = query_high + n.stored_high * n.stored_high - 2.0 * product.low + EPSILON * magnitude;
  const double low = std::max(0.0, squares_low * (1.0 - query.squares_slack) - query.underflow);
  const double high = std::max(0.0, squares_high * (1.0 + query.squares_slack) + query.underflow);
  return {std::sqrt(low) * (1.0 - 2.0 * UNIT), std::sqrt(high) * (1.0 + 2.0 * UNIT)};
}

bool pruning_enabled() { return pruning_setting(); }

void select_pruning(bool enabled) { pruning_setting() = enabled; }

void verify_bounds(Bounds bounds, float exact) {
  if (!(bounds.low <= exact && exact <= bounds.high)) {
    std::fprintf(stderr, "tarnwick: bound [%.17g, %.17g] misses the exact score %.9g\n", bounds.low,
                 bounds.high, static_cast<double>(exact));
    std::abort();
  }
}

}  // namespace tarnwick
