// Storage of the graph's nodes: layer-0 rows, upper lists and the ids kept apart.
#include "index/hnsw.hpp"

#include <algorithm>

#include "index/link_caps.hpp"

namespace tarnwick {

using detail::link_cap;
using detail::MAX_ROW_LINKS;

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
    // On huge pages: a walk reads rows all over the graph and on small pages misses the TLB
    // for many of them. The cost is at most the unused part of the last huge page.
    rows_.reset(1 + std::min<std::size_t>(link_cap(m, 0), MAX_ROW_LINKS), true);
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
  if (in_links_.built()) {
    for (Slot target : node.layer0) {
      in_links_.add(target, slot);
    }
    for (const std::vector<Slot>& list : node.upper) {
      for (Slot target : list) {
        in_links_.add(target, slot);
      }
    }
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

}  // namespace tarnwick
