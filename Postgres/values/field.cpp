#include <cstring>

#include "korvel/log.h"
#include "pg_values.h"

namespace korvel::pg {
namespace {

// The type OIDs of the server's catalogue that decode to something other
// than a text.
enum Oid : std::uint32_t {
  kBool = 16, kBytea = 17, kChar = 18, kInt8 = 20, kInt2 = 21, kInt4 = 23,
  kFloat4 = 700, kFloat8 = 701, kDate = 1082, kTime = 1083,
  kTimestamp = 1114, kTimestampTz = 1184,
  kBoolArray = 1000, kByteaArray = 1001, kCharArray = 1002, kInt2Array = 1005, kInt4Array = 1007,
  kTextArray = 1009, kBpcharArray = 1014, kVarcharArray = 1015, kInt8Array = 1016,
  kFloat4Array = 1021, kFloat8Array = 1022, kTimestampArray = 1115, kDateArray = 1182,
  kTimeArray = 1183, kTimestampTzArray = 1185, kCstringArray = 1263,
};

// Trailing white space ends at the first character from the end that is not
// one of the C locale's spaces; bytes with the top bit set are never spaces.
inline std::size_t withoutTrailingSpace(const char* s, std::size_t n) noexcept {
  while (n > 0) {
    const char c = s[n - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') break;
    --n;
  }
  return n;
}

Value asText(const char* text, std::size_t length, const DecodeContext& context) {
  if (context.shouldTrim) length = withoutTrailingSpace(text, length);
  return Value::text(std::string_view(text, length));
}

Value asArray(const char* text, std::size_t length, ElementKind kind, const DecodeContext& context) {
  // Arrays with explicit bounds ([1:2]={1,2}) do not start with a brace;
  // they stay texts.
  if (length == 0 || text[0] != '{') return asText(text, length, context);
  Ref<List> list = newArrayFromText(kind, text, text + length);
  if (context.debugging >= 3) processLog("Parsed array is %@", list);
  return Value(std::move(list));
}

}  // namespace

Value newParseField(const char* text, std::uint32_t typeOid, std::size_t length,
                    const DecodeContext& context) {
  if (text == nullptr) {
    text = "";
    length = 0;
  }
  switch (typeOid) {
    case kBool: return length > 0 && text[0] == 't' ? yesText() : noText();
    case kBytea: return dataFromBLOB(text, length);
    case kChar: return Value::text(std::string_view(text, length));
    case kInt8:
    case kInt2:
    case kInt4:
    case kFloat4:
    case kFloat8: return KorvelNewLiteral(text, withoutTrailingSpace(text, length));
    case kDate:
    case kTime: return Value::textFromASCII(std::string_view(text, withoutTrailingSpace(text, length)));
    case kTimestamp:
    case kTimestampTz: return newDateFromBuffer(text, withoutTrailingSpace(text, length));
    case kBoolArray: return asArray(text, length, ElementKind::Boolean, context);
    case kByteaArray: return asArray(text, length, ElementKind::Bytes, context);
    case kInt2Array:
    case kInt4Array:
    case kInt8Array: return asArray(text, length, ElementKind::Integer, context);
    case kFloat4Array:
    case kFloat8Array: return asArray(text, length, ElementKind::Float, context);
    case kTimestampArray:
    case kTimestampTzArray: return asArray(text, length, ElementKind::Timestamp, context);
    case kCharArray:
    case kTextArray:
    case kBpcharArray:
    case kVarcharArray:
    case kDateArray:
    case kTimeArray:
    case kCstringArray: return asArray(text, length, ElementKind::Text, context);
    default: return asText(text, length, context);
  }
}

}  // namespace korvel::pg
