// Tree comparison for round trips through JSON text: JSON has one kind of integer, so a
// Signed value that is not negative comes back as an Unsigned of the same value ("-0" is read
// as Signed 0 and written as 0). The reader's default number mode may miss the nearest double
// in the last places, so floats match within a relative 1e-14, and a non-finite float comes
// back as null, which is how it is written. Everything else must match exactly.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "binding/property.h"

namespace qor::fuzz {

inline bool SameInteger(const BindingProperty& a, const BindingProperty& b) {
  if (a.Kind() == BindingKind::Signed && b.Kind() == BindingKind::Unsigned) {
    return a.GetSigned() >= 0 && static_cast<std::uint64_t>(a.GetSigned()) == b.GetUnsigned();
  }
  if (a.Kind() == BindingKind::Unsigned && b.Kind() == BindingKind::Signed) {
    return SameInteger(b, a);
  }
  return false;
}

inline bool SameFloat(const BindingProperty& a, const BindingProperty& b) {
  if (a.Kind() != BindingKind::Float) return false;
  const double x = a.GetFloat();
  if (!std::isfinite(x)) return b.IsEmpty();
  if (b.Kind() != BindingKind::Float) return false;
  const double y = b.GetFloat();
  return x == y || std::fabs(x - y) <= 1e-14 * std::max(std::fabs(x), std::fabs(y));
}

inline bool EquivalentThroughJson(const BindingProperty& a, const BindingProperty& b) {
  if (SameInteger(a, b) || SameFloat(a, b) || SameFloat(b, a)) return true;
  if (a.Kind() != b.Kind()) return false;
  if (a.Kind() == BindingKind::Collection) {
    if (a.Size() != b.Size()) return false;
    for (std::size_t i = 0; i < a.Size(); ++i) {
      if (!EquivalentThroughJson(a.Element(i), b.Element(i))) return false;
    }
    return true;
  }
  if (a.Kind() == BindingKind::Structure) {
    const auto left = a.Members();
    const auto right = b.Members();
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
      if (left[i].Key() != right[i].Key()) return false;
      if (!EquivalentThroughJson(left[i].Value(), right[i].Value())) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace qor::fuzz
