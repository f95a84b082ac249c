// newParseField on any field text and any type OID that it knows: stays
// within the text and raises nothing.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "pg_values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  if (size < 1) return 0;
  // The first byte picks the type and the trim setting; the rest is the field.
  static constexpr std::uint32_t kOids[] = {
      16, 17, 18, 20, 21, 23, 25, 700, 701, 1042, 1043, 1082, 1083, 1114, 1184, 1000, 1001,
      1002, 1005, 1007, 1009, 1014, 1015, 1016, 1021, 1022, 1115, 1182, 1183, 1185, 1231, 1263,
  };
  constexpr std::size_t kCount = sizeof kOids / sizeof kOids[0];
  const std::uint32_t oid = kOids[data[0] % kCount];
  const pg::DecodeContext context{(data[0] / kCount) % 2 == 1, 0};
  const fuzz::FieldBuffer field(data + 1, size - 1, false);
  const Value v = pg::newParseField(field.data(), oid, field.size(), context);
  (void)v.description();
  return 0;
}
