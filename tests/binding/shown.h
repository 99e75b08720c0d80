// One line for what a reader made of its input, so that tables of the binding tests hold the
// accepted and the refused inputs alike.
#pragma once

#include <string>

#include "binding/json.h"
#include "binding/maybe.h"

namespace qor {

// "! " and the message of a failure; otherwise the value's kind and its text form (containers
// as compact JSON), e.g. "unsigned 5", "string a", "collection [1,{}]", "empty".
inline std::string Shown(const MaybeType<Failure, BindingProperty>& read) {
  if (read.Failed()) return "! " + std::string(read.ErrorMessage());
  const BindingKind kind = read->Kind();
  const std::string text = kind == BindingKind::Collection || kind == BindingKind::Structure
                               ? WriteJson(*read)
                               : read->ToText();
  return std::string(KindName(kind)) + (text.empty() ? "" : " " + text);
}

}  // namespace qor
