/*
 * Stand-in for the kernel's linux/input.h: an input device whose reported
 * events the stand-in records, the device's life cycle, and the codes of
 * the user-space ABI.
 */
#ifndef KSTUB_LINUX_INPUT_H
#define KSTUB_LINUX_INPUT_H

#include_next <linux/input.h>

#define BITS_TO_LONGS(n) (((n) + 8 * sizeof(long) - 1) / (8 * sizeof(long)))

struct input_dev {
	const char *name;
	const char *phys;
	struct input_id id;
	unsigned long evbit[BITS_TO_LONGS(EV_CNT)];
	unsigned long keybit[BITS_TO_LONGS(KEY_CNT)];
};

static inline void __set_bit(unsigned int nr, unsigned long *addr)
{
	addr[nr / (8 * sizeof(long))] |= 1UL << (nr % (8 * sizeof(long)));
}

#ifdef __cplusplus
extern "C" {
#endif
void input_event(struct input_dev *dev, unsigned int type, unsigned int code, int value);
struct input_dev *input_allocate_device(void);
void input_free_device(struct input_dev *dev);
int input_register_device(struct input_dev *dev);
void input_unregister_device(struct input_dev *dev);
#ifdef __cplusplus
}
#endif

static inline void input_sync(struct input_dev *dev)
{
	input_event(dev, EV_SYN, SYN_REPORT, 0);
}

#endif
