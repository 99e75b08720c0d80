// MessagePack reader: decode the input. The result and the bytes consumed must be consistent;
// decoding only the consumed prefix must give the same tree; the tree must write as JSON
// that parses again (depth limits of the two codecs agree, every kind has a JSON form).
#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/json.h"
#include "binding/msgpack.h"
#include "fuzz/detail/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qor::MsgPackDecoded decoded = qor::DecodeMsgPack(data, size);
  if (decoded.value.Failed()) {
    QOR_FUZZ_CHECK(decoded.consumed == 0, "a failure that consumed bytes");
    QOR_FUZZ_CHECK(!decoded.value.ErrorMessage().empty(), "a failure without a message");
    return 0;
  }
  QOR_FUZZ_CHECK(decoded.consumed > 0 && decoded.consumed <= size,
                 "consumed " + std::to_string(decoded.consumed) + " of " + std::to_string(size));

  // The value ends where the reader says: the prefix alone decodes to the same value.
  qor::MsgPackDecoded prefix = qor::DecodeMsgPack(data, decoded.consumed);
  QOR_FUZZ_CHECK(prefix.value.Succeeded(), prefix.value.ErrorMessage());
  QOR_FUZZ_CHECK(prefix.consumed == decoded.consumed, "the prefix consumed a different length");
  // NaN compares unequal to itself, so trees holding one are only compared as JSON below.
  const std::string written = qor::WriteJson(*decoded.value);
  QOR_FUZZ_CHECK(qor::WriteJson(*prefix.value) == written, "the prefix decoded differently");

  auto parsed = qor::ParseJson(std::string_view(written));
  QOR_FUZZ_CHECK(parsed.Succeeded(), std::string(parsed.ErrorMessage()) + " in " + written);
  return 0;
}
