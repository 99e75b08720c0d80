// JSON codec: parse the input; when it parses, write it (compact and pretty) and parse the
// written text again: both must succeed and give the same tree (up to the sign kind of
// integers that are not negative). The NUL-terminated reading
// must agree with the sized one on inputs without a NUL byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "binding/json.h"
#include "fuzz/detail/check.h"
#include "fuzz/detail/equivalent.h"

namespace {

void CheckRoundTrip(const qor::BindingProperty& tree, std::string_view lineBreak) {
  const std::string written = qor::WriteJson(tree, nullptr, lineBreak);
  auto again = qor::ParseJson(std::string_view(written));
  QOR_FUZZ_CHECK(again.Succeeded(), std::string(again.ErrorMessage()) + " in " + written);
  QOR_FUZZ_CHECK(qor::fuzz::EquivalentThroughJson(*again, tree), written);
  // Writing is a function of the tree: writing it again gives the same text. (The re-read
  // tree may differ from it in the last places of a float, so its text is not compared.)
  QOR_FUZZ_CHECK(qor::WriteJson(tree, nullptr, lineBreak) == written, written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = qor::ParseJson(text);
  if (parsed.Failed()) {
    QOR_FUZZ_CHECK(!parsed.ErrorMessage().empty(), "a failure without a message");
  }

  if (std::memchr(text.data(), 0, text.size()) == nullptr) {
    const std::string terminated(text);
    auto byPointer = qor::ParseJson(terminated.c_str());
    QOR_FUZZ_CHECK(byPointer.Succeeded() == parsed.Succeeded(), "sized and NUL-terminated differ");
    if (parsed.Succeeded()) {
      QOR_FUZZ_CHECK(*byPointer == *parsed, "sized and NUL-terminated trees differ");
    } else {
      QOR_FUZZ_CHECK(byPointer.ErrorMessage() == parsed.ErrorMessage(), byPointer.ErrorMessage());
    }
  }

  if (parsed.Succeeded()) {
    CheckRoundTrip(*parsed, {});
    CheckRoundTrip(*parsed, "\n");
    CheckRoundTrip(*parsed, "\r\n");
  }
  return 0;
}
