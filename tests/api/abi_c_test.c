/* Compiled as C (C11, pedantic): proves the host ABI header is plain C and reports the layout
 * the C compiler sees, which abi_test.cpp compares with the C++ view. */
#include "tests/api/abi_c_layout.h"

size_t QorAbiCLayout(size_t* out, size_t capacity) {
  const size_t values[] = {QOR_ABI_LAYOUT};
  size_t count = sizeof(values) / sizeof(values[0]);
  size_t i;
  for (i = 0; i < count && i < capacity; ++i)
    out[i] = values[i];
  return count;
}
