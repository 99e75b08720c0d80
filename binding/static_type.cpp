#include "binding/static_type.h"

#include <cstdio>

namespace qor {

std::string TypeIdRecord::Text() const {
  if (!name.empty()) return std::string(name);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "#%08X", static_cast<unsigned>(id));
  return buffer;
}

}  // namespace qor
