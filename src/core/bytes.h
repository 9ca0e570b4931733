// Copying the few bytes of a key or a value without a call.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace brenvolt {

// Copies `text` to `to`; returns the end. Record keys and values are mostly
// a few bytes long: those are copied by two overlapping fixed-size moves,
// which the compiler turns into plain loads and stores, instead of a call.
// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as a first and a
// last word, which overlap when n is less than twice the word.
template <class Word>
inline void copy_two_words(char* to, const char* from, std::size_t n) {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

inline char* copy_bytes(char* to, std::string_view text) {
  const std::size_t n = text.size();
  const char* from = text.data();
  if (n >= 8 && n <= 16) {
    copy_two_words<std::uint64_t>(to, from, n);
  } else if (n >= 4 && n < 8) {
    copy_two_words<std::uint32_t>(to, from, n);
  } else if (n != 0 && n < 4) {
    // One to three bytes: the first, the middle and the last cover them.
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  } else if (n > 16) {
    std::memcpy(to, from, n);
  }
  return to + n;
}

}  // namespace brenvolt
