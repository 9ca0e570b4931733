// The acknowledgement of a plainly written header, cut from the header's own
// text: what brenvolt listen answers to nearly every message it takes.
#pragma once

#include <string_view>

#include "columns.h"

namespace brenvolt {

// What an acknowledgement holds besides the received header's text.
struct Hl7PlainAckParts {
  std::string_view code;             // MSA-1: "AA" or "CA"
  std::string_view stamp;            // MSH-7, the time of the reply
  std::string_view control_id;       // MSH-10, fresh: ASCII letters and digits
  std::string_view default_version;  // MSH-12 when the header names none
};

// Appends to `out` the MLLP frame (0x0B, the ACK, 0x1C 0x0D) of the ACK of
// `header`, the first line of a message without its line end, and returns
// true; appends nothing and returns false when the header is not written
// plainly, or `parts.control_id` is not letters and digits, and the ACK must
// be built from the header's records instead. Plainly written: "MSH|^~\&|"
// (or "MSH|^~\&" alone) and then printable ASCII without space, "\", "&"
// and "~" (no escape sequence, subcomponent or repetition, nothing a writer
// would escape), and a message type other than ACK. For such a header the
// records' values are its texts, so the ACK holds them as they are written:
// MSH-3/4 the received MSH-5/6 and MSH-5/6 its MSH-3/4, MSH-9
// "ACK^<trigger>^ACK", MSH-11 and MSH-12 copied (the default when MSH-12 is
// empty), MSH-18 copied when the header has it, MSA-2 the received MSH-10.
bool append_plain_ack_frame(std::string_view header, const Hl7PlainAckParts& parts,
                            columns::Buffer& out);

}  // namespace brenvolt
