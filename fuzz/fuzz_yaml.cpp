// YAML reader: read the input as one document. A failure carries a message; a success writes
// as JSON that parses again, and the NUL-terminated reading agrees with the sized one on
// inputs without a NUL byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "binding/json.h"
#include "binding/yaml.h"
#include "fuzz/detail/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = qor::ParseYaml(text);
  if (parsed.Failed()) {
    QOR_FUZZ_CHECK(!parsed.ErrorMessage().empty(), "a failure without a message");
  } else {
    const std::string written = qor::WriteJson(*parsed);
    auto again = qor::ParseJson(std::string_view(written));
    QOR_FUZZ_CHECK(again.Succeeded(), std::string(again.ErrorMessage()) + " in " + written);
  }

  if (std::memchr(text.data(), 0, text.size()) == nullptr) {
    const std::string terminated(text);
    auto byPointer = qor::ParseYaml(terminated.c_str());
    QOR_FUZZ_CHECK(byPointer.Succeeded() == parsed.Succeeded(), "sized and NUL-terminated differ");
    if (parsed.Succeeded()) {
      QOR_FUZZ_CHECK(qor::WriteJson(*byPointer) == qor::WriteJson(*parsed),
                     "sized and NUL-terminated trees differ");
    }
  }
  return 0;
}
