// SPDX-License-Identifier: GPL-2.0
/*
 * Test-only stand-in for the keyboard drivers: registers misc devices named
 * like the nodes of the PS/2 driver (qkbd_*) and of the USB driver
 * (trvposusb_*), so that udev rules can be tried on them without hardware.
 * The devices do nothing; the swipe node comes from the real msrdrv.ko.
 */
#include <linux/module.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Stand-in device nodes of the POS keyboard drivers (test only)");

static const char *const node_names[] = {
	"qkbd_stat", "qkbd_keyboard", "qkbd_keylock",
	"qkbd_msr1", "qkbd_msr2", "qkbd_msr3",
	"trvposusb_kbdstat", "trvposusb_msrstat", "trvposusb_keyboard",
	"trvposusb_keylock", "trvposusb_msr1", "trvposusb_msr2", "trvposusb_msr3",
};

static const struct file_operations node_fops = {
	.owner	= THIS_MODULE,
	.open	= nonseekable_open,
};

static struct miscdevice nodes[ARRAY_SIZE(node_names)];

static void trvnodes_unregister(unsigned int n)
{
	while (n--)
		misc_deregister(&nodes[n]);
}

static int __init trvnodes_init(void)
{
	unsigned int i;
	int err;

	for (i = 0; i < ARRAY_SIZE(nodes); i++) {
		nodes[i].minor = MISC_DYNAMIC_MINOR;
		nodes[i].name = node_names[i];
		nodes[i].fops = &node_fops;
		err = misc_register(&nodes[i]);
		if (err)
			goto err_unregister;
	}
	return 0;

err_unregister:
	trvnodes_unregister(i);
	return err;
}

static void __exit trvnodes_exit(void)
{
	trvnodes_unregister(ARRAY_SIZE(nodes));
}

module_init(trvnodes_init);
module_exit(trvnodes_exit);
