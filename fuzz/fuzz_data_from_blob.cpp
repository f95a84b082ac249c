// dataFromBLOB on any bytes: stays within them and never fails; the escaped
// form of what it decodes reads back to the same bytes.
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "pg_values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  // No NUL after the bytes: the decoder must stop at the length alone.
  const fuzz::FieldBuffer field(data, size, false);
  const Value blob = pg::dataFromBLOB(field.data(), field.size());
  const Bytes* bytes = blob.asBytes();
  if (bytes == nullptr) std::abort();

  std::string constant(pg::lengthOfEscapedBLOB(*bytes), '\0');
  if (pg::copyEscapedBLOB(*bytes, constant.data()) != constant.size()) std::abort();
  // What the server reads inside E'...': each doubled backslash is one.
  std::string inner;
  for (std::size_t i = 2; i + 1 < constant.size(); ++i) {
    if (constant[i] == '\\') ++i;
    inner.push_back(constant[i]);
  }
  const Value back = pg::dataFromBLOB(inner.data(), inner.size());
  if (back.asBytes() == nullptr || back.asBytes()->view() != bytes->view()) std::abort();
  return 0;
}
