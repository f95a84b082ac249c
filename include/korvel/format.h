// The message formatter.
//
// Messages use printf-style formats with one addition, %@, which takes any
// value's text form: a Value, a text, an exception (its description), an
// optional text ("(nil)" when absent) or anything else that has a
// description(). The other directives follow C's printf:
//   %s        a NUL-terminated byte string (also a std::string or view);
//             with a precision, at most that many bytes are read, so %.*s and
//             %*.*s are safe on bytes that are not NUL-terminated
//   %d %i %u %x %X %o %c  integers (length modifiers l, ll, z, h are accepted
//             and ignored: every integer argument is taken at its full width)
//   %f %g %e  floating point
//   %%        a percent sign
// Flags, widths and precisions work as in printf, * included. A directive
// without a matching argument writes nothing; surplus arguments are ignored.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "korvel/exception.h"
#include "korvel/value.h"

namespace korvel {

class FormatArg {
 public:
  enum class Type { Signed, Unsigned, Floating, CString, View, Described };

  template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
  FormatArg(T v) : type_(Type::Signed) { u_.i = v; }
  template <class T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> &&
                                          !std::is_same_v<T, bool>, int> = 0>
  FormatArg(T v) : type_(Type::Unsigned) { u_.u = v; }
  FormatArg(bool v) : type_(Type::View) { view_ = v ? "true" : "false"; }
  FormatArg(double v) : type_(Type::Floating) { u_.d = v; }
  FormatArg(const char* s) : type_(Type::CString) { u_.s = s; }
  FormatArg(const std::string& s) : type_(Type::View), view_(s) {}
  FormatArg(std::string_view s) : type_(Type::View), view_(s) {}
  FormatArg(const std::optional<std::string>& s)
      : type_(Type::View), view_(s ? std::string_view(*s) : std::string_view("(nil)")) {}
  FormatArg(const Value& v) : type_(Type::Described) { owned_ = v.description(); view_ = owned_; }
  FormatArg(const Exception& e) : type_(Type::Described) { owned_ = e.description(); view_ = owned_; }
  template <class T>
  FormatArg(const Ref<T>& r) : type_(Type::Described) {
    owned_ = r ? r->description() : std::string("(nil)");
    view_ = owned_;
  }
  FormatArg(const FormatArg&) = delete;

  Type type() const noexcept { return type_; }
  std::int64_t asSigned() const noexcept;
  std::uint64_t asUnsigned() const noexcept;
  double asDouble() const noexcept;
  // The text for %@ and %s; for a C string, the bytes up to its NUL.
  std::string_view asText() const noexcept;
  // The C string for %s with a precision (read at most `limit` bytes).
  std::string_view asText(std::size_t limit) const noexcept;

 private:
  Type type_;
  union {
    std::int64_t i;
    std::uint64_t u;
    double d;
    const char* s;
  } u_{};
  std::string_view view_;
  std::string owned_;
};

// Formats a message from a format and its arguments.
std::string formatMessage(std::string_view format, std::initializer_list<const FormatArg*> args);

template <class... A>
std::string format(std::string_view fmt, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    return formatMessage(fmt, {});
  } else {
    return [&](const auto&... wrapped) { return formatMessage(fmt, {&wrapped...}); }(FormatArg(args)...);
  }
}

}  // namespace korvel
