/*
 * Stand-in for linux/version.h.  KSTUB_LINUX_VERSION selects which kernel
 * interface generation the sources are built against (a current kernel
 * unless the build says otherwise).
 */
#ifndef KSTUB_LINUX_VERSION_H
#define KSTUB_LINUX_VERSION_H

#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
#ifndef KSTUB_LINUX_VERSION
#define KSTUB_LINUX_VERSION KERNEL_VERSION(6, 12, 0)
#endif
#define LINUX_VERSION_CODE KSTUB_LINUX_VERSION

#endif
