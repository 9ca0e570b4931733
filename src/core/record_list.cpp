#include "record_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "bytes.h"

namespace brenvolt {

char* Hl7RecordList::write_size(char* at, std::size_t size) {
  while (size >= 0x80) {
    *at++ = static_cast<char>((size & 0x7F) | 0x80);
    size >>= 7;
  }
  *at++ = static_cast<char>(size);
  return at;
}

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

namespace {

// Byte-wise a < b, inline: record keys are a few bytes, and most neighbours
// differ early, so this beats a call to memcmp.
bool key_less(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

}  // namespace

void Hl7RecordList::add(std::string_view key, std::string_view value, Hl7KeyCode code) {
  // Compared before the append, which may move the buffer under last_key_.
  if (open_ordered_ && open_count_ > 0 && !key_less(last_key_, key)) open_ordered_ = false;
  constexpr std::size_t kMaxSizeBytes = 10;  // LEB128 of a 64-bit size
  const std::uint64_t bits = code.bits();
  char* at = append_space(sizeof bits + 2 * kMaxSizeBytes + key.size() + value.size());
  std::memcpy(at, &bits, sizeof bits);
  at += sizeof bits;
  at = write_size(at, key.size());
  at = write_size(at, value.size());
  last_key_ = std::string_view(at, key.size());
  at = copy_bytes(at, key);
  at = copy_bytes(at, value);
  size_ = static_cast<std::size_t>(at - data_.get());
  ++open_count_;
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
