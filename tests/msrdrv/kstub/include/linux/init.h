/* Stand-in for linux/init.h. */
#ifndef KSTUB_LINUX_INIT_H
#define KSTUB_LINUX_INIT_H
#define __init
#define __exit
#endif
