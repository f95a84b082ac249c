// parseIntoArray on any text that starts with a brace, with each element
// kind: stays within the text, and returns a position inside it.
#include <cstdlib>

#include "fuzz_input.h"
#include "pg_values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  if (size < 1) return 0;
  // The first byte picks the element kind; the rest is the array text.
  static constexpr pg::ElementKind kKinds[] = {
      pg::ElementKind::Text, pg::ElementKind::Boolean, pg::ElementKind::Bytes,
      pg::ElementKind::Float, pg::ElementKind::Integer, pg::ElementKind::Timestamp,
  };
  const pg::ElementKind kind = kKinds[data[0] % (sizeof kKinds / sizeof kKinds[0])];
  const fuzz::FieldBuffer field(data + 1, size - 1, false);
  if (field.size() == 0 || field.data()[0] != '{') return 0;
  Ref<List> list = makeRef<List>(10);
  const char* end = field.data() + field.size();
  const char* after = pg::parseIntoArray(*list, kind, field.data(), end);
  if (after <= field.data() || after > end) std::abort();
  (void)Value(list).description();
  return 0;
}
