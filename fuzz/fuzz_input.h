// Hands a fuzz input to a decoder in a heap block of exactly the input's
// size, so that AddressSanitizer reports any read past it. libpq puts a NUL
// after every field value; `withNul` adds one for a harness that wants the
// caller's guarantee, but the decoders rely on the length alone, so the
// harnesses here leave it out: the stricter test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace korvel::fuzz {

class FieldBuffer {
 public:
  FieldBuffer(const std::uint8_t* data, std::size_t size, bool withNul)
      : bytes_(new char[size + (withNul ? 1 : 0)]), size_(size) {
    if (size) std::memcpy(bytes_.get(), data, size);
    if (withNul) bytes_[size] = '\0';
  }
  const char* data() const noexcept { return bytes_.get(); }
  std::size_t size() const noexcept { return size_; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

}  // namespace korvel::fuzz
