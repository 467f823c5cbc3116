// Bringing nodes that no search can reach back into the graph.
#include <algorithm>

#include "index/hnsw.hpp"
#include "index/link_caps.hpp"
#include "index/list_scoring.hpp"
#include "index/point_lookup.hpp"
#include "index/removal_scratch.hpp"
#include "index/thread_scratch.hpp"

namespace tarnwick {

using namespace detail;

namespace {

// A node that no host could take may find one once later nodes are in: the sweep goes over
// the graph again, up to this many times in all.
constexpr std::size_t RECONNECTION_ROUNDS = 4;
constexpr Slot UNREACHED = UINT32_MAX;

}  // namespace

std::optional<Slot> HNSWIndex::link_from_near_nodes(Slot slot, const PointTable& points,
                                                    const std::function<bool(Slot)>& may_host,
                                                    const std::function<bool(Slot, Slot)>& may_drop) {
  Scratch& s = thread_scratch();
  const std::size_t cap = link_cap(m, 0);
  std::vector<Slot> ring(neighbors(slot, 0).begin(), neighbors(slot, 0).end());
  SlotSet seen;  // grows with the second ring
  seen.clear(ring.size() + 1);
  seen.insert(slot);
  std::vector<Slot> hosts;
  for (std::size_t hop = 0; hop < 2; ++hop) {
    hosts.clear();
    for (Slot linked : ring) {
      if (seen.insert(linked) && has_node(linked) && holds_point(points, linked) && may_host(linked)) {
        hosts.push_back(linked);
      }
    }
    score_list(point_query(points, slot), hosts, points, s.scoring.list_distances, s.scoring);
    std::vector<std::pair<std::uint32_t, std::size_t>> order;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      order.emplace_back(distance_rank(s.scoring.list_distances[i]), i);
    }
    std::sort(order.begin(), order.end());
    for (const auto& [rank, i] : order) {
      const Slot host = hosts[i];
      std::vector<Slot> list(neighbors(host, 0).begin(), neighbors(host, 0).end());
      if (list.size() >= cap) {
        // The farthest link it may give up: lists run nearest first.
        const auto last =
            std::find_if(list.rbegin(), list.rend(), [&](Slot linked) { return may_drop(host, linked); });
        if (last == list.rend()) {
          continue;
        }
        list.erase(std::next(last).base());
      }
      list.push_back(slot);
      store_layer0(host, list);
      settled_.assign(host, false);
      in_links_.add(slot, host);
      return host;
    }
    std::vector<Slot> next;
    for (Slot linked : ring) {
      if (has_node(linked)) {
        next.insert(next.end(), neighbors(linked, 0).begin(), neighbors(linked, 0).end());
      }
    }
    ring = std::move(next);
  }
  return std::nullopt;
}

void HNSWIndex::reconnect(const PointTable& points) {
  if (!entry_point) {
    return;
  }
  // The links that first reached each node form a tree from the entry point. Links outside
  // it may be given up to make room: every node the tree holds stays reached.
  std::vector<Slot> reached_from;
  std::vector<Slot> stack;
  auto spread = [&](Slot from) {
    stack.assign(1, from);
    while (!stack.empty()) {
      const Slot slot = stack.back();
      stack.pop_back();
      for (Slot linked : neighbors(slot, 0)) {
        if (reached_from[linked] == UNREACHED) {
          reached_from[linked] = slot;
          stack.push_back(linked);
        }
      }
    }
  };
  const auto reached = [&](Slot candidate) { return reached_from[candidate] != UNREACHED; };
  const auto off_tree = [&](Slot owner, Slot linked) { return reached_from[linked] != owner; };
  for (std::size_t round = 0; round < RECONNECTION_ROUNDS; ++round) {
    reached_from.assign(uppers_.size(), UNREACHED);
    reached_from[*entry_point] = *entry_point;
    spread(*entry_point);
    bool linked_any = false;
    bool left_out = false;
    for (Slot slot = 0; slot < reached_from.size(); ++slot) {
      if (reached_from[slot] != UNREACHED || !has_node(slot) || !holds_point(points, slot)) {
        continue;
      }
      const std::optional<Slot> host = link_from_near_nodes(slot, points, reached, off_tree);
      if (!host) {
        left_out = true;
        continue;
      }
      reached_from[slot] = *host;
      spread(slot);
      linked_any = true;
    }
    if (!left_out || !linked_any) {
      break;
    }
  }
  // The entry point starts the tree, but a layer-0 walk that starts anywhere else (where the
  // descent through the upper layers ends) reaches it only over a link to it.
  if (holds_point(points, *entry_point) && ways_in(*entry_point, SlotSet{}, 1) == 0) {
    link_from_near_nodes(*entry_point, points, reached, off_tree);
  }
}

}  // namespace tarnwick
