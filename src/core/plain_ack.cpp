#include "plain_ack.h"

#include <array>
#include <cstddef>

namespace brenvolt {
namespace {

constexpr std::string_view kEncodingCharacters = "MSH|^~\\&";

// Printable ASCII but space, "&", "\" and "~" ("|" and "^" cut the header).
bool is_plain(char c) { return c >= '!' && c <= '}' && c != '&' && c != '\\'; }

bool is_letter_or_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The text before the first `separator` of `text` (all of it when none);
// `text` becomes what follows that separator (nothing when none).
std::string_view cut(std::string_view& text, char separator) {
  const std::size_t at = text.find(separator);
  const std::string_view head = text.substr(0, at);
  text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
  return head;
}

}  // namespace

bool append_plain_ack_frame(std::string_view header, const Hl7PlainAckParts& parts,
                            columns::Buffer& out) {
  if (header.substr(0, kEncodingCharacters.size()) != kEncodingCharacters ||
      (header.size() > kEncodingCharacters.size() && header[kEncodingCharacters.size()] != '|')) {
    return false;
  }
  for (std::size_t i = kEncodingCharacters.size() + 1; i < header.size(); ++i) {
    if (!is_plain(header[i])) return false;
  }
  if (parts.control_id.empty()) return false;
  for (const char c : parts.control_id) {
    if (!is_letter_or_digit(c)) return false;
  }
  // fields[n] is MSH-(n+1): the "|" after the name is MSH-1. Fields past
  // MSH-18 are not read; those the header lacks stay empty.
  constexpr std::size_t kRead = 18;
  std::array<std::string_view, kRead> fields{};
  std::size_t count = 0;
  for (std::size_t start = 0; count < kRead;) {
    const std::size_t bar = header.find('|', start);
    fields[count++] = header.substr(start, bar == std::string_view::npos ? bar : bar - start);
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  std::string_view type = fields[8];
  if (cut(type, '^') == "ACK") return false;  // an acknowledgement is never answered
  const std::string_view trigger = cut(type, '^');
  std::string_view version = fields[11];
  if (version.find_first_not_of('^') == std::string_view::npos) version = parts.default_version;
  const std::string_view pieces[] = {"\x0b",
                                     kEncodingCharacters,
                                     "|",
                                     fields[4],
                                     "|",
                                     fields[5],
                                     "|",
                                     fields[2],
                                     "|",
                                     fields[3],
                                     "|",
                                     parts.stamp,
                                     "||ACK^",
                                     trigger,
                                     "^ACK|",
                                     parts.control_id,
                                     "|",
                                     fields[10],
                                     "|",
                                     version,
                                     count == kRead ? "||||||" : "",
                                     count == kRead ? fields[17] : "",
                                     "\rMSA|",
                                     parts.code,
                                     "|",
                                     fields[9],
                                     "\r\x1c\r"};
  for (const std::string_view piece : pieces) out.append_text(piece);
  return true;
}

}  // namespace brenvolt
