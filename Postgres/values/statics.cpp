#include "pg_values.h"

namespace korvel::pg {

// Each shared value is made once, leaked on purpose: values handed out may
// outlive any static destructor order.

const Value& nullMarker() noexcept {
  static const Value marker = Value::null();
  return marker;
}

const std::array<Ref<TimeZone>, 47>& zones() {
  static const auto* const table = [] {
    auto* zones = new std::array<Ref<TimeZone>, 47>();
    for (std::size_t i = 0; i < zones->size(); ++i)
      (*zones)[i] = TimeZone::fixed(-82800 + 3600 * static_cast<std::int32_t>(i));
    return zones;
  }();
  return *table;
}

const Value& yesText() {
  static const Value* const yes = new Value(Value::textUnchecked("YES"));
  return *yes;
}

const Value& noText() {
  static const Value* const no = new Value(Value::textUnchecked("NO"));
  return *no;
}

const Ref<Date>& future() {
  static const Ref<Date>* const date =
      new Ref<Date>(Date::parse("9999-01-01 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z"));
  return *date;
}

}  // namespace korvel::pg
