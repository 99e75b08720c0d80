// Failure and MaybeType<Failure, T>: results that either hold a value or say why not.
//
// Failures are values. An operation that can fail returns MaybeType<Failure, T>; the caller
// tests Succeeded() and then uses *, -> or Value(). Reading the value of a failed result is a
// caller bug and ends the process through the foundation's fatal path.
//
//   MaybeType<Failure, Wallet> GetWallet();
//   MaybeType<Failure, void> Refresh();            // success or a failure, no value
//
//   MaybeType<Failure, std::string> Describe() {
//     QOR_TRY(Refresh());                           // returns the failure when it failed
//     QOR_ASSIGN_OR_RETURN(Wallet wallet, GetWallet());
//     return Format("%1 RP", wallet.rp);
//   }
//
// MaybeType<Failure, BindingProperty> is a special form (the status threaded through the
// conversion rules and codecs): it constructs as success with an Empty value, and on failure
// the value becomes a Structure whose one member "error" holds the message.
//
// Failures chain by embedding: an outer operation formats the inner message into its own
// message as one argument (Failure::Wrap).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "binding/property.h"
#include "foundation/format.h"

namespace qor {

class Failure {
 public:
  // Status 0 (none set) and an empty message.
  Failure() = default;
  explicit Failure(std::string message, int status = 0)
      : status_(status), message_(std::move(message)) {}
  Failure(int status, std::string message, std::vector<NamedField> fields = {})
      : status_(status), message_(std::move(message)), fields_(std::move(fields)) {}

  // Status 500 with `message`, or "Internal server error" when `message` is empty.
  static Failure InternalServerError(std::string_view message = {});
  // Status 404 with `message`, or "Not found" when `message` is empty.
  static Failure NotFound(std::string_view message = {});

  // A failure whose message is a positional template ("%1", "%2", ...) filled with `args`.
  template <class... A>
  static Failure Formatted(int status, std::string_view tmpl, const A&... args) {
    return Failure(status, Format(tmpl, args...));
  }
  // A failure made from a named template ("{name}"): the message and the named fields that
  // the filler yields.
  template <class... A>
  static Failure Named(int status, std::string_view tmpl, const A&... args) {
    NamedText filled = FillNamed(tmpl, args...);
    return Failure(status, std::move(filled.text), std::move(filled.fields));
  }
  // The outer message `tmpl` with `inner`'s message as one of its arguments, e.g.
  //   Failure::Wrap(inner, "Couldn't deserialize JSON value for parameter '%1' of '%2': %3",
  //                 name, path, inner.Message())
  // The status is `inner`'s.
  template <class... A>
  static Failure Wrap(const Failure& inner, std::string_view tmpl, const A&... args) {
    return Failure(inner.Status(), Format(tmpl, args...));
  }

  // An HTTP status such as 400, 404 or 500, or 0 when none is set.
  int Status() const noexcept { return status_; }
  const std::string& Message() const noexcept { return message_; }
  // The fields of the named template the message was made from; empty otherwise.
  const std::vector<NamedField>& Fields() const noexcept { return fields_; }

  Failure& SetStatus(int status) noexcept {
    status_ = status;
    return *this;
  }

 private:
  int status_ = 0;
  std::string message_;
  std::vector<NamedField> fields_;
};

template <typename E, typename T>
class MaybeType;

namespace detail {
// Ends the process: the value of a failed MaybeType was read.
[[noreturn]] void ValueOfFailedMaybe(std::string_view message);
}  // namespace detail

// A T or a Failure (never both, never neither).
template <typename T>
class [[nodiscard]] MaybeType<Failure, T> {
 public:
  using ValueType = T;

  // Success with a default-constructed T.
  MaybeType() requires std::is_default_constructible_v<T> : state_(std::in_place_index<0>) {}
  MaybeType(const T& value) : state_(std::in_place_index<0>, value) {}        // NOLINT
  MaybeType(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <typename U>
  requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, T> &&
           !std::is_same_v<std::remove_cvref_t<U>, Failure> &&
           !std::is_same_v<std::remove_cvref_t<U>, MaybeType>) MaybeType(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}                       // NOLINT
  MaybeType(const Failure& failure) : state_(std::in_place_index<1>, failure) {}        // NOLINT
  MaybeType(Failure&& failure) : state_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

  bool Succeeded() const noexcept { return state_.index() == 0; }
  bool Failed() const noexcept { return state_.index() != 0; }
  explicit operator bool() const noexcept { return Succeeded(); }

  // REQUIRES: Succeeded() (otherwise the fatal path).
  T& Value() & {
    Check();
    return *std::get_if<0>(&state_);
  }
  const T& Value() const& {
    Check();
    return *std::get_if<0>(&state_);
  }
  T&& Value() && {
    Check();
    return std::move(*std::get_if<0>(&state_));
  }
  T& operator*() & { return Value(); }
  const T& operator*() const& { return Value(); }
  T&& operator*() && { return std::move(*this).Value(); }
  T* operator->() { return &Value(); }
  const T* operator->() const { return &Value(); }
  template <typename U>
  T ValueOr(U&& fallback) const& {
    return Succeeded() ? *std::get_if<0>(&state_) : static_cast<T>(std::forward<U>(fallback));
  }

  // The failure; a static failure with status 0 and an empty message on success.
  const Failure& Error() const noexcept {
    if (const Failure* failure = std::get_if<1>(&state_)) return *failure;
    return NoFailure();
  }
  // The failure's message, or the empty text on success.
  const std::string& ErrorMessage() const noexcept { return Error().Message(); }
  int Status() const noexcept { return Error().Status(); }

 private:
  static const Failure& NoFailure() noexcept {
    static const Failure kNone;
    return kNone;
  }
  void Check() const {
    if (!Succeeded()) detail::ValueOfFailedMaybe(std::get_if<1>(&state_)->Message());
  }

  std::variant<T, Failure> state_;
};

// Success without a value, or a Failure.
template <>
class [[nodiscard]] MaybeType<Failure, void> {
 public:
  using ValueType = void;

  MaybeType() = default;
  MaybeType(const Failure& failure) : failure_(failure) {}        // NOLINT
  MaybeType(Failure&& failure) : failure_(std::move(failure)) {}  // NOLINT

  bool Succeeded() const noexcept { return !failure_.has_value(); }
  bool Failed() const noexcept { return failure_.has_value(); }
  explicit operator bool() const noexcept { return Succeeded(); }

  const Failure& Error() const noexcept;
  const std::string& ErrorMessage() const noexcept { return Error().Message(); }
  int Status() const noexcept { return Error().Status(); }

 private:
  std::optional<Failure> failure_;
};

using NoValue = void;

// The status threaded through the conversion rules and the codecs: a BindingProperty and a
// success flag. On success the property is the result; on failure it is a Structure with one
// member "error" holding the message (the status code travels beside it).
template <>
class [[nodiscard]] MaybeType<Failure, BindingProperty> {
 public:
  using ValueType = BindingProperty;

  // Success with an Empty value.
  MaybeType() = default;
  // Success with a copy of (or the moved) `value`.
  MaybeType(const BindingProperty& value) : value_(value) {}                 // NOLINT
  MaybeType(BindingProperty&& value) noexcept : value_(std::move(value)) {}  // NOLINT
  // Failure with the failure's message (and status).
  MaybeType(const Failure& failure) { SetFailure(failure); }  // NOLINT

  // Clears the value and the success flag and stores `message` as the "error" member.
  void SetFailure(std::string_view message, int status = 0);
  void SetFailure(const Failure& failure) { SetFailure(failure.Message(), failure.Status()); }

  bool Succeeded() const noexcept { return success_; }
  bool Failed() const noexcept { return !success_; }
  explicit operator bool() const noexcept { return success_; }

  // The empty text on success; on failure the "error" member's text (empty if that member is
  // not a String).
  std::string_view ErrorMessage() const noexcept;
  int Status() const noexcept { return status_; }
  // The failure as a Failure value (status 0 and empty message on success).
  Failure Error() const { return Failure(status_, std::string(ErrorMessage())); }

  // REQUIRES: Succeeded() (otherwise the fatal path).
  BindingProperty& Value() & {
    Check();
    return value_;
  }
  const BindingProperty& Value() const& {
    Check();
    return value_;
  }
  BindingProperty&& Value() && {
    Check();
    return std::move(value_);
  }
  BindingProperty& operator*() & { return Value(); }
  const BindingProperty& operator*() const& { return Value(); }
  BindingProperty&& operator*() && { return std::move(*this).Value(); }
  BindingProperty* operator->() { return &Value(); }
  const BindingProperty* operator->() const { return &Value(); }

  // The property whatever the flag: the result, or the {"error": message} Structure.
  const BindingProperty& Property() const noexcept { return value_; }
  // Writable result slot for builders (readers fill it in place). Valid in either state.
  BindingProperty& MutableProperty() noexcept { return value_; }

 private:
  void Check() const {
    if (!success_) detail::ValueOfFailedMaybe(ErrorMessage());
  }

  BindingProperty value_;
  bool success_ = true;
  int status_ = 0;
};

namespace detail {
template <typename M>
Failure FailureOf(const M& result) {
  if constexpr (std::is_same_v<std::remove_cvref_t<M>, Failure>) {
    return result;
  } else {
    return Failure(result.Status(), std::string(result.ErrorMessage()));
  }
}
}  // namespace detail

}  // namespace qor

#define QOR_MAYBE_CONCAT_INNER(a, b) a##b
#define QOR_MAYBE_CONCAT(a, b) QOR_MAYBE_CONCAT_INNER(a, b)

// QOR_TRY(expr): evaluates a MaybeType expression; when it failed, returns its failure from
// the enclosing function (whose result type must be constructible from a Failure).
#define QOR_TRY(expr)                                   \
  do {                                                  \
    auto&& qor_try_result_ = (expr);                    \
    if (!qor_try_result_.Succeeded()) {                 \
      return ::qor::detail::FailureOf(qor_try_result_); \
    }                                                   \
  } while (false)

// QOR_ASSIGN_OR_RETURN(lhs, expr): evaluates a MaybeType expression; when it failed, returns
// its failure; otherwise moves its value into `lhs` (a declaration or an lvalue).
#define QOR_ASSIGN_OR_RETURN(lhs, expr) \
  QOR_ASSIGN_OR_RETURN_IMPL(QOR_MAYBE_CONCAT(qor_maybe_, __LINE__), lhs, expr)
#define QOR_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.Succeeded()) {                         \
    return ::qor::detail::FailureOf(tmp);         \
  }                                               \
  lhs = std::move(tmp).Value()
