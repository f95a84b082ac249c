#include "korvel/format.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace korvel {

std::int64_t FormatArg::asSigned() const noexcept {
  switch (type_) {
    case Type::Signed: return u_.i;
    case Type::Unsigned: return static_cast<std::int64_t>(u_.u);
    case Type::Floating: return static_cast<std::int64_t>(u_.d);
    default: return 0;
  }
}

std::uint64_t FormatArg::asUnsigned() const noexcept {
  return type_ == Type::Unsigned ? u_.u : static_cast<std::uint64_t>(asSigned());
}

double FormatArg::asDouble() const noexcept {
  switch (type_) {
    case Type::Floating: return u_.d;
    case Type::Signed: return static_cast<double>(u_.i);
    case Type::Unsigned: return static_cast<double>(u_.u);
    default: return 0;
  }
}

std::string_view FormatArg::asText() const noexcept {
  switch (type_) {
    case Type::CString: return u_.s ? std::string_view(u_.s) : std::string_view("(null)");
    case Type::View:
    case Type::Described: return view_;
    default: return {};
  }
}

std::string_view FormatArg::asText(std::size_t limit) const noexcept {
  if (type_ == Type::CString) {
    if (!u_.s) return "(null)";
    // Bounded search: the bytes need not be NUL-terminated within `limit`.
    const void* nul = std::memchr(u_.s, 0, limit);
    return {u_.s, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - u_.s) : limit};
  }
  std::string_view t = asText();
  return t.substr(0, limit);
}

namespace {

struct Placeholder {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conversion = 0;
};

void pad(std::string& out, std::string_view body, const Placeholder& placeholder) {
  std::size_t width = placeholder.width > 0 ? static_cast<std::size_t>(placeholder.width) : 0;
  bool left = placeholder.flags.find('-') != std::string::npos;
  std::size_t fill = body.size() < width ? width - body.size() : 0;
  if (!left) out.append(fill, ' ');
  out.append(body);
  if (left) out.append(fill, ' ');
}

// Numeric conversions are handed to snprintf with a rebuilt directive, so
// that flags, widths and precisions behave exactly as in C.
void formatNumber(std::string& out, const Placeholder& placeholder, const FormatArg& arg) {
  std::string directive(1, '%');
  directive += placeholder.flags;
  if (placeholder.width >= 0) directive += std::to_string(placeholder.width);
  if (placeholder.precision >= 0) {
    directive += '.';
    directive += std::to_string(placeholder.precision);
  }
  char buf[512];
  int n = 0;
  switch (placeholder.conversion) {
    case 'd':
    case 'i':
      directive += "lld";
      n = std::snprintf(buf, sizeof buf, directive.c_str(), static_cast<long long>(arg.asSigned()));
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      directive += "ll";
      directive += placeholder.conversion;
      n = std::snprintf(buf, sizeof buf, directive.c_str(), static_cast<unsigned long long>(arg.asUnsigned()));
      break;
    case 'c':
      directive += 'c';
      n = std::snprintf(buf, sizeof buf, directive.c_str(), static_cast<int>(arg.asSigned()));
      break;
    default:  // f F e E g G a A
      directive += placeholder.conversion;
      n = std::snprintf(buf, sizeof buf, directive.c_str(), arg.asDouble());
      break;
  }
  if (n > 0) out.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

}  // namespace

std::string formatMessage(std::string_view fmt, std::initializer_list<const FormatArg*> args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  auto next = args.begin();
  auto take = [&]() -> const FormatArg* { return next == args.end() ? nullptr : *next++; };
  std::size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i++];
    if (c != '%') { out.push_back(c); continue; }
    if (i >= fmt.size()) { out.push_back('%'); break; }
    if (fmt[i] == '%') { out.push_back('%'); ++i; continue; }
    Placeholder placeholder;
    while (i < fmt.size() && std::strchr("-+ #0", fmt[i])) placeholder.flags.push_back(fmt[i++]);
    if (i < fmt.size() && fmt[i] == '*') {
      ++i;
      if (const FormatArg* a = take()) {
        long long w = a->asSigned();
        if (w < 0) { placeholder.flags.push_back('-'); w = -w; }
        placeholder.width = static_cast<int>(std::min(w, 4096LL));
      }
    } else {
      int w = 0;
      bool any = false;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') { w = std::min(w * 10 + (fmt[i++] - '0'), 4096); any = true; }
      if (any) placeholder.width = w;
    }
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      placeholder.precision = 0;
      if (i < fmt.size() && fmt[i] == '*') {
        ++i;
        if (const FormatArg* a = take()) {
          long long p = a->asSigned();
          placeholder.precision = p < 0 ? -1 : static_cast<int>(std::min(p, 1LL << 30));
        }
      } else {
        int p = 0;
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') p = std::min(p * 10 + (fmt[i++] - '0'), 1 << 30);
        placeholder.precision = p;
      }
    }
    while (i < fmt.size() && std::strchr("hlqjztL", fmt[i])) ++i;
    if (i >= fmt.size()) break;
    placeholder.conversion = fmt[i++];
    const FormatArg* arg = take();
    if (!arg) continue;
    switch (placeholder.conversion) {
      case '@':
        pad(out, arg->asText(), placeholder);
        break;
      case 's':
        pad(out, placeholder.precision >= 0 ? arg->asText(static_cast<std::size_t>(placeholder.precision)) : arg->asText(), placeholder);
        break;
      case 'p': {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(arg->asUnsigned()));
        pad(out, buf, placeholder);
        break;
      }
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        if (arg->type() == FormatArg::Type::View || arg->type() == FormatArg::Type::Described ||
            arg->type() == FormatArg::Type::CString) {
          pad(out, arg->asText(), placeholder);  // a text where a number was asked: show it as it is
        } else {
          formatNumber(out, placeholder, *arg);
        }
        break;
      default:
        out.push_back('%');
        out.push_back(placeholder.conversion);
        break;
    }
  }
  return out;
}

}  // namespace korvel
