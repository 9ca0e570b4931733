#include "record_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "bytes.h"

namespace brenvolt {

char* Hl7RecordList::append_space(std::size_t bytes) {
  if (capacity_ - size_ < bytes) {
    const std::size_t capacity = std::max({capacity_ * 2, size_ + bytes, std::size_t{4096}});
    char* grown = static_cast<char*>(std::realloc(data_.get(), capacity));
    if (grown == nullptr) throw std::bad_alloc();
    data_.release();
    data_.reset(grown);
    capacity_ = capacity;
  }
  return data_.get() + size_;
}

void Hl7RecordList::end_record() {
  const std::size_t first = records_.empty() ? 0 : records_.back().end;
  if (!open_ordered_) {
    // Rare: records from converted messages arrive in order. Sort a copy of
    // the record's entries and write them back over it; dropping duplicate
    // keys only shortens it.
    const std::string unordered(data_.get() + first, size_ - first);
    const Record record(unordered.data(), unordered.data() + unordered.size(), open_count_);
    std::vector<Entry> entries;
    entries.reserve(open_count_);
    for (const Entry& entry : record) entries.push_back(entry);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.key < b.key; });
    size_ = first;
    open_count_ = 0;
    open_ordered_ = true;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      // Of a run of equal keys the last was added last: it wins.
      if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;
      add(entries[i].key, entries[i].value, entries[i].code);
    }
  }
  records_.push_back({size_, open_count_});
  open_count_ = 0;
  open_ordered_ = true;
}

}  // namespace brenvolt
