// Korvel values: the immutable, cheaply shared values that records, lists,
// messages and notifications are made of.
//
// A `Value` is a 16-byte handle. Numbers, booleans, the null marker and texts
// of up to 14 bytes live inside the handle; every other kind lives in a
// reference-counted heap object that copies of the handle share. Copying a
// Value never copies text or bytes, so several records may hold the same
// value at no cost.
//
// Thread-safety: a Value, and everything it refers to, is immutable once it
// has been handed to anyone else; reference counts are atomic, so values may
// be read and copied from several threads at once. The builders (List,
// Dictionary) may be changed only by the one owner that is filling them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel {

// The kinds a Value can hold. `Empty` is "no value": an unset record slot or a
// decoder that gave nothing. `Null` is the process-wide null marker standing
// for SQL NULL. The two are distinct on purpose.
enum class Kind : std::uint8_t {
  Empty,
  Null,
  Boolean,
  Int32,
  Int64,
  Float,
  Double,
  Text,     // UTF-8 text
  Literal,  // text to be written into SQL as it stands (see KorvelNewLiteral)
  Bytes,
  Date,
  List,
  Dictionary,
  Record,
  Object,   // any other Object subclass (notifications, caller-defined records)
};

const char* kindName(Kind kind);

// Base of every heap-held value. Reference counted; never copied.
class Object {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  // The text form used by the %@ placeholder of messages.
  virtual std::string description() const = 0;
  // Deep equality with another object of the same dynamic type.
  virtual bool equals(const Object& other) const;

  void retain() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  std::uint32_t useCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

 private:
  mutable std::atomic<std::uint32_t> refs_{1};
};

// Intrusive counted reference to an Object subclass. A default Ref is empty.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over one reference that the caller holds (as `new T` gives).
  static Ref adopt(T* object) noexcept { Ref r; r.p_ = object; return r; }
  // Shares the object, adding a reference.
  static Ref share(T* object) noexcept { if (object) object->retain(); return adopt(object); }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(const Ref<U>& o) noexcept : p_(o.get()) { if (p_) p_->retain(); }
  Ref(const Ref& o) noexcept : p_(o.p_) { if (p_) p_->retain(); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
  ~Ref() { if (p_) p_->release(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* detach() noexcept { return std::exchange(p_, nullptr); }

  // A Ref to a list is itself a range, so that
  //   for (const Value& row : client.query("..."))
  // keeps the list alive for the whole loop (`*client.query(...)` would not).
  template <class U = T>
  auto begin() const -> decltype(std::declval<const U&>().begin()) { return p_->begin(); }
  template <class U = T>
  auto end() const -> decltype(std::declval<const U&>().end()) { return p_->end(); }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
Ref<T> makeRef(A&&... args) { return Ref<T>::adopt(new T(std::forward<A>(args)...)); }

class List;
class Dictionary;
class Record;
class Bytes;
class Date;

class Value {
 public:
  // An empty value: "nothing".
  Value() noexcept { r_.big.tag = Tag::Empty; }
  Value(const Value& o) noexcept : r_(o.r_) { if (isHeap()) r_.big.obj->retain(); }
  Value(Value&& o) noexcept : r_(o.r_) { o.r_.big.tag = Tag::Empty; }
  Value& operator=(const Value& o) noexcept { Value t(o); swap(t); return *this; }
  Value& operator=(Value&& o) noexcept { Value t(std::move(o)); swap(t); return *this; }
  ~Value() { if (isHeap()) r_.big.obj->release(); }
  void swap(Value& o) noexcept { std::swap(r_, o.r_); }

  // Factories. Numbers keep the kind they are made with.
  static Value null() noexcept;  // the null marker
  static Value boolean(bool b) noexcept;
  static Value int32(std::int32_t v) noexcept;
  static Value int64(std::int64_t v) noexcept;
  static Value float32(float v) noexcept;
  static Value float64(double v) noexcept;
  // Text from UTF-8 bytes; bytes that are not valid UTF-8 give an empty Value.
  static Value text(std::string_view utf8);
  // Text from bytes the caller has already checked to be valid UTF-8.
  static Value textUnchecked(std::string_view utf8);
  // Text from ASCII bytes; any byte above 127 gives an empty Value.
  static Value textFromASCII(std::string_view ascii);
  // Text from 8-bit bytes read as ISO-8859-1; never fails.
  static Value textFromLatin1(std::string_view latin1);
  // Literal text: bytes that stand in SQL as they are. Must be valid UTF-8;
  // otherwise an empty Value.
  static Value literal(std::string_view utf8);
  static Value bytes(const void* data, std::size_t length);
  static Value bytes(std::string_view data) { return bytes(data.data(), data.size()); }
  // Wraps a heap object; the Value shares it.
  static Value object(Ref<Object> object);
  Value(Ref<List> list);
  Value(Ref<Dictionary> dictionary);
  Value(Ref<Record> record);
  Value(Ref<Bytes> bytes);
  Value(Ref<Date> date);

  Kind kind() const noexcept;
  bool isEmpty() const noexcept { return r_.big.tag == Tag::Empty; }
  bool isNull() const noexcept { return r_.big.tag == Tag::Null; }
  // True for Boolean, Int32, Int64, Float and Double.
  bool isNumber() const noexcept;
  bool isText() const noexcept;  // Text or Literal
  bool isLiteral() const noexcept;
  explicit operator bool() const noexcept { return !isEmpty(); }

  // Accessors. The number accessors convert between number kinds (a boolean
  // is 0 or 1) and give 0 for anything that is not a number.
  bool asBool() const noexcept;
  std::int32_t asInt32() const noexcept;
  std::int64_t asInt64() const noexcept;
  double asDouble() const noexcept;
  // The UTF-8 bytes of a Text or Literal; an empty view for other kinds.
  // Valid as long as this Value (or a copy of it) lives.
  std::string_view text() const noexcept;
  // A literal as plain text, sharing its storage; any other value as it is.
  Value plainText() const noexcept;
  // Typed views of heap kinds, or nullptr when the kind differs.
  const Bytes* asBytes() const noexcept;
  const Date* asDate() const noexcept;
  const List* asList() const noexcept;
  const Dictionary* asDictionary() const noexcept;
  const Record* asRecord() const noexcept;
  // The heap object behind any heap kind, or nullptr.
  const Object* asObject() const noexcept;
  template <class T>
  const T* as() const noexcept { return dynamic_cast<const T*>(asObject()); }

  // The text form for %@: texts as they are, numbers in their shortest exact
  // decimal form, booleans "true"/"false", the null marker "<null>", nothing
  // "(nil)", byte buffers "<00abff>", dates through their calendar format,
  // lists "(a, b)", dictionaries and records "{key = value; ...}".
  std::string description() const;

  // Deep equality: same kind and same contents. Number kinds are not mixed:
  // int32(1) != int64(1). Shared objects compare equal at once.
  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

 private:
  enum class Tag : std::uint8_t {
    Empty, Null, Boolean, Int32, Int64, Float, Double, SmallText, SmallLiteral,
    // Tags from here on hold a heap object.
    Text, Literal, Bytes, Date, List, Dictionary, Record, Object,
  };
  static constexpr std::size_t kSmallCapacity = 14;
  union Repr {
    struct {
      Tag tag;
      std::uint8_t length;
      char chars[kSmallCapacity];
    } small;
    struct {
      Tag tag;
      std::uint8_t pad[7];
      union {
        bool b;
        std::int32_t i32;
        std::int64_t i64;
        float f;
        double d;
        const korvel::Object* obj;
      };
    } big;
  } r_;
  static_assert(sizeof(Repr) == 16);

  bool isHeap() const noexcept { return r_.big.tag >= Tag::Text; }
  static Value heap(Tag tag, const korvel::Object* adopted) noexcept;
  static Value makeText(std::string_view bytes, bool literal);
};

static_assert(sizeof(Value) == 16);

// Heap storage of a long text or literal: the bytes follow the object in the
// same allocation, with a NUL after them. The length is held in 32 bits, in
// the object header's padding (4 GiB less one byte is the most any of the
// engines stores in one field); a longer text raises std::length_error.
class TextObject final : public Object {
 public:
  static TextObject* make(std::string_view text);
  std::string description() const override { return std::string(text()); }
  bool equals(const Object& other) const override;
  std::string_view text() const noexcept { return {chars(), length_}; }
  static void operator delete(void* p) { ::operator delete(p); }

 private:
  explicit TextObject(std::uint32_t length) : length_(length) {}
  const char* chars() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::uint32_t length_;
};

// An owned run of bytes, kept in the same allocation as the object; at most
// 4 GiB less one byte, as for texts (longer raises std::length_error).
class Bytes final : public Object {
 public:
  static Ref<Bytes> make(const void* data, std::size_t length);
  const std::uint8_t* data() const noexcept { return reinterpret_cast<const std::uint8_t*>(this + 1); }
  std::size_t length() const noexcept { return length_; }
  std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data()), length_}; }
  std::string description() const override;  // "<00abff>"
  bool equals(const Object& other) const override;
  static void operator delete(void* p) { ::operator delete(p); }

 private:
  explicit Bytes(std::uint32_t length) : length_(length) {}
  std::uint32_t length_;
};

// Ordered, growable list. Filled by its owner, then shared read-only.
// Subclasses (a caller's list type) may override append to observe rows.
class List : public Object {
 public:
  List() = default;
  explicit List(std::size_t capacityHint) { items_.reserve(capacityHint); }
  explicit List(std::vector<Value> items) : items_(std::move(items)) {}
  virtual void append(Value v) { items_.push_back(std::move(v)); }
  void reserve(std::size_t n) { items_.reserve(n); }
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  const Value& operator[](std::size_t i) const { return items_[i]; }
  const std::vector<Value>& items() const noexcept { return items_; }
  auto begin() const noexcept { return items_.begin(); }
  auto end() const noexcept { return items_.end(); }
  void clear() noexcept { items_.clear(); }
  std::string description() const override;
  bool equals(const Object& other) const override;

 protected:
  std::vector<Value> items_;
};

// Dictionary with text keys, in insertion order. Setting an existing key
// replaces its value. Filled by its owner, then shared read-only.
class Dictionary final : public Object {
 public:
  Dictionary() = default;
  explicit Dictionary(std::size_t capacityHint) { entries_.reserve(capacityHint); }
  void set(std::string key, Value value);
  // The value under key, or an empty Value.
  const Value& get(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept;
  std::size_t size() const noexcept { return entries_.size(); }
  const std::vector<std::pair<std::string, Value>>& entries() const noexcept { return entries_; }
  std::string description() const override;
  bool equals(const Object& other) const override;

 private:
  std::vector<std::pair<std::string, Value>> entries_;
};

// The column names of a result, shared by all records of one query.
class KeySet final : public Object {
 public:
  explicit KeySet(std::vector<std::string> names) : names_(std::move(names)) {}
  std::size_t size() const noexcept { return names_.size(); }
  const std::string& operator[](std::size_t i) const { return names_[i]; }
  const std::vector<std::string>& names() const noexcept { return names_; }
  // Index of the first column with this name, or -1.
  std::ptrdiff_t indexOf(std::string_view name) const noexcept;
  std::string description() const override;

 private:
  std::vector<std::string> names_;
};

// One result row: values in column order and the query's shared key set.
// A slot may hold an empty Value (no value), which differs from the null
// marker. Records are immutable once made.
class Record final : public Object {
 public:
  // Moves `count` values out of `values` (which must have at least
  // keys->size() entries when count exceeds it, extra keys are not made up:
  // a slot without a key is reachable by index only).
  static Ref<Record> make(Value* values, std::size_t count, Ref<KeySet> keys);
  ~Record() override;

  std::size_t size() const noexcept { return count_; }
  const Value& operator[](std::size_t i) const noexcept { return values()[i]; }
  // The value of the first column of that name, or an empty Value.
  const Value& operator[](std::string_view name) const noexcept;
  const Value& at(std::string_view name) const noexcept { return (*this)[name]; }
  const Ref<KeySet>& keys() const noexcept { return keys_; }
  const Value* begin() const noexcept { return values(); }
  const Value* end() const noexcept { return values() + count_; }
  std::string description() const override;
  bool equals(const Object& other) const override;

  static void operator delete(void* p) { ::operator delete(p); }

 private:
  Record(std::uint32_t count, Ref<KeySet> keys) : count_(count), keys_(std::move(keys)) {}
  Value* values() noexcept { return reinterpret_cast<Value*>(this + 1); }
  const Value* values() const noexcept { return reinterpret_cast<const Value*>(this + 1); }
  // 32 bits fit in the object header's padding, which keeps every record of
  // a query 8 bytes smaller; no engine gives that many columns.
  std::uint32_t count_;
  Ref<KeySet> keys_;
};

// Makes the records of a query. The backend calls the three-argument form
// for the first row; if keysOf then answers a key set for that record, later
// rows are made with the two-argument form and that key set, so that column
// names are converted once per query.
class RecordType {
 public:
  virtual ~RecordType() = default;
  // A new record from `count` values (moved from; a slot may be empty) and
  // `count` column names (texts).
  virtual Value newWithValues(Value* values, const Value* keys, std::uint32_t count) const = 0;
  // A new record sharing a key set that keysOf gave for an earlier record.
  virtual Value newWithValues(Value* values, const Ref<KeySet>& keys) const;
  // The key set of a record this type made, or an empty Ref when the type
  // does not share keys.
  virtual Ref<KeySet> keysOf(const Value& record) const;
};

// The default record type: makes `Record`s and shares their key set.
class DefaultRecordType final : public RecordType {
 public:
  Value newWithValues(Value* values, const Value* keys, std::uint32_t count) const override;
  Value newWithValues(Value* values, const Ref<KeySet>& keys) const override;
  Ref<KeySet> keysOf(const Value& record) const override;
};
const RecordType& defaultRecordType();

// Makes the list that a query fills with its records.
class ListType {
 public:
  virtual ~ListType() = default;
  virtual Ref<List> newList(std::size_t capacityHint) const;
};
const ListType& defaultListType();

// Literal texts: what the PostgreSQL backend gives for numbers, so that they
// keep their exact digits. KorvelNewLiteral makes one from UTF-8 bytes (an
// empty Value when the bytes are not valid UTF-8); KorvelUnProxyLiteral gives
// the plain text behind a literal, and any other value unchanged.
Value KorvelNewLiteral(const char* bytes, std::size_t length);
Value KorvelUnProxyLiteral(const Value& value);

// True when the bytes are valid UTF-8 (no overlong forms, no surrogates).
bool isValidUTF8(std::string_view bytes) noexcept;

}  // namespace korvel
