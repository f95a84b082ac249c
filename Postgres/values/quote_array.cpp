#include "korvel/exception.h"
#include "pg_values.h"

namespace korvel::pg {
namespace {

void appendBytea(std::string& into, const Bytes& blob) {
  const std::size_t at = into.size();
  into.resize(at + lengthOfEscapedBLOB(blob));
  copyEscapedBLOB(blob, into.data() + at);
  into.append("::bytea");
}

void appendArray(const List& list, std::string& into, bool quotingStrings, Korvel& client) {
  into.append("ARRAY[");
  bool first = true;
  for (const Value& element : list) {
    if (!first) into.push_back(',');
    first = false;
    if (const List* nested = element.asList()) {
      appendArray(*nested, into, quotingStrings, client);
    } else if (element.kind() == Kind::Text) {
      // Literal texts are meant to stand in SQL as they are; they go through
      // quote below, which keeps them so.
      if (quotingStrings)
        into.append(client.quoteString(element.text()));
      else
        into.append(element.text());
    } else if (element.asDate()) {
      into.append(client.quote(element));
      into.append("::timestamp with time zone");
    } else if (const Bytes* blob = element.asBytes()) {
      appendBytea(into, *blob);
    } else {
      into.append(client.quote(element));
    }
  }
  into.push_back(']');
}

}  // namespace

std::string& quoteArray(const Value& list, std::string& into, bool quotingStrings, Korvel& client) {
  const List* items = list.asList();
  if (items == nullptr) throw InternalInconsistencyException("NSInvalidArgumentException");
  const std::size_t before = into.size();
  try {
    appendArray(*items, into, quotingStrings, client);
  } catch (...) {
    into.resize(before);
    throw;
  }
  return into;
}

std::string quoteArray(const Value& list, bool quotingStrings, Korvel& client) {
  std::string text;
  text.reserve(1000);
  quoteArray(list, text, quotingStrings, client);
  return text;
}

}  // namespace korvel::pg
