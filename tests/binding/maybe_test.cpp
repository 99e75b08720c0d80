#include "binding/maybe.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "binding/json.h"

namespace qor {
namespace {

TEST(MaybeTest, FailureFactoriesFixTheStatusAndDefaultMessage) {
  // The failure, its status and its message.
  const std::tuple<Failure, int, std::string> rows[] = {
      {Failure::InternalServerError(), 500, "Internal server error"},
      {Failure::InternalServerError("disk on fire"), 500, "disk on fire"},
      {Failure::NotFound(), 404, "Not found"},
      {Failure::NotFound("no such skin"), 404, "no such skin"},
      {Failure(), 0, ""},
      {Failure("plain"), 0, "plain"},
      {Failure::Formatted(400, "Bad %1 of '%2'", 3, "x"), 400, "Bad 3 of 'x'"},
  };
  for (const auto& [failure, status, message] : rows) {
    EXPECT_EQ(failure.Status(), status) << message;
    EXPECT_EQ(failure.Message(), message);
    EXPECT_TRUE(failure.Fields().empty());
  }
}

TEST(MaybeTest, NamedFailureKeepsTheTemplateFields) {
  Failure failure =
      Failure::Named(500, "Error response for {method} {url}: {error}", "GET", "/x", "boom");
  EXPECT_EQ(failure.Message(), "Error response for GET /x: boom");
  ASSERT_EQ(failure.Fields().size(), 3u);
  EXPECT_EQ(failure.Fields()[0].name, "method");
  EXPECT_EQ(failure.Fields()[2].text, "boom");

  Failure wrapped = Failure::Wrap(failure, "Outer '%1': %2", "p", failure.Message());
  EXPECT_EQ(wrapped.Status(), 500);
  EXPECT_EQ(wrapped.Message(), "Outer 'p': Error response for GET /x: boom");
}

MaybeType<Failure, std::string> Lookup(int key) {
  if (key < 0) return Failure::NotFound("negative");
  return std::string(static_cast<std::size_t>(key), 'x');
}

MaybeType<Failure, std::size_t> LengthOf(int key) {
  QOR_ASSIGN_OR_RETURN(std::string text, Lookup(key));
  return text.size();
}

MaybeType<Failure, void> Check(int key) {
  QOR_TRY(LengthOf(key));
  std::size_t length = 0;
  QOR_ASSIGN_OR_RETURN(length, LengthOf(key + 1));
  if (length > 5) return Failure::InternalServerError("too long");
  return {};
}

TEST(MaybeTest, PropagationReturnsTheFirstFailure) {
  EXPECT_TRUE(Check(1).Succeeded());
  EXPECT_EQ(Check(-5).Status(), 404);
  EXPECT_EQ(Check(-5).ErrorMessage(), "negative");
  EXPECT_EQ(Check(9).Status(), 500);
  EXPECT_EQ(Check(9).ErrorMessage(), "too long");
  EXPECT_EQ(*LengthOf(3), 3u);
  EXPECT_EQ(LengthOf(3).ErrorMessage(), "");
  EXPECT_EQ(LengthOf(-1).ValueOr(std::size_t{7}), 7u);
}

// The property form holds a failure as {"error": message}; copies and moves keep the flag.
TEST(MaybeTest, PropertyFormFailureIsAnErrorStructure) {
  MaybeType<Failure, BindingProperty> result(BindingProperty(5));
  result.SetFailure("it broke", 400);
  EXPECT_EQ(result.Status(), 400);
  EXPECT_EQ(WriteJson(result.Property()), R"({"error":"it broke"})");
  MaybeType<Failure, BindingProperty> copy = result;
  MaybeType<Failure, BindingProperty> moved = std::move(copy);
  EXPECT_TRUE(moved.Failed());
  EXPECT_EQ(moved.Error().Message(), "it broke");
  // A message may come from the value's own error text.
  moved.SetFailure(moved.ErrorMessage());
  EXPECT_EQ(moved.ErrorMessage(), "it broke");

  // An "error" member that is not a String gives an empty message.
  MaybeType<Failure, BindingProperty> odd;
  odd.SetFailure("x");
  odd.MutableProperty().MutableMember("error") = 3;
  EXPECT_EQ(odd.ErrorMessage(), "");
  MaybeType<Failure, BindingProperty> fromFailure(Failure::NotFound());
  EXPECT_EQ(fromFailure.Status(), 404);
  EXPECT_EQ(fromFailure.ErrorMessage(), "Not found");
}

TEST(MaybeDeathTest, ReadingTheValueOfAFailureIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MaybeType<Failure, std::string> failed = Failure::NotFound("gone");
  EXPECT_DEATH((void)*failed, "gone");
  MaybeType<Failure, BindingProperty> failedProperty(Failure("broken"));
  EXPECT_DEATH((void)failedProperty.Value(), "broken");
}

}  // namespace
}  // namespace qor
