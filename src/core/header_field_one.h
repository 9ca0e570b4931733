// The header's field 1 (the encoding characters) as usual records give it,
// and whether a header record starting with one of those is written with it
// as it is: what lets the short paths of the writers take the header too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "escape.h"
#include "keys.h"

namespace brenvolt {

// Field 1 whole, or (as HL7 text reads back) as an empty first component
// and the rest; each as its keys and values.
struct HeaderFieldOne {
  std::size_t count;
  std::string_view keys[2];
  std::string_view values[2];
};
inline constexpr HeaderFieldOne kUsualHeaderFieldOnes[] = {
    {1, {"1", ""}, {"^~\\&", ""}},
    {2, {"1.1", "1.2"}, {"", "~\\&"}},
};

// Whether the general writer (assemble_line) writes a header whose field 1
// is kUsualHeaderFieldOnes[layout] as it is, unescaped: asked of it once.
bool header_field_one_as_is(std::size_t layout, const Hl7EscapeHandler& handler);

// Whether a header record, its places sorted (`items`, each with a `place`
// and a `value`), has one of the usual field 1s and nothing else in field
// 1, so that a short path writes it as the general writer does: field 1 as
// it is, the rest escaped. has_text(value, text) says whether a value is
// `text`.
template <class Item, class HasText>
bool is_usual_header(const std::vector<Item>& items, HasText&& has_text,
                     const Hl7EscapeHandler& handler) {
  for (std::size_t layout = 0; layout < std::size(kUsualHeaderFieldOnes); ++layout) {
    const HeaderFieldOne& field_one = kUsualHeaderFieldOnes[layout];
    if (items.size() < field_one.count) continue;
    if (items.size() > field_one.count &&
        Hl7KeyCode::from_bits(items[field_one.count].place).field() == 1) {
      continue;
    }
    bool same = true;
    for (std::size_t k = 0; k < field_one.count && same; ++k) {
      same = items[k].place == Hl7KeyCode::of_key(field_one.keys[k]).place() &&
             has_text(items[k].value, field_one.values[k]);
    }
    if (same) return header_field_one_as_is(layout, handler);
  }
  return false;
}

}  // namespace brenvolt
