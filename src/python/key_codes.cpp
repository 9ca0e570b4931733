#include "key_codes.h"

namespace brenvolt::py {

Hl7KeyCode KeyCodeTable::remember(PyObject* key, std::string_view text) {
  Slot* const set = &slots_[set_index(key)];
  set[1] = std::move(set[0]);  // releases the second slot's key
  set[0].code = Hl7KeyCode::of_key(text);
  set[0].key = PyRef::borrow(key);
  return set[0].code;
}

}  // namespace brenvolt::py
