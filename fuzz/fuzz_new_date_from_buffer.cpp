// newDateFromBuffer on any bytes: stays within them, gives a date or nothing.
#include <cmath>
#include <cstdlib>

#include "fuzz_input.h"
#include "pg_values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  // Array elements reach the decoder without a NUL after them.
  const fuzz::FieldBuffer field(data, size, false);
  const Value v = pg::newDateFromBuffer(field.data(), field.size());
  if (v.isEmpty()) return 0;
  const Date* date = v.asDate();
  if (date == nullptr || !std::isfinite(date->timeIntervalSinceReferenceDate())) std::abort();
  if (date->calendarFormat() != Date::kDefaultFormat) std::abort();
  (void)date->description();
  return 0;
}
