// The JSON file loader: JSON text to segment records.
//
// Input: the bytes of a JSON file. Properties:
// - parsing fails only with InvalidFormat "Invalid JSON: ...";
// - parsed records have strictly ascending keys and UTF-8 text, and written
//   out again as JSON they parse to the same records;
// - the file loader, reading the same bytes from a file (a memfd, no disk),
//   gives an IoError for bytes that are not UTF-8, EmptyMessage for white
//   space only, and otherwise exactly what the in-memory parse gives (it pads
//   the file's own buffer instead of copying into a padded string).

#include <sys/mman.h>
#include <unistd.h>

#include "core/json_records.h"
#include "fuzz_common.h"

using namespace brenvolt;

namespace {

void append_json_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string to_json(const std::vector<fuzz::Record>& records) {
  std::string out = "[";
  for (std::size_t r = 0; r < records.size(); ++r) {
    if (r > 0) out += ',';
    out += '{';
    for (std::size_t e = 0; e < records[r].size(); ++e) {
      if (e > 0) out += ',';
      append_json_string(records[r][e].key, out);
      out += ':';
      append_json_string(records[r][e].value, out);
    }
    out += '}';
  }
  out += ']';
  return out;
}

// Loads `bytes` through the file loader, from an anonymous in-memory file.
Result<Hl7RecordList> load_from_file(std::string_view bytes) {
  const int fd = memfd_create("brenvolt-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    FUZZ_CHECK(n > 0);
    written += static_cast<std::size_t>(n);
  }
  auto loaded = load_json_records_file("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);
  return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text(data, size);

  Result<Hl7RecordList> parsed = parse_json_records(input);
  std::vector<fuzz::Record> records;
  if (parsed) {
    records = fuzz::from_list(parsed.value());
    for (const fuzz::Record& record : records) fuzz::check_record_shape(record);
    Result<Hl7RecordList> again = parse_json_records(to_json(records));
    FUZZ_CHECK(static_cast<bool>(again));
    FUZZ_CHECK(fuzz::from_list(again.value()) == records);
  } else {
    FUZZ_CHECK(parsed.error().kind() == Hl7ErrorKind::InvalidFormat);
    FUZZ_CHECK(parsed.error().message().rfind("HL7 invalid format: Invalid JSON: ", 0) == 0);
  }

  Result<Hl7RecordList> loaded = load_from_file(input);
  if (!is_valid_utf8(input)) {
    FUZZ_CHECK(!loaded);
    FUZZ_CHECK(loaded.error().message() == "I/O error: stream did not contain valid UTF-8");
  } else if (is_blank(input)) {
    FUZZ_CHECK(!loaded);
    FUZZ_CHECK(loaded.error().kind() == Hl7ErrorKind::EmptyMessage);
  } else if (parsed) {
    FUZZ_CHECK(static_cast<bool>(loaded));
    FUZZ_CHECK(fuzz::from_list(loaded.value()) == records);
  } else {
    FUZZ_CHECK(!loaded);
    FUZZ_CHECK(loaded.error().message() == parsed.error().message());
  }
  return 0;
}
