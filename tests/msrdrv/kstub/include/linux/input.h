/*
 * Stand-in for the kernel's linux/input.h: an input device whose reported
 * events the stand-in records, and the event codes of the user-space ABI.
 */
#ifndef KSTUB_LINUX_INPUT_H
#define KSTUB_LINUX_INPUT_H

#include <linux/input-event-codes.h>

struct input_dev {
	const char *name;
};

#ifdef __cplusplus
extern "C" {
#endif
void input_event(struct input_dev *dev, unsigned int type, unsigned int code, int value);
#ifdef __cplusplus
}
#endif

static inline void input_sync(struct input_dev *dev)
{
	input_event(dev, EV_SYN, SYN_REPORT, 0);
}

#endif
