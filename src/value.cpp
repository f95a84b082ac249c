#include "korvel/value.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <new>

#include "korvel/date.h"

namespace korvel {

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::Empty: return "empty";
    case Kind::Null: return "null";
    case Kind::Boolean: return "boolean";
    case Kind::Int32: return "int32";
    case Kind::Int64: return "int64";
    case Kind::Float: return "float";
    case Kind::Double: return "double";
    case Kind::Text: return "text";
    case Kind::Literal: return "literal";
    case Kind::Bytes: return "bytes";
    case Kind::Date: return "date";
    case Kind::List: return "list";
    case Kind::Dictionary: return "dictionary";
    case Kind::Record: return "record";
    case Kind::Object: return "object";
  }
  return "unknown";
}

bool Object::equals(const Object& other) const { return this == &other; }

namespace {

// True when no byte has its high bit set. Whole words are read, the last one
// overlapping the one before, so that the short texts a query yields by the
// million (numbers, names) cost two loads and no loop over bytes.
bool isASCII(const unsigned char* s, std::size_t n) noexcept {
  if (n >= 8) {
    std::uint64_t any = 0, word;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&word, s + i, 8);
      any |= word;
    }
    std::memcpy(&word, s + n - 8, 8);
    return ((any | word) & 0x8080808080808080ull) == 0;
  }
  if (n >= 4) {
    std::uint32_t first, last;
    std::memcpy(&first, s, 4);
    std::memcpy(&last, s + n - 4, 4);
    return ((first | last) & 0x80808080u) == 0;
  }
  unsigned any = 0;
  for (std::size_t i = 0; i < n; ++i) any |= s[i];
  return any < 0x80;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  if (isASCII(s, bytes.size())) return true;
  const auto* end = s + bytes.size();
  while (s < end) {
    // Runs of ASCII are by far the common case; test eight bytes at a time.
    while (end - s >= 8) {
      std::uint64_t word;
      std::memcpy(&word, s, 8);
      if (word & 0x8080808080808080ull) break;
      s += 8;
    }
    if (s == end) break;
    unsigned c = *s;
    if (c < 0x80) { ++s; continue; }
    std::size_t need;
    unsigned min;
    if ((c & 0xE0) == 0xC0) { need = 1; min = 0x80; c &= 0x1F; }
    else if ((c & 0xF0) == 0xE0) { need = 2; min = 0x800; c &= 0x0F; }
    else if ((c & 0xF8) == 0xF0) { need = 3; min = 0x10000; c &= 0x07; }
    else return false;
    if (static_cast<std::size_t>(end - s) <= need) return false;
    for (std::size_t i = 1; i <= need; ++i) {
      if ((s[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    s += need + 1;
  }
  return true;
}

// ---- Value ----------------------------------------------------------------

Value Value::null() noexcept { Value v; v.r_.big.tag = Tag::Null; return v; }
Value Value::boolean(bool b) noexcept { Value v; v.r_.big.tag = Tag::Boolean; v.r_.big.b = b; return v; }
Value Value::int32(std::int32_t i) noexcept { Value v; v.r_.big.tag = Tag::Int32; v.r_.big.i32 = i; return v; }
Value Value::int64(std::int64_t i) noexcept { Value v; v.r_.big.tag = Tag::Int64; v.r_.big.i64 = i; return v; }
Value Value::float32(float f) noexcept { Value v; v.r_.big.tag = Tag::Float; v.r_.big.f = f; return v; }
Value Value::float64(double d) noexcept { Value v; v.r_.big.tag = Tag::Double; v.r_.big.d = d; return v; }

Value Value::heap(Tag tag, const korvel::Object* adopted) noexcept {
  Value v;
  if (!adopted) return v;
  v.r_.big.tag = tag;
  v.r_.big.obj = adopted;
  return v;
}

Value Value::makeText(std::string_view bytes, bool literal) {
  if (bytes.size() <= kSmallCapacity) {
    Value v;
    v.r_.small.tag = literal ? Tag::SmallLiteral : Tag::SmallText;
    v.r_.small.length = static_cast<std::uint8_t>(bytes.size());
    if (!bytes.empty()) std::memcpy(v.r_.small.chars, bytes.data(), bytes.size());
    return v;
  }
  return heap(literal ? Tag::Literal : Tag::Text, TextObject::make(bytes));
}

Value Value::text(std::string_view utf8) {
  if (!isValidUTF8(utf8)) return {};
  return makeText(utf8, false);
}
Value Value::textUnchecked(std::string_view utf8) { return makeText(utf8, false); }

Value Value::textFromASCII(std::string_view ascii) {
  if (!isASCII(reinterpret_cast<const unsigned char*>(ascii.data()), ascii.size())) return {};
  return makeText(ascii, false);
}

Value Value::textFromLatin1(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size() * 2);
  for (unsigned char c : latin1) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return makeText(out, false);
}

Value Value::literal(std::string_view utf8) {
  if (!isValidUTF8(utf8)) return {};
  return makeText(utf8, true);
}

Value Value::bytes(const void* data, std::size_t length) {
  return Value(Bytes::make(data, length));
}

Value Value::object(Ref<korvel::Object> object) {
  korvel::Object* o = object.detach();
  if (auto* l = dynamic_cast<korvel::List*>(o)) return heap(Tag::List, l);
  if (auto* d = dynamic_cast<korvel::Dictionary*>(o)) return heap(Tag::Dictionary, d);
  if (auto* r = dynamic_cast<korvel::Record*>(o)) return heap(Tag::Record, r);
  if (auto* b = dynamic_cast<korvel::Bytes*>(o)) return heap(Tag::Bytes, b);
  if (auto* t = dynamic_cast<korvel::Date*>(o)) return heap(Tag::Date, t);
  if (auto* x = dynamic_cast<TextObject*>(o)) return heap(Tag::Text, x);
  return heap(Tag::Object, o);
}

Value::Value(Ref<korvel::List> list) : Value(heap(Tag::List, list.detach())) {}
Value::Value(Ref<korvel::Dictionary> d) : Value(heap(Tag::Dictionary, d.detach())) {}
Value::Value(Ref<korvel::Record> r) : Value(heap(Tag::Record, r.detach())) {}
Value::Value(Ref<korvel::Bytes> b) : Value(heap(Tag::Bytes, b.detach())) {}
Value::Value(Ref<korvel::Date> d) : Value(heap(Tag::Date, d.detach())) {}

Kind Value::kind() const noexcept {
  switch (r_.big.tag) {
    case Tag::Empty: return Kind::Empty;
    case Tag::Null: return Kind::Null;
    case Tag::Boolean: return Kind::Boolean;
    case Tag::Int32: return Kind::Int32;
    case Tag::Int64: return Kind::Int64;
    case Tag::Float: return Kind::Float;
    case Tag::Double: return Kind::Double;
    case Tag::SmallText:
    case Tag::Text: return Kind::Text;
    case Tag::SmallLiteral:
    case Tag::Literal: return Kind::Literal;
    case Tag::Bytes: return Kind::Bytes;
    case Tag::Date: return Kind::Date;
    case Tag::List: return Kind::List;
    case Tag::Dictionary: return Kind::Dictionary;
    case Tag::Record: return Kind::Record;
    case Tag::Object: return Kind::Object;
  }
  return Kind::Empty;
}

bool Value::isNumber() const noexcept {
  return r_.big.tag >= Tag::Boolean && r_.big.tag <= Tag::Double;
}
bool Value::isText() const noexcept {
  Tag t = r_.big.tag;
  return t == Tag::SmallText || t == Tag::SmallLiteral || t == Tag::Text || t == Tag::Literal;
}
bool Value::isLiteral() const noexcept {
  return r_.big.tag == Tag::SmallLiteral || r_.big.tag == Tag::Literal;
}

bool Value::asBool() const noexcept { return asDouble() != 0; }

std::int64_t Value::asInt64() const noexcept {
  switch (r_.big.tag) {
    case Tag::Boolean: return r_.big.b ? 1 : 0;
    case Tag::Int32: return r_.big.i32;
    case Tag::Int64: return r_.big.i64;
    case Tag::Float: return static_cast<std::int64_t>(r_.big.f);
    case Tag::Double: return static_cast<std::int64_t>(r_.big.d);
    default: return 0;
  }
}
std::int32_t Value::asInt32() const noexcept { return static_cast<std::int32_t>(asInt64()); }

double Value::asDouble() const noexcept {
  switch (r_.big.tag) {
    case Tag::Float: return r_.big.f;
    case Tag::Double: return r_.big.d;
    case Tag::Int64: return static_cast<double>(r_.big.i64);
    default: return static_cast<double>(asInt64());
  }
}

std::string_view Value::text() const noexcept {
  switch (r_.big.tag) {
    case Tag::SmallText:
    case Tag::SmallLiteral: return {r_.small.chars, r_.small.length};
    case Tag::Text:
    case Tag::Literal: return static_cast<const TextObject*>(r_.big.obj)->text();
    default: return {};
  }
}

Value Value::plainText() const noexcept {
  Value v(*this);
  if (v.r_.big.tag == Tag::SmallLiteral) v.r_.big.tag = Tag::SmallText;
  else if (v.r_.big.tag == Tag::Literal) v.r_.big.tag = Tag::Text;
  return v;
}

const Bytes* Value::asBytes() const noexcept {
  return r_.big.tag == Tag::Bytes ? static_cast<const Bytes*>(r_.big.obj) : nullptr;
}
const Date* Value::asDate() const noexcept {
  return r_.big.tag == Tag::Date ? static_cast<const Date*>(r_.big.obj) : nullptr;
}
const List* Value::asList() const noexcept {
  return r_.big.tag == Tag::List ? static_cast<const List*>(r_.big.obj) : nullptr;
}
const Dictionary* Value::asDictionary() const noexcept {
  return r_.big.tag == Tag::Dictionary ? static_cast<const Dictionary*>(r_.big.obj) : nullptr;
}
const Record* Value::asRecord() const noexcept {
  return r_.big.tag == Tag::Record ? static_cast<const Record*>(r_.big.obj) : nullptr;
}
const korvel::Object* Value::asObject() const noexcept { return isHeap() ? r_.big.obj : nullptr; }

namespace {
template <class T>
std::string shortest(T v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}
}  // namespace

std::string Value::description() const {
  switch (r_.big.tag) {
    case Tag::Empty: return "(nil)";
    case Tag::Null: return "<null>";
    case Tag::Boolean: return r_.big.b ? "true" : "false";
    case Tag::Int32: return std::to_string(r_.big.i32);
    case Tag::Int64: return std::to_string(r_.big.i64);
    case Tag::Float: return shortest(r_.big.f);
    case Tag::Double: return shortest(r_.big.d);
    case Tag::SmallText:
    case Tag::SmallLiteral: return std::string(text());
    default: return r_.big.obj->description();
  }
}

bool operator==(const Value& a, const Value& b) {
  using Tag = Value::Tag;
  if (a.kind() != b.kind()) return false;
  switch (a.r_.big.tag) {
    case Tag::Empty:
    case Tag::Null: return true;
    case Tag::Boolean: return a.r_.big.b == b.r_.big.b;
    case Tag::Int32: return a.r_.big.i32 == b.r_.big.i32;
    case Tag::Int64: return a.r_.big.i64 == b.r_.big.i64;
    case Tag::Float: return a.r_.big.f == b.r_.big.f;
    case Tag::Double: return a.r_.big.d == b.r_.big.d;
    case Tag::SmallText:
    case Tag::SmallLiteral:
    case Tag::Text:
    case Tag::Literal: return a.text() == b.text();
    default:
      if (a.r_.big.obj == b.r_.big.obj) return true;
      if (typeid(*a.r_.big.obj) != typeid(*b.r_.big.obj)) return false;
      return a.r_.big.obj->equals(*b.r_.big.obj);
  }
}

// ---- Heap kinds -------------------------------------------------------------

namespace {

std::uint32_t checkedLength(std::size_t length, const char* tooLong) {
  if (length > std::numeric_limits<std::uint32_t>::max()) throw std::length_error(tooLong);
  return static_cast<std::uint32_t>(length);
}

// The 32-bit lengths share the 8 bytes after the reference count.
static_assert(sizeof(TextObject) == 16 && sizeof(Bytes) == 16 && sizeof(Record) == 24);

}  // namespace

TextObject* TextObject::make(std::string_view text) {
  const std::uint32_t length = checkedLength(text.size(), "Text longer than 4 GiB");
  void* memory = ::operator new(sizeof(TextObject) + length + 1);
  auto* object = new (memory) TextObject(length);
  char* chars = reinterpret_cast<char*>(object + 1);
  if (!text.empty()) std::memcpy(chars, text.data(), text.size());
  chars[text.size()] = '\0';
  return object;
}

bool TextObject::equals(const Object& other) const {
  return text() == static_cast<const TextObject&>(other).text();
}

Ref<Bytes> Bytes::make(const void* data, std::size_t length) {
  void* memory = ::operator new(sizeof(Bytes) + checkedLength(length, "Byte buffer longer than 4 GiB"));
  auto* object = new (memory) Bytes(static_cast<std::uint32_t>(length));
  if (length) std::memcpy(reinterpret_cast<unsigned char*>(object + 1), data, length);
  return Ref<Bytes>::adopt(object);
}

std::string Bytes::description() const {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length_ + 2);
  out.push_back('<');
  for (unsigned char c : view()) {
    out.push_back(hex[c >> 4]);
    out.push_back(hex[c & 15]);
  }
  out.push_back('>');
  return out;
}
bool Bytes::equals(const Object& other) const { return view() == static_cast<const Bytes&>(other).view(); }

std::string List::description() const {
  std::string out = "(";
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (i) out += ", ";
    out += items_[i].description();
  }
  out += ")";
  return out;
}
bool List::equals(const Object& other) const { return items_ == static_cast<const List&>(other).items_; }

void Dictionary::set(std::string key, Value value) {
  for (auto& e : entries_) {
    if (e.first == key) { e.second = std::move(value); return; }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

const Value& Dictionary::get(std::string_view key) const noexcept {
  static const Value none;
  for (const auto& e : entries_)
    if (e.first == key) return e.second;
  return none;
}
bool Dictionary::contains(std::string_view key) const noexcept {
  for (const auto& e : entries_)
    if (e.first == key) return true;
  return false;
}

std::string Dictionary::description() const {
  std::string out = "{";
  for (const auto& e : entries_) out += e.first + " = " + e.second.description() + "; ";
  out += "}";
  return out;
}

bool Dictionary::equals(const Object& other) const {
  const auto& o = static_cast<const Dictionary&>(other);
  if (o.entries_.size() != entries_.size()) return false;
  for (const auto& e : entries_) {
    if (!o.contains(e.first) || o.get(e.first) != e.second) return false;
  }
  return true;
}

std::ptrdiff_t KeySet::indexOf(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == name) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

std::string KeySet::description() const {
  std::string out = "(";
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (i) out += ", ";
    out += names_[i];
  }
  return out + ")";
}

Ref<Record> Record::make(Value* values, std::size_t count, Ref<KeySet> keys) {
  static_assert(sizeof(Record) % alignof(Value) == 0);
  const std::uint32_t slots32 = checkedLength(count, "Record of more than 2^32 values");
  void* memory = ::operator new(sizeof(Record) + count * sizeof(Value));
  auto* record = new (memory) Record(slots32, std::move(keys));
  Value* slots = record->values();
  for (std::size_t i = 0; i < count; ++i) new (slots + i) Value(std::move(values[i]));
  return Ref<Record>::adopt(record);
}

Record::~Record() {
  Value* slots = values();
  for (std::size_t i = 0; i < count_; ++i) slots[i].~Value();
}

const Value& Record::operator[](std::string_view name) const noexcept {
  static const Value none;
  if (!keys_) return none;
  std::ptrdiff_t i = keys_->indexOf(name);
  return (i < 0 || static_cast<std::size_t>(i) >= count_) ? none : values()[i];
}

std::string Record::description() const {
  std::string out = "{";
  for (std::size_t i = 0; i < count_; ++i) {
    if (i) out += "; ";
    out += (keys_ && i < keys_->size()) ? (*keys_)[i] : std::to_string(i);
    out += " = ";
    out += values()[i].description();
  }
  return out + "}";
}

bool Record::equals(const Object& other) const {
  const auto& o = static_cast<const Record&>(other);
  if (o.count_ != count_) return false;
  if (keys_.get() != o.keys_.get() && (!keys_ || !o.keys_ || keys_->names() != o.keys_->names()))
    return false;
  for (std::size_t i = 0; i < count_; ++i)
    if (values()[i] != o.values()[i]) return false;
  return true;
}

// ---- Record and list types ----------------------------------------------------

Value RecordType::newWithValues(Value* values, const Ref<KeySet>& keys) const {
  std::vector<Value> names;
  names.reserve(keys->size());
  for (const auto& k : keys->names()) names.push_back(Value::textUnchecked(k));
  return newWithValues(values, names.data(), static_cast<std::uint32_t>(names.size()));
}

Ref<KeySet> RecordType::keysOf(const Value&) const { return {}; }

Value DefaultRecordType::newWithValues(Value* values, const Value* keys, std::uint32_t count) const {
  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) names.emplace_back(keys[i].text());
  return Value(Record::make(values, count, makeRef<KeySet>(std::move(names))));
}

Value DefaultRecordType::newWithValues(Value* values, const Ref<KeySet>& keys) const {
  return Value(Record::make(values, keys->size(), keys));
}

Ref<KeySet> DefaultRecordType::keysOf(const Value& record) const {
  const Record* r = record.asRecord();
  return r ? r->keys() : Ref<KeySet>();
}

const RecordType& defaultRecordType() {
  static const DefaultRecordType type;
  return type;
}

Ref<List> ListType::newList(std::size_t capacityHint) const { return makeRef<List>(capacityHint); }

const ListType& defaultListType() {
  static const ListType type;
  return type;
}

Value KorvelNewLiteral(const char* bytes, std::size_t length) {
  return Value::literal(std::string_view(bytes, length));
}

Value KorvelUnProxyLiteral(const Value& value) { return value.plainText(); }

}  // namespace korvel
