/* Stand-in for the kernel's linux/errno.h: the user-space codes and the
 * kernel-internal ones in use. */
#ifndef KSTUB_LINUX_ERRNO_H
#define KSTUB_LINUX_ERRNO_H
#include_next <linux/errno.h>
#define ERESTARTSYS 512
#endif
