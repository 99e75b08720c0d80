// Temporary stubs while the implementation lands.
#include <cstdlib>
#include <cstring>

#include "foundation/fatal.h"
#include "foundation/format.h"
#include "foundation/log.h"

namespace qor {
FormatArg::FormatArg(const char* text) : type_(Type::Text), text_(text ? text : "(null)") {
  size_ = std::strlen(text_);
}
int64_t FormatArg::AsSigned() const {
  return signed_;
}
uint64_t FormatArg::AsUnsigned() const {
  return unsigned_;
}
double FormatArg::AsDouble() const {
  return real_;
}
std::string_view FormatArg::Letters() const {
  return "s";
}
size_t FormatTo(char* out, size_t size, std::string_view tmpl, std::span<const FormatArg>) {
  if (size == 0) return 0;
  size_t n = std::min(size - 1, tmpl.size());
  std::memcpy(out, tmpl.data(), n);
  out[n] = 0;
  return n;
}
std::string FormatV(std::string_view tmpl, std::span<const FormatArg>) {
  return std::string(tmpl);
}
NamedText FillNamedV(std::string_view tmpl, std::span<const FormatArg>) {
  return {std::string(tmpl), {}};
}
void LogV(LogLevel, uint64_t, std::string_view, std::span<const FormatArg>) {}
std::string BuildFatalReport(std::string_view, std::string_view, std::string_view, int,
                             std::string_view) {
  return {};
}
void Fatal(std::string_view, std::string_view, std::string_view, int, std::string_view) {}
void FatalAbort(std::string_view, std::string_view, std::string_view, int, std::string_view) {
  std::abort();
}
void FatalExit(std::string_view) {
  std::abort();
}
}  // namespace qor
