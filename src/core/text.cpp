#include "text.h"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brenvolt {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kAlphanumericRanges[] = {
#include "unicode_tables.inc"
};

// Closes the descriptor on every path out of read_text_file.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::size_t line_count(std::string_view text) {
  // memchr skips the long stretches between line ends many bytes at a time.
  std::size_t count = 1;
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at != end) {
    const void* found = std::memchr(at, delimiters::kSegment, static_cast<std::size_t>(end - at));
    if (found == nullptr) break;
    ++count;
    at = static_cast<const char*>(found) + 1;
  }
  return count;
}

std::string replace_eof(std::string text) {
  // The three passes ("\r\n" -> "\n", then "\n\r" -> "\n", then "\r" -> "\n")
  // come to one rule for each carriage return, read against the original
  // text: it is dropped when a line feed follows it (the first pass) or
  // precedes it (the second: the character before a carriage return is never
  // one that the first pass dropped), and becomes a line feed otherwise. So
  // one pass from left to right suffices, compacting in place.
  char* data = text.data();
  const std::size_t size = text.size();
  const void* found = std::memchr(data, '\r', size);
  if (found == nullptr) return text;
  std::size_t read = static_cast<std::size_t>(static_cast<const char*>(found) - data);
  std::size_t write = read;
  // The original character before data[read]; the place it stood may have
  // been written over by then.
  char previous = read > 0 ? data[read - 1] : '\0';
  while (read < size) {
    // data[read] is a carriage return.
    const bool lf_after = read + 1 < size && data[read + 1] == '\n';
    if (!lf_after && previous != '\n') data[write++] = '\n';
    previous = '\r';
    ++read;
    // Move the run up to the next carriage return down into place.
    const void* next = std::memchr(data + read, '\r', size - read);
    const std::size_t run_end =
        next ? static_cast<std::size_t>(static_cast<const char*>(next) - data) : size;
    if (run_end > read) {
      previous = data[run_end - 1];
      if (write != read) std::memmove(data + write, data + read, run_end - read);
      write += run_end - read;
      read = run_end;
    }
  }
  text.resize(write);
  return text;
}

char32_t decode_utf8_at(std::string_view text, std::size_t i, std::size_t& length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  if (lead < 0xE0) {
    length = 2;
    return static_cast<char32_t>(((lead & 0x1Fu) << 6) | (byte(1) & 0x3Fu));
  }
  if (lead < 0xF0) {
    length = 3;
    return static_cast<char32_t>(((lead & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) |
                                 (byte(2) & 0x3Fu));
  }
  length = 4;
  return static_cast<char32_t>(((lead & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) |
                               ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu));
}

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) {
    return (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z');
  }
  const auto* end = std::end(kAlphanumericRanges);
  const auto* it =
      std::upper_bound(std::begin(kAlphanumericRanges), end, c,
                       [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return it != std::begin(kAlphanumericRanges) && c <= (it - 1)->last;
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_blank(std::string_view text) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < text.size(); i += length) {
    if (!is_white_space(decode_utf8_at(text, i, length))) return false;
  }
  return true;
}

bool is_valid_utf8(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

Result<std::string> read_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return Hl7Error::nul_in_path();
  }
  const std::string path_z(path);
  FileDescriptor file{::open(path_z.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return Hl7Error::os_error(errno);

  // The size from fstat only sizes the buffer: the file may change while it is
  // read, and files under /proc report 0. The spare bytes let the final read
  // see the end of a regular file without growing the buffer, and leave room
  // for the padding the JSON parser needs after the text.
  std::size_t capacity = 65536;
  struct stat info {};
  if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    capacity = static_cast<std::size_t>(info.st_size) + simdjson::SIMDJSON_PADDING;
  }
  std::string bytes(capacity, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t got = ::read(file.fd, bytes.data() + used, bytes.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Hl7Error::os_error(errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  bytes.resize(used);
  return bytes;
}

Result<std::string> read_text_file(std::string_view path) {
  auto bytes = read_file(path);
  if (bytes && !is_valid_utf8(bytes.value())) return Hl7Error::not_utf8();
  return bytes;
}

}  // namespace brenvolt
