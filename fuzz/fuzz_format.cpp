// Message formatting: the input is a template (after two control bytes) for the positional
// formatter and the named-template filler, over a fixed argument list of every kind.
//   byte 0: how many of the arguments are passed (the rest of the list is cut off)
//   byte 1: the size of the output buffer given to FormatTo
// FormatTo must stay inside its buffer, end the text with a NUL and give a prefix of what
// FormatV builds for the same template.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "foundation/format.h"
#include "fuzz/detail/check.h"

namespace {

const std::string& Utf8Text() {
  static const std::string text = "caf\xC3\xA9 \xE2\x82\xAC";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const qor::FormatArg args[] = {
      qor::FormatArg(true),
      qor::FormatArg('x'),
      qor::FormatArg(-42),
      qor::FormatArg(std::numeric_limits<long long>::min()),
      qor::FormatArg(std::numeric_limits<unsigned long long>::max()),
      qor::FormatArg(2.5),
      qor::FormatArg(std::numeric_limits<double>::quiet_NaN()),
      qor::FormatArg("text"),
      qor::FormatArg(static_cast<const char*>(nullptr)),
      qor::FormatArg(Utf8Text()),
      qor::FormatArg(-0.0f),
      qor::FormatArg(std::numeric_limits<double>::infinity()),
  };
  constexpr std::size_t kArgCount = sizeof(args) / sizeof(args[0]);
  const std::span<const qor::FormatArg> list(args, data[0] % (kArgCount + 1));
  const std::size_t bufferSize = data[1];
  const std::string_view tmpl(reinterpret_cast<const char*>(data + 2), size - 2);

  const std::string full = qor::FormatV(tmpl, list);

  // Exactly `bufferSize` bytes, so that AddressSanitizer sees any write past the end.
  std::unique_ptr<char[]> buffer(new char[bufferSize]);
  const std::size_t written = qor::FormatTo(buffer.get(), bufferSize, tmpl, list);
  if (bufferSize == 0) {
    QOR_FUZZ_CHECK(written == 0, "wrote into an empty buffer");
  } else {
    QOR_FUZZ_CHECK(written < bufferSize, "length " + std::to_string(written));
    QOR_FUZZ_CHECK(buffer[written] == '\0', "no NUL after the text");
    QOR_FUZZ_CHECK(
        full.compare(0, written, buffer.get(), written) == 0,
        "FormatTo gave '" + std::string(buffer.get(), written) + "', FormatV '" + full + "'");
  }

  const qor::NamedText named = qor::FillNamedV(tmpl, list);
  for (const qor::NamedField& field : named.fields) {
    QOR_FUZZ_CHECK(!field.name.empty(), "a field without a name in " + named.text);
  }
  return 0;
}
