#include "header_field_one.h"

#include <array>
#include <string>

#include "assembly.h"
#include "delimiters.h"
#include "record_list.h"

namespace brenvolt {

bool header_field_one_as_is(std::size_t layout, const Hl7EscapeHandler& handler) {
  // Every writer uses the default handler: the answers are made once, by
  // writing a header of each layout the general way.
  static const auto as_is = [&] {
    std::array<bool, std::size(kUsualHeaderFieldOnes)> answers{};
    for (std::size_t i = 0; i < answers.size(); ++i) {
      const HeaderFieldOne& field_one = kUsualHeaderFieldOnes[i];
      Hl7RecordList probe;
      probe.add(kSegmentNameKey, "MSH");
      std::string text = "MSH|";
      for (std::size_t k = 0; k < field_one.count; ++k) {
        probe.add(field_one.keys[k], field_one.values[k]);
        if (k > 0) text += delimiters::kComponent;
        text += field_one.values[k];
      }
      probe.end_record();
      std::uint64_t gaps = 0;
      const Result<std::string> line = assemble_line(probe[0], 0, gaps, handler);
      answers[i] = line && line.value() == text;
    }
    return answers;
  }();
  return as_is[layout];
}

}  // namespace brenvolt
