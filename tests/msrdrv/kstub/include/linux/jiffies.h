/* Stand-in for linux/jiffies.h: the tests move the tick count by hand. */
#ifndef KSTUB_LINUX_JIFFIES_H
#define KSTUB_LINUX_JIFFIES_H

#ifdef __cplusplus
extern "C" {
#endif
unsigned long kstub_jiffies(void);
#ifdef __cplusplus
}
#endif
#define jiffies (kstub_jiffies())
/* Debian's kernels tick at 250 Hz. */
#define HZ 250

#endif
