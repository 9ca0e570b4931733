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

}  // namespace brenvolt
