/* Stand-in for the kernel's linux/string.h. */
#ifndef KSTUB_LINUX_STRING_H
#define KSTUB_LINUX_STRING_H
#include <string.h>
#endif
