// The brenvolt_receiver module: part_line(), the line brenvolt listen stores
// for a message, written from the message's bytes by the core, without the
// records as Python objects in between; plain_ack_frame(), the framed ACK of
// a plainly written header, cut from its text by the core. The receiver takes one message at a
// time on its event loop, so the work of each is work its every connection
// waits behind.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "core/columns.h"
#include "core/escape.h"
#include "core/plain_ack.h"
#include "core/records_json.h"
#include "core/text.h"
#include "python/ref.h"

namespace {

using brenvolt::append_json_string;
using brenvolt::append_records_json;

// Sets `out` to the UTF-8 of argument `name`, a str; false with an error set
// when it is none, or has no UTF-8 form.
bool utf8_of(PyObject* object, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// Appends the base64 (RFC 4648, padded) of `bytes` to `out`.
void append_base64(std::string_view bytes, brenvolt::columns::Buffer& out) {
  constexpr std::string_view kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  char* const start = out.room((n + 2) / 3 * 4);
  char* at = start;
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned v = (unsigned{p[i]} << 16) | (unsigned{p[i + 1]} << 8) | p[i + 2];
    *at++ = kDigits[v >> 18];
    *at++ = kDigits[(v >> 12) & 63];
    *at++ = kDigits[(v >> 6) & 63];
    *at++ = kDigits[v & 63];
  }
  if (i < n) {
    const unsigned v = (unsigned{p[i]} << 16) | (i + 1 < n ? unsigned{p[i + 1]} << 8 : 0u);
    *at++ = kDigits[v >> 18];
    *at++ = kDigits[(v >> 12) & 63];
    *at++ = i + 1 < n ? kDigits[(v >> 6) & 63] : '=';
    *at++ = '=';
  }
  out.advance(static_cast<std::size_t>(at - start));
}

// A huge message's room is not kept for the usual small ones.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

// Checks that `function` got `expected` arguments and sets texts[i] to the
// UTF-8 of the first N, each a str named names[i]; false with an error set
// otherwise.
template <std::size_t N>
bool leading_texts(const char* function, PyObject* const* args, Py_ssize_t count,
                   Py_ssize_t expected, const char* const (&names)[N],
                   std::string_view (&texts)[N]) {
  if (count != expected) {
    PyErr_Format(PyExc_TypeError, "%s expected %zd arguments, got %zd", function, expected, count);
    return false;
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!utf8_of(args[i], names[i], texts[i])) return false;
  }
  return true;
}

// The bytes of `buffer`, which is then freed when it grew past kKeptCapacity;
// nullptr with an error set.
PyObject* bytes_of(brenvolt::columns::Buffer& buffer) {
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                              static_cast<Py_ssize_t>(buffer.size()));
  if (buffer.capacity() > kKeptCapacity) buffer = brenvolt::columns::Buffer();
  return bytes;
}

constexpr const char* kNames[] = {"received", "peer", "control_id", "sha256"};

// part_line(received, peer, control_id, sha256, payload, escaping, /)
PyObject* part_line(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return brenvolt::py::guarded([&]() -> PyObject* {
    std::string_view texts[4];
    if (!leading_texts("part_line", args, count, 6, kNames, texts)) return nullptr;
    if (!PyBytes_Check(args[4])) {
      PyErr_Format(PyExc_TypeError, "argument 'payload' must be bytes, not %.200s",
                   Py_TYPE(args[4])->tp_name);
      return nullptr;
    }
    const int escaping = PyObject_IsTrue(args[5]);
    if (escaping < 0) return nullptr;
    const std::string_view payload(PyBytes_AS_STRING(args[4]),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(args[4])));
    if (!brenvolt::is_valid_utf8(payload)) Py_RETURN_NONE;
    // Reused from call to call (the interpreter lock is held): after the
    // first messages a line costs no allocation.
    static brenvolt::columns::Buffer line;
    line.resize(0);
    static const brenvolt::Hl7EscapeHandler handler = brenvolt::create_default_escape_handler();
    for (int i = 0; i < 4; ++i) {
      line.append_text(i == 0 ? "{\"" : ",\"");
      line.append_text(kNames[i]);
      line.append_text("\":");
      append_json_string(texts[i], line);
    }
    line.append_text(",\"records\":");
    append_records_json(payload, escaping ? &handler : nullptr, line);
    line.append_text(",\"raw\":\"");
    append_base64(payload, line);
    line.append_text("\"}\n");
    return bytes_of(line);
  });
}

constexpr const char* kAckNames[] = {"header", "code", "stamp", "control_id", "default_version"};

// plain_ack_frame(header, code, stamp, control_id, default_version, /)
PyObject* plain_ack_frame(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return brenvolt::py::guarded([&]() -> PyObject* {
    std::string_view texts[5];
    if (!leading_texts("plain_ack_frame", args, count, 5, kAckNames, texts)) return nullptr;
    static brenvolt::columns::Buffer frame;
    frame.resize(0);
    if (!brenvolt::append_plain_ack_frame(texts[0], {texts[1], texts[2], texts[3], texts[4]},
                                          frame)) {
      Py_RETURN_NONE;
    }
    return bytes_of(frame);
  });
}

PyMethodDef functions[] = {
    {"part_line", brenvolt::py::as_cfunction(part_line), METH_FASTCALL,
     "part_line(received, peer, control_id, sha256, payload, escaping, /)\n--\n\n"
     "The part-file line of a message, or None when payload is not UTF-8.\n\n"
     "The JSON object {\"received\", \"peer\", \"control_id\", \"sha256\", \"records\", "
     "\"raw\"} and a newline, with the records Hl7Json makes of payload (escape sequences "
     "decoded when escaping is true) and payload in base64."},
    {"plain_ack_frame", brenvolt::py::as_cfunction(plain_ack_frame), METH_FASTCALL,
     "plain_ack_frame(header, code, stamp, control_id, default_version, /)\n--\n\n"
     "The MLLP frame of the AA or CA (code) of a plainly written header, or None.\n\n"
     "header is the message's first line without its line end; stamp and control_id become "
     "MSH-7 and MSH-10 (letters and digits), default_version MSH-12 when the header has none. "
     "None when the header is not written plainly (MSH|^~\\& and printable ASCII without "
     "space, \\, & and ~) or is an acknowledgement's: its ACK is then built from its records."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brenvolt_receiver",
    "Native help for brenvolt listen: the part-file line of a message and the ACK of a plain "
    "header, written by brenvolt's core.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_brenvolt_receiver() { return PyModuleDef_Init(&module_def); }
