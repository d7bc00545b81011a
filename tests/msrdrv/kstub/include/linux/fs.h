/* Stand-in for linux/fs.h: the file operations the misc device uses. */
#ifndef KSTUB_LINUX_FS_H
#define KSTUB_LINUX_FS_H

#include <sys/types.h>
#include <linux/types.h>

struct file;
struct inode;
struct module;

struct file_operations {
	struct module *owner;
	int (*open)(struct inode *, struct file *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
};

static inline int nonseekable_open(struct inode *inode, struct file *filp)
{
	(void)inode;
	(void)filp;
	return 0;
}

#endif
