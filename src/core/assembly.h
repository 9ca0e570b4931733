// Message assembly: segment records back into HL7 message text, the inverse
// of the record mapping of segment_parser.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "errors.h"
#include "escape.h"
#include "record_list.h"

namespace brenvolt {

// The most delimiters ("|", "~" and "^" together) that one segment line may
// hold. Positions are 64-bit numbers and a line grows with the largest of
// them, not with the number of keys, so without a bound one short key such as
// "4294967296" would ask for gigabytes; no real segment comes near this.
inline constexpr std::uint64_t kMaximumLineSlots = 16'777'216;

// The most delimiters that one message may hold for positions no key names
// (the gaps): a value preceded by d delimiters adds d - 1 of them. The line
// bound alone lets a few bytes of records, such as a hundred records of
// {"16777216": "x"}, ask for gigabytes; records converted from HL7 name
// every position and have no gaps at all.
inline constexpr std::uint64_t kMaximumMessageGaps = 16'777'216;

// Where a writer puts its text: one block of bytes, owned by the caller and
// filled from its start, such as a std::string or the str that becomes a
// Python result, so the text need not be copied from one to the other. The
// writer asks for a larger block only when the one it has is full.
class TextSink {
 public:
  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  // Makes the block hold at least `capacity` bytes, keeping the first
  // `used`; throws std::bad_alloc when it cannot.
  void resize(std::size_t used, std::size_t capacity) {
    data_ = enlarge(used, capacity);
    capacity_ = capacity;
  }

 protected:
  TextSink() = default;
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;
  ~TextSink() = default;

 private:
  // The block of `capacity` bytes, the first `used` of the old one kept.
  virtual char* enlarge(std::size_t used, std::size_t capacity) = 0;

  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// The room assemble_message takes for the text of `records` at first: their
// bytes with an escape sequence every few dozen, so that most messages are
// written without enlarging the block. (A record list holding duplicate keys,
// which are rare, only over-reserves.)
inline std::size_t assembly_room(const Hl7RecordList& records) {
  return records.text_bytes() + records.text_bytes() / 16 + 64;
}

// Builds the message text of `records`: one segment line per record, in list
// order, joined by "\n" with nothing after the last line; no records give the
// empty text.
//
// A line is the record's "segment_name" value written verbatim (when the
// record has that key), then fields 1..N joined by "|", where N is the largest
// field any key names. A field is its repetitions 0..R joined by "~", a
// repetition its components 1..C joined by "^", or its whole value when no key
// names a component of it. Positions no key names are written as empty text,
// every value is escaped with `handler`, with one exception: in a record whose
// "segment_name" is exactly "MSH", field 1 (HL7's MSH-2, the encoding
// characters) is written as it is when that text is 4 or 5 characters long,
// holds no "|", CR or LF, and reads back (with escape decoding, or without
// it where decoding would not change the text) to
// exactly the record's field-1 entries; so "^~\&" stays "^~\&" and the
// header can be read by any HL7 reader. Keys are read as "n", "n.c", "n[r]"
// and "n[r].c" by Hl7KeyPosition::parse (keys.h); keys that fit none of these
// forms, and field 0, are left out without notice.
// When two keys name one position the later key in byte order wins, so
// "3[0]" beats "3", "3" beats "03" and "3.0" beats "3".
//
// Fails only with Hl7Error::line_too_long, naming the record (by its 0-based
// index in `records`) and the first key whose position lies beyond the
// kMaximumLineSlots-th delimiter of its line, or with Hl7Error::too_many_gaps,
// naming the first key whose gap brings the message past
// kMaximumMessageGaps; nothing for that line has been allocated by then.
Result<std::string> assemble_message(const Hl7RecordList& records, const Hl7EscapeHandler& handler);

// assemble_message writing into `sink` (first made assembly_room(records)
// bytes, when it is smaller); returns the bytes written, which start the
// block. On failure the block holds nothing of use.
Result<std::size_t> assemble_message_into(const Hl7RecordList& records,
                                          const Hl7EscapeHandler& handler, TextSink& sink);

// assemble_message with every record taking the general path, none the short
// one that usual records take: slower, and the reference the short path is
// checked against (fuzz/assembly_fuzzer.cpp).
Result<std::string> assemble_message_plainly(const Hl7RecordList& records,
                                             const Hl7EscapeHandler& handler);

// The line of one record as assemble_message writes it by its general path
// (any record: the header, colliding keys and huge positions included), the
// `index`-th record of its message: with the segment separator before it
// when `index` is above 0. `gaps` counts the delimiters written so far for
// positions no key names, over the message, and is raised by this line's.
// For writers that take the short path themselves and leave the other
// records to this; fails as assemble_message does.
Result<std::string> assemble_line(const Hl7RecordList::Record& record, std::size_t index,
                                  std::uint64_t& gaps, const Hl7EscapeHandler& handler);

}  // namespace brenvolt
