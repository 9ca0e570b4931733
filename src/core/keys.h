// The record key scheme, both directions: Hl7KeyPosition, where a record
// entry sits in its segment line, printed as its key text ("segment_name",
// "3", "5.1", "3[0]", "3[1].4") and parsed back from one; and the order of
// key texts, which conversion emits without building or sorting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvolt {

// The key of the entry that holds the segment's name.
inline constexpr std::string_view kSegmentNameKey = "segment_name";

// A place in a segment line. Fields count from 1, repetitions from 0,
// components from 1; a component of 0 is the whole-value slot (the text of a
// field or repetition without components), so the numbers alone order the
// places of a line and say which entries write to the same one.
struct Hl7KeyPosition {
  enum class Form : std::uint8_t {
    SegmentName,          // "segment_name"
    Whole,                // "n"
    Component,            // "n.c"
    Repetition,           // "n[r]"
    RepetitionComponent,  // "n[r].c"
  };
  Form form = Form::SegmentName;
  std::uint64_t field = 0;
  std::uint64_t repetition = 0;
  std::uint64_t component = 0;

  bool operator==(const Hl7KeyPosition&) const = default;

  // Appends the key text to `out`: the numbers in decimal without leading
  // zeros, so that parse() of the text gives this position back.
  void append_key_text(std::string& out) const;
  // Writes the key text at `to`, which has room for kMaxKeyTextSize bytes;
  // returns its end.
  char* write_key_text(char* to) const;
  // The longest key text: three 20-digit numbers, "[", "]" and ".".
  static constexpr std::size_t kMaxKeyTextSize = 63;

  // The position a key names, or nullopt for a key that fits no form.
  // Numbers are an optional single "+" and one or more ASCII digits whose
  // value fits in 64 bits (leading zeros allowed). The rules are tried in
  // order and a key that fails the first one that applies to it is not
  // retried as another form: "3.1[0]" is read by the bracket rule and refused
  // there; after "n[r]" only a "." directly following the "]" introduces a
  // component, and any other text there is disregarded ("3[1]x" is "3[1]").
  // "n.c" is exact: a second "." refuses the key.
  static std::optional<Hl7KeyPosition> parse(std::string_view key);
};

// What a record key means to assembly, in one 64-bit word made once per
// distinct key (and stored beside it): the entry is left out, holds the segment name, or sits at a
// position. A position whose numbers are small (field below 2^24, repetition
// below 2^16, component below 2^24, as every real one is) is packed so that
// numeric order is line order; a larger one is only marked, and its key is
// parsed again when its record is written.
class Hl7KeyCode {
 public:
  Hl7KeyCode() = default;  // a key that is left out
  static Hl7KeyCode of(const std::optional<Hl7KeyPosition>& position);
  static Hl7KeyCode of_key(std::string_view key) { return of(Hl7KeyPosition::parse(key)); }
  // The code as one number, to be stored, and back.
  std::uint64_t bits() const { return bits_; }
  static Hl7KeyCode from_bits(std::uint64_t bits) { return Hl7KeyCode(bits); }

  bool left_out() const { return bits_ == kLeftOut; }
  bool segment_name() const { return bits_ == kSegmentName; }
  bool packed() const { return bits_ > kUnpacked; }
  // Only for packed codes: a larger one is a later place in the line.
  std::uint64_t place() const { return bits_; }
  std::uint64_t field() const { return bits_ >> 40; }
  std::uint64_t repetition() const { return (bits_ >> 24) & 0xFFFFu; }
  std::uint64_t component() const { return bits_ & 0xFFFFFFu; }

 private:
  // Field 0 is never written, so codes with a zero field are free for the
  // other meanings.
  static constexpr std::uint64_t kLeftOut = 0;
  static constexpr std::uint64_t kSegmentName = 1;
  static constexpr std::uint64_t kUnpacked = 2;
  explicit Hl7KeyCode(std::uint64_t bits) : bits_(bits) {}
  std::uint64_t bits_ = kLeftOut;
};

// Hl7KeyCode::of_key for the few distinct keys of a feed, each parsed once:
// records name the same keys over and over. A two-way set-associative table
// of keys of up to sixteen bytes (which determine a key exactly together
// with its length); a longer key, or one not in its set, is parsed as usual.
// Not shared between threads.
class Hl7KeyCodeCache {
 public:
  Hl7KeyCodeCache();
  Hl7KeyCode code(std::string_view key);
  // The calling thread's cache, which lives on from call to call: the next
  // message of a feed finds its keys already parsed.
  static Hl7KeyCodeCache& for_this_thread();

 private:
  static constexpr unsigned kSetBits = 10;
  struct Slot {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::size_t size = 17;  // no key matches an empty slot
    Hl7KeyCode code;
  };
  std::vector<Slot> slots_;
};

// Visits the numbers lo..hi (lo is 0 or 1) in the order of their decimal
// texts: pre(n) before the numbers whose text extends n's (n = 1: 10, 100,
// 11, ...), post(n) after them. A key "n" or "n.c" sorts before its
// extensions, so it is written from pre; "n[" sorts after them ('[' is above
// the digits), so it is written from post.
template <class Pre, class Post>
void for_each_decimal_order(std::size_t lo, std::size_t hi, Pre&& pre, Post&& post) {
  struct Walk {
    std::size_t hi;
    Pre& pre;
    Post& post;
    void visit(std::size_t n) {
      pre(n);
      if (n <= hi / 10) {  // n * 10 <= hi: n has extensions, and no overflow
        for (std::size_t d = 0; d < 10; ++d) {
          const std::size_t child = n * 10 + d;
          if (child > hi) break;
          visit(child);
        }
      }
      post(n);
    }
  };
  if (hi < lo) return;
  if (hi <= 9) {  // one digit each: text order is numeric order
    for (std::size_t n = lo; n <= hi; ++n) {
      pre(n);
      post(n);
    }
    return;
  }
  Walk walk{hi, pre, post};
  if (lo == 0) {
    pre(0);
    post(0);
  }
  for (std::size_t first = 1; first <= 9 && first <= hi; ++first) walk.visit(first);
}

}  // namespace brenvolt
