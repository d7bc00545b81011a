// SPDX-License-Identifier: GPL-2.0
/*
 * USB MSR keyboard-wedge output: the input device that types card swipes,
 * and the misc character device that takes one SwipeRecord per write()
 * and hands it to swipetype().
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/input.h>
#include <linux/miscdevice.h>
#include <linux/mutex.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include "swipetype.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Tarvel USB MSR: types card swipes as key presses");
#ifdef MSRDRV_VERSION
MODULE_VERSION(MSRDRV_VERSION);
#endif

#define MSRDRV_NAME	"trvposusb_swipe"

static struct input_dev *msr_idev;
/* One swipe at a time: guards swipe_record and the track decoder. */
static DEFINE_MUTEX(swipe_mutex);
static unsigned char swipe_record[SWIPE_RECORD_MAX];

/*
 * Bytes of the SwipeRecord at the start of @rec (at least its length
 * bytes): the fixed regions of tracks 1 and 2, then track 3.
 */
static size_t swipe_record_full(const unsigned char *rec)
{
	return SWIPE_TRACK3_OFFSET + rec[2];
}

/*
 * Take the first SwipeRecord of a write and type it.  A record is
 * SWIPE_TRACK3_OFFSET bytes plus its track 3 length; a writer that batches
 * records (a stdio stream) sends them back to back, learns from the result
 * that only the first was taken, and writes the rest again.  A write that
 * is shorter than its record is the record cut short after its last
 * announced track: the bytes not sent read as zero.
 *
 * Return: the bytes of the record taken, when the whole swipe was queued;
 * -EINVAL when the write lacks data of an announced track (or even the
 * length bytes); -ENOSPC (nothing queued) when the keys waiting leave too
 * little room for the swipe; -EMSGSIZE when it can never fit; -ENODEV
 * while the driver unloads.
 */
static ssize_t msr_swipe_write(struct file *file, const char __user *buf,
			       size_t count, loff_t *ppos)
{
	size_t len = min_t(size_t, count, SWIPE_RECORD_MAX);
	ssize_t ret;
	int err;

	if (count < SWIPE_TRACK1_OFFSET)
		return -EINVAL;
	if (mutex_lock_interruptible(&swipe_mutex))
		return -ERESTARTSYS;
	if (copy_from_user(swipe_record, buf, len)) {
		ret = -EFAULT;
		goto out;
	}
	if (len < swipe_record_size(swipe_record)) {
		ret = -EINVAL;
		goto out;
	}
	len = min_t(size_t, len, swipe_record_full(swipe_record));
	memset(swipe_record + len, 0, sizeof(swipe_record) - len);
	ret = len;
	/* The whole swipe is queued or none of it: a writer that gets
	 * -ENOSPC may try again once the keys before it are typed. */
	err = swipetype(msr_idev, swipe_record);
	if (err)
		ret = err;
out:
	mutex_unlock(&swipe_mutex);
	return ret;
}

static const struct file_operations msr_swipe_fops = {
	.owner	= THIS_MODULE,
	.open	= nonseekable_open,
	.write	= msr_swipe_write,
};

static struct miscdevice msr_swipe_dev = {
	.minor	= MISC_DYNAMIC_MINOR,
	.name	= MSRDRV_NAME,
	.fops	= &msr_swipe_fops,
};

/* Announce every key that kbd_scancode, Enter and the modifiers use. */
static void msr_set_keybits(struct input_dev *dev)
{
	unsigned int i;

	__set_bit(EV_KEY, dev->evbit);
	for (i = 0; i < ARRAY_SIZE(kbd_scancode); i++)
		if (kbd_scancode[i] & 0xff)
			__set_bit(kbd_scancode[i] & 0xff, dev->keybit);
	__set_bit(KEY_ENTER, dev->keybit);
	__set_bit(KEY_LEFTSHIFT, dev->keybit);
	__set_bit(KEY_LEFTCTRL, dev->keybit);
	__set_bit(KEY_RIGHTALT, dev->keybit);
}

static int __init msrdrv_init(void)
{
	int err;

	msr_idev = input_allocate_device();
	if (!msr_idev)
		return -ENOMEM;
	msr_idev->name = "Tarvel USB MSR keyboard";
	msr_idev->phys = MSRDRV_NAME "/input0";
	msr_idev->id.bustype = BUS_USB;
	msr_set_keybits(msr_idev);

	err = swipetype_init();
	if (err)
		goto err_free_dev;
	err = input_register_device(msr_idev);
	if (err)
		goto err_swipetype_exit;
	err = misc_register(&msr_swipe_dev);
	if (err)
		goto err_unregister_input;
	return 0;

err_unregister_input:
	swipetype_exit();
	input_unregister_device(msr_idev);
	return err;
err_swipetype_exit:
	swipetype_exit();
err_free_dev:
	input_free_device(msr_idev);
	return err;
}

/*
 * No new opener once the misc device is gone; any swipe that still comes
 * in is refused by swipetype_exit(), which lets the swipe being typed
 * finish before it stops the timer.
 */
static void __exit msrdrv_exit(void)
{
	misc_deregister(&msr_swipe_dev);
	swipetype_exit();
	input_unregister_device(msr_idev);
}

module_init(msrdrv_init);
module_exit(msrdrv_exit);
