/* Stand-in for the kernel's linux/kernel.h: the helper macros in use. */
#ifndef KSTUB_LINUX_KERNEL_H
#define KSTUB_LINUX_KERNEL_H

#include <stddef.h>
#include <linux/types.h>

#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define min_t(type, a, b) ((type)(a) < (type)(b) ? (type)(a) : (type)(b))
#define clamp(val, lo, hi) ((val) < (lo) ? (lo) : (val) > (hi) ? (hi) : (val))
#ifdef __cplusplus
#define BUILD_BUG_ON(cond) static_assert(!(cond), #cond)
#else
#define BUILD_BUG_ON(cond) _Static_assert(!(cond), #cond)
#endif

#endif
