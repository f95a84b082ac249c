#include <cstring>

#include "korvel/exception.h"
#include "korvel/format.h"
#include "pg_values.h"

namespace korvel::pg {
namespace {

// Printable ASCII other than the apostrophe and the backslash stands in the
// E'...' constant as it is; everything else needs an escape.
inline bool isPlain(std::uint8_t b) noexcept { return b >= 32 && b <= 126 && b != '\'' && b != '\\'; }

// The value of one hex digit by a single comparison: digits below ':' and
// lowercase letters above. Other characters give some value; the server only
// sends 0-9 and a-f, and nothing here may fail.
inline unsigned hexValue(unsigned char c) noexcept { return c < ':' ? c - 48u : c - 87u; }

// The length of the text up to its NUL, if one comes before `length`.
inline std::size_t textLength(const char* text, std::size_t length) noexcept {
  const void* nul = std::memchr(text, '\0', length);
  return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : length;
}

// One step of the escape form at position i of n characters: how many
// characters it takes. A backslash needs three more characters for an octal
// escape; with fewer left it stands for itself, so no step reads past n.
inline std::size_t escapeStep(const char* text, std::size_t i, std::size_t n) noexcept {
  if (text[i] != '\\') return 1;
  if (i + 1 < n && text[i + 1] == '\\') return 2;
  if (i + 3 < n) return 4;
  return 1;
}

// A byte buffer of `count` bytes whose contents the caller fills at once.
// Bytes::make copies from a source, and the first `count` bytes of the text
// itself are a valid source (count never exceeds the text's length); the
// copy is overwritten right after, so the buffer is allocated once, at its
// final size. The object is not shared until returned, so writing through
// the pointer is sound.
inline Ref<Bytes> makeBuffer(const char* text, std::size_t count, std::uint8_t*& data) {
  Ref<Bytes> blob = Bytes::make(text, count);
  data = const_cast<std::uint8_t*>(blob->data());
  return blob;
}

Value decodeHex(const char* text, std::size_t n) {
  const std::size_t count = (n - 2) / 2;
  std::uint8_t* out;
  Ref<Bytes> blob = makeBuffer(text, count, out);
  const auto* in = reinterpret_cast<const unsigned char*>(text) + 2;
  for (std::size_t k = 0; k < count; ++k, in += 2)
    out[k] = static_cast<std::uint8_t>(16u * hexValue(in[0]) + hexValue(in[1]));
  return Value(std::move(blob));
}

Value decodeEscaped(const char* text, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; i += escapeStep(text, i, n)) ++count;
  std::uint8_t* out;
  Ref<Bytes> blob = makeBuffer(text, count, out);
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  for (std::size_t i = 0; i < n;) {
    const std::size_t step = escapeStep(text, i, n);
    if (step == 4)
      *out++ = static_cast<std::uint8_t>(64u * (in[i + 1] - 48u) + 8u * (in[i + 2] - 48u) + (in[i + 3] - 48u));
    else
      *out++ = in[i];  // a plain character, or the first of a doubled backslash
    i += step;
  }
  return Value(std::move(blob));
}

}  // namespace

std::uint32_t lengthOfEscapedBLOB(const Bytes& blob) {
  std::uint64_t length = 3;
  const std::uint8_t* bytes = blob.data();
  for (std::size_t i = 0, n = blob.length(); i < n; ++i) {
    const std::uint8_t b = bytes[i];
    length += isPlain(b) ? 1 : (b == '\\' ? 4 : 5);
  }
  // A count that wrapped would have the caller allocate too little for
  // copyEscapedBLOB.
  if (length > UINT32_MAX)
    throw InvalidArgumentException(format("Byte buffer of %u bytes is too long for a bytea literal",
                                          static_cast<unsigned long long>(blob.length())));
  return static_cast<std::uint32_t>(length);
}

std::uint32_t copyEscapedBLOB(const Bytes& blob, char* into) noexcept {
  char* out = into;
  *out++ = 'E';
  *out++ = '\'';
  const std::uint8_t* bytes = blob.data();
  for (std::size_t i = 0, n = blob.length(); i < n; ++i) {
    const std::uint8_t b = bytes[i];
    if (isPlain(b)) {
      *out++ = static_cast<char>(b);
    } else if (b == '\\') {
      std::memcpy(out, "\\\\\\\\", 4);
      out += 4;
    } else {
      out[0] = '\\';
      out[1] = '\\';
      out[2] = static_cast<char>('0' + (b >> 6));
      out[3] = static_cast<char>('0' + ((b >> 3) & 7));
      out[4] = static_cast<char>('0' + (b & 7));
      out += 5;
    }
  }
  *out++ = '\'';
  return static_cast<std::uint32_t>(out - into);
}

Value dataFromBLOB(const char* text, std::size_t length) {
  if (text == nullptr) return Value(Bytes::make(nullptr, 0));
  const std::size_t n = textLength(text, length);
  if (n == 0) return Value(Bytes::make(nullptr, 0));
  if (n >= 2 && text[0] == '\\' && text[1] == 'x') return decodeHex(text, n);
  return decodeEscaped(text, n);
}

Value dataFromBLOB(const char* text) { return dataFromBLOB(text, text ? std::strlen(text) : 0); }

}  // namespace korvel::pg
