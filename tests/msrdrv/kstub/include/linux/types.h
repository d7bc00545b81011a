/* Stand-in for the kernel's linux/types.h: the fixed-width names. */
#ifndef KSTUB_LINUX_TYPES_H
#define KSTUB_LINUX_TYPES_H

#include_next <linux/types.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int32_t s32;

/* Marks user-space pointers in the kernel; plain pointers here. */
#define __user

#endif
