// InternedString: one entry of a tree's string table (see binding/detail/context.h), defined
// apart so that BindingProperty can read texts inline.
#pragma once

#include <cstdint>
#include <string_view>

namespace qor::detail {

struct InternedString {
  std::uint32_t hash;  // FNV-1a over the bytes
  std::uint32_t references;
  std::uint32_t length;
  // followed by `length` bytes and a NUL

  const char* Data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* Data() noexcept { return reinterpret_cast<char*>(this + 1); }
  std::string_view Text() const noexcept { return {Data(), length}; }
};

}  // namespace qor::detail
