// Sorting the entries of one record into line order, by number: what a
// writer of segment lines does before it writes one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace brenvolt {

// Sorts `items` stably by the number `key` names: few moves when they are
// nearly in order, as a record's places are.
template <class Item>
void sort_nearly_ordered(std::vector<Item>& items, std::uint64_t Item::*key) {
  for (std::size_t i = 1; i < items.size(); ++i) {
    const Item moved = items[i];
    std::size_t j = i;
    while (j > 0 && moved.*key < items[j - 1].*key) {
      items[j] = items[j - 1];
      --j;
    }
    items[j] = moved;
  }
}

// Sorts items (anything trivially copied with a number `place`, such as a
// packed Hl7KeyCode) by place, stably. Records of converted messages arrive in key byte
// order, which is place order except where a number has two digits or more
// ("10" comes before "2"): a few ascending runs. Short records take an
// insertion sort; longer ones with few runs, the usual segment, a merge of
// the runs; the rest (a line of a million fields has a run every ten) a
// least-significant-digit radix sort by bytes, skipping the bytes in which
// all places agree, so that it costs a few passes, never n log n.
template <class Item>
class PlaceSorter {
 public:
  void sort(std::vector<Item>& items) {
    if (items.size() <= 16) {
      sort_nearly_ordered(items, &Item::place);
      return;
    }
    bounds_.assign(1, 0);
    for (std::size_t i = 1; i < items.size(); ++i) {
      if (items[i].place < items[i - 1].place) bounds_.push_back(i);
    }
    bounds_.push_back(items.size());
    if (bounds_.size() - 1 <= kMaxMergedRuns) {
      merge_runs(items);
    } else {
      radix_sort(items);
    }
  }

 private:
  static constexpr std::size_t kMaxMergedRuns = 64;

  // Merges neighbouring runs (bounds_) pairwise until one is left.
  void merge_runs(std::vector<Item>& items) {
    const auto by_place = [](const Item& a, const Item& b) { return a.place < b.place; };
    spare_.resize(items.size());
    while (bounds_.size() > 2) {
      std::size_t kept = 1;
      for (std::size_t r = 0; r + 1 < bounds_.size(); r += 2) {
        const auto first = items.begin() + static_cast<std::ptrdiff_t>(bounds_[r]);
        const auto middle = items.begin() + static_cast<std::ptrdiff_t>(bounds_[r + 1]);
        const std::size_t end = r + 2 < bounds_.size() ? bounds_[r + 2] : bounds_[r + 1];
        const auto last = items.begin() + static_cast<std::ptrdiff_t>(end);
        std::merge(first, middle, middle, last,
                   spare_.begin() + static_cast<std::ptrdiff_t>(bounds_[r]), by_place);
        bounds_[kept++] = end;
      }
      bounds_.resize(kept);
      items.swap(spare_);
    }
  }

  void radix_sort(std::vector<Item>& items) {
    std::uint64_t any = 0;
    std::uint64_t all = ~std::uint64_t{0};
    for (const Item& item : items) {
      any |= item.place;
      all &= item.place;
    }
    const std::uint64_t varying = any ^ all;
    spare_.resize(items.size());
    for (unsigned shift = 0; shift < 64; shift += 8) {
      if (((varying >> shift) & 0xFFu) == 0) continue;
      std::size_t starts[257] = {};
      for (const Item& item : items) ++starts[((item.place >> shift) & 0xFFu) + 1];
      for (std::size_t d = 1; d <= 256; ++d) starts[d] += starts[d - 1];
      for (const Item& item : items) spare_[starts[(item.place >> shift) & 0xFFu]++] = item;
      items.swap(spare_);
    }
  }

  std::vector<std::size_t> bounds_;
  std::vector<Item> spare_;
};

// Sorts records' places, remembering the order found for recent layouts
// (places in the order the record gives them): the records of a message, and
// of the messages of a feed, share a few, such as an OBX's or a PID's, and
// the next record of a layout is put in order by its remembered order,
// without comparisons.
template <class Item>
class LayoutSorter {
 public:
  // Sorts `items` by place; whether no two name the same place.
  bool sort(std::vector<Item>& items) {
    if (items.size() < 2) return true;
    // A wide record is sorted as it is: its layout is seldom repeated, and
    // gathering it by a remembered order would read it out of order. Its
    // sorter's buffers go with it rather than stay with the thread.
    if (items.size() > kMostRemembered) {
      PlaceSorter<Item>().sort(items);
      return all_distinct(items);
    }
    // The layout is told by its size and a few places spread over it: not
    // by every place, which would cost a multiplication each. Two layouts
    // told alike only take turns at the slot; the check below keeps any
    // order from being used where it does not sort.
    const std::size_t n = items.size();
    std::uint64_t hash = n;
    for (std::size_t k = 0; k < kSampledPlaces; ++k) {
      hash = (hash ^ items[k * (n - 1) / (kSampledPlaces - 1)].place) * 0x9E3779B97F4A7C15ull;
    }
    std::vector<std::size_t>& order = layouts_[hash >> (64 - kLayoutBits)];
    sorted_.resize(items.size());
    // The remembered order of a record of as many places is tried first. It
    // is a permutation, so if it puts the places in strictly ascending order
    // that is their one sorted order, whatever layout it was found for.
    if (order.size() == n) {
      // Through plain pointers: a store to sorted_ could otherwise be taken
      // to change the vectors' own ends, to be read again each time round.
      const std::size_t* const by = order.data();
      const Item* const from = items.data();
      Item* const to = sorted_.data();
      to[0] = from[by[0]];
      std::uint64_t last = to[0].place;
      bool ascending = true;
      for (std::size_t k = 1; k < n; ++k) {
        const Item item = from[by[k]];
        ascending &= item.place > last;
        last = item.place;
        to[k] = item;
      }
      if (ascending) {
        items.swap(sorted_);
        return true;
      }
    }
    keyed_.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) keyed_[i] = Keyed{items[i].place, i};
    sorter_.sort(keyed_);
    order.resize(items.size());
    for (std::size_t k = 0; k < keyed_.size(); ++k) {
      order[k] = keyed_[k].index;
      sorted_[k] = items[keyed_[k].index];
    }
    items.swap(sorted_);
    return all_distinct(items);
  }

 private:
  // Enough for the segment kinds of a few message types; at most
  // 2^kLayoutBits * kMostRemembered indexes kept per thread.
  static constexpr unsigned kLayoutBits = 5;
  static constexpr std::size_t kMostRemembered = 256;
  static constexpr std::size_t kSampledPlaces = 6;
  struct Keyed {
    std::uint64_t place;
    std::size_t index;
  };
  static bool all_distinct(const std::vector<Item>& sorted) {
    for (std::size_t k = 1; k < sorted.size(); ++k) {
      if (sorted[k].place == sorted[k - 1].place) return false;
    }
    return true;
  }
  // For each remembered layout (by a hash of its places in the order the
  // record gives them), the index of each place in line order.
  std::vector<std::size_t> layouts_[std::size_t{1} << kLayoutBits];
  std::vector<Keyed> keyed_;
  PlaceSorter<Keyed> sorter_;
  std::vector<Item> sorted_;
};

}  // namespace brenvolt
