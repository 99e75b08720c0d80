/* Functions of abi_c_test.c, the C translation unit of the host ABI test. */
#ifndef QOR_TESTS_API_ABI_C_LAYOUT_H_
#define QOR_TESTS_API_ABI_C_LAYOUT_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes up to `capacity` sizes and offsets as the C compiler lays the records out; returns
 * how many there are. */
size_t QorAbiCLayout(size_t* out, size_t capacity);
/* Calls a function entry's call pointer from C; returns 206 when it ran. */
int QorAbiCCallThroughEntry(void);

#ifdef __cplusplus
}
#endif

#endif /* QOR_TESTS_API_ABI_C_LAYOUT_H_ */
