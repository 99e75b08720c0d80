#include "binding/maybe.h"

#include <string>

#include "foundation/fatal.h"

namespace qor {

Failure Failure::InternalServerError(std::string_view message) {
  return Failure(500,
                 message.empty() ? std::string("Internal server error") : std::string(message));
}

Failure Failure::NotFound(std::string_view message) {
  return Failure(404, message.empty() ? std::string("Not found") : std::string(message));
}

namespace detail {

void ValueOfFailedMaybe(std::string_view message) {
  std::string description = "The value of a failed result was read: ";
  description.append(message);
  FatalAbort("Succeeded()", description, __FILE__, __LINE__, __func__);
}

}  // namespace detail

const Failure& MaybeType<Failure, void>::Error() const noexcept {
  static const Failure kNone;
  return failure_.has_value() ? *failure_ : kNone;
}

void MaybeType<Failure, BindingProperty>::SetFailure(std::string_view message, int status) {
  // `message` may view this value's own text: copy it before the value is rebuilt.
  std::string text(message);
  value_.Clear();
  value_.MutableMember("error").SetString(text);
  success_ = false;
  status_ = status;
}

std::string_view MaybeType<Failure, BindingProperty>::ErrorMessage() const noexcept {
  if (success_) return {};
  return value_.Member("error").GetString();
}

}  // namespace qor
