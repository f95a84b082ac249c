#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "pg_values.h"

namespace korvel::pg {
namespace {

// PostgreSQL writes at most 6 dimensions; the cap only keeps hostile input
// from exhausting the stack. A brace deeper than this is read as an
// ordinary character of an unquoted element.
constexpr int kMaxNesting = 100;

inline bool isSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline std::size_t withoutTrailingSpace(const char* s, std::size_t n) noexcept {
  while (n > 0 && isSpace(s[n - 1])) --n;
  return n;
}

Value convertUnquoted(ElementKind kind, const char* s, std::size_t n) {
  if (n == 4 && std::memcmp(s, "NULL", 4) == 0) return nullMarker();
  switch (kind) {
    case ElementKind::Boolean: return n > 0 && s[0] == 't' ? yesText() : noText();
    case ElementKind::Bytes: return dataFromBLOB(s, n);
    case ElementKind::Float:
    case ElementKind::Integer: return KorvelNewLiteral(s, n);
    case ElementKind::Timestamp: return newDateFromBuffer(s, withoutTrailingSpace(s, n));
    case ElementKind::Text: break;
  }
  return Value::text(std::string_view(s, n));
}

Value convertQuoted(ElementKind kind, const char* s, std::size_t n) {
  switch (kind) {
    case ElementKind::Bytes: return dataFromBLOB(s, n);
    case ElementKind::Timestamp: return newDateFromBuffer(s, n);
    default: return Value::text(std::string_view(s, n));
  }
}

// True at the end of the text. The entry points cut the range at its first
// NUL, so that the scanning loops test one bound.
inline bool atEnd(const char* p, const char* end) noexcept { return p == end; }

inline const char* untilNul(const char* from, const char* end) noexcept {
  const void* nul = std::memchr(from, '\0', static_cast<std::size_t>(end - from));
  return nul ? static_cast<const char*>(nul) : end;
}

// A quoted element starting after its opening quote. A backslash takes the
// next character as it is; a backslash with nothing after it is dropped, and
// a missing closing quote ends the element at the end of the text. Gives the
// position after the closing quote (or the end).
const char* readQuoted(ElementKind kind, const char* p, const char* end, Value& element) {
  const char* start = p;
  std::size_t count = 0;
  bool escaped = false;
  while (!atEnd(p, end) && *p != '"') {
    if (*p == '\\') {
      escaped = true;
      ++p;
      if (atEnd(p, end)) break;
    }
    ++count;
    ++p;
  }
  const char* close = p;
  if (!escaped) {
    element = convertQuoted(kind, start, count);
  } else {
    // Escapes are rare (quotes and backslashes inside texts); only then is
    // the element copied, into a stack buffer when it is short.
    char small[256];
    std::unique_ptr<char[]> large;
    char* copy = count <= sizeof small ? small : (large.reset(new char[count]), large.get());
    char* out = copy;
    for (const char* q = start; q < close; ++q) {
      if (*q == '\\' && ++q == close) break;
      *out++ = *q;
    }
    element = convertQuoted(kind, copy, static_cast<std::size_t>(out - copy));
  }
  return atEnd(close, end) ? close : close + 1;
}

// The elements of one level as they are parsed: the first few on the stack,
// so that the level's list gets exactly as many slots as it has elements
// (the millions of small arrays a query may hold get no spare ones) without
// a counting pass over the text.
class LevelElements {
 public:
  void push(Value element) {
    if (count_ < few_.size()) few_[count_++] = std::move(element);
    else more_.push_back(std::move(element));
  }
  void moveInto(std::vector<Value>& into) {
    into.reserve(into.size() + count_ + more_.size());
    for (std::size_t i = 0; i < count_; ++i) into.push_back(std::move(few_[i]));
    for (Value& element : more_) into.push_back(std::move(element));
  }

 private:
  std::array<Value, 8> few_;
  std::size_t count_ = 0;
  std::vector<Value> more_;
};

const char* parseLevel(LevelElements& elements, ElementKind kind, const char* p, const char* end, int depth);

// The level that starts at p (after its opening brace), appended to `into`.
// Gives the position after the level's closing brace (or the end).
const char* parseList(std::vector<Value>& into, ElementKind kind, const char* p, const char* end, int depth) {
  LevelElements elements;
  const char* after = parseLevel(elements, kind, p, end, depth);
  elements.moveInto(into);
  return after;
}

const char* parseLevel(LevelElements& elements, ElementKind kind, const char* p, const char* end, int depth) {
  for (;;) {
    // The end test comes before white space is skipped, so "{ }" holds one
    // empty element, as the server's own reader has it.
    if (atEnd(p, end)) return p;
    if (*p == '}') return p + 1;
    while (!atEnd(p, end) && isSpace(*p)) ++p;
    Value element;
    if (!atEnd(p, end) && *p == '"') {
      p = readQuoted(kind, p + 1, end, element);
    } else if (!atEnd(p, end) && *p == '{' && depth < kMaxNesting) {
      std::vector<Value> nested;
      p = parseList(nested, kind, p + 1, end, depth + 1);
      element = Value(makeRef<List>(std::move(nested)));
    } else {
      const char* start = p;
      while (!atEnd(p, end) && *p != ',' && *p != '}') ++p;
      element = convertUnquoted(kind, start, static_cast<std::size_t>(p - start));
    }
    // Elements that convert to nothing are left out of the list.
    if (!element.isEmpty()) elements.push(std::move(element));
    if (!atEnd(p, end) && *p == ',') ++p;
  }
}

bool startsArray(const char* from, const char* end) noexcept { return from != nullptr && from < end && *from == '{'; }

}  // namespace

const char* parseIntoArray(List& list, ElementKind kind, const char* from, const char* end) {
  if (!startsArray(from, end)) return from;
  std::vector<Value> elements;
  const char* after = parseList(elements, kind, from + 1, untilNul(from, end), 1);
  list.reserve(list.size() + elements.size());
  for (Value& element : elements) list.append(std::move(element));
  return after;
}

Ref<List> newArrayFromText(ElementKind kind, const char* from, const char* end) {
  std::vector<Value> elements;
  if (startsArray(from, end)) parseList(elements, kind, from + 1, untilNul(from, end), 1);
  return makeRef<List>(std::move(elements));
}

}  // namespace korvel::pg
