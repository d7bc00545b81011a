/* Stand-in for linux/miscdevice.h: the stand-in keeps the one registered
 * device, whose file operations the tests call. */
#ifndef KSTUB_LINUX_MISCDEVICE_H
#define KSTUB_LINUX_MISCDEVICE_H

#include <linux/fs.h>

#define MISC_DYNAMIC_MINOR 255

struct miscdevice {
	int minor;
	const char *name;
	const struct file_operations *fops;
};

#ifdef __cplusplus
extern "C" {
#endif
int misc_register(struct miscdevice *misc);
void misc_deregister(struct miscdevice *misc);
#ifdef __cplusplus
}
#endif

#endif
