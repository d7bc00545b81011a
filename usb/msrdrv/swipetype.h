/* SPDX-License-Identifier: GPL-2.0 */
/*
 * swipetype: types the tracks of one card swipe as key presses on an input
 * device, through a ring of queued key events that a timer drains at one
 * event per SWIPE_PERIOD jiffies.
 */
#ifndef MSRDRV_SWIPETYPE_H
#define MSRDRV_SWIPETYPE_H

#include <linux/types.h>
#include "msrdrv_compat.h"

struct input_dev;

/*
 * SwipeRecord: three length bytes, then the raw bit streams of tracks 1
 * and 2 in regions of fixed room, then track 3 with as many bytes as its
 * length byte gives.  Raw data is the bit stream as the head delivered it,
 * 8 bits per byte, first bit in bit 0 of the first byte.
 */
#define SWIPE_TRACK1_OFFSET	3
#define SWIPE_TRACK1_ROOM	87
#define SWIPE_TRACK2_OFFSET	90
#define SWIPE_TRACK2_ROOM	49
#define SWIPE_TRACK3_OFFSET	139
#define SWIPE_TRACK3_ROOM	255
/* Largest record: every length byte at its maximum. */
#define SWIPE_RECORD_MAX	(SWIPE_TRACK3_OFFSET + SWIPE_TRACK3_ROOM)

struct SwipeRecord {
	u8 track1_len;
	u8 track2_len;
	u8 track3_len;
	u8 track1[SWIPE_TRACK1_ROOM];
	u8 track2[SWIPE_TRACK2_ROOM];
	u8 track3[];
};

/* Queued key value: bits 0-7 key code, bits 8-15 non-zero for a press. */
#define SWIPE_PRESS		0x100
#define SWIPE_QUEUE_SIZE	1024
/* Jiffies between two reported events. */
#define SWIPE_PERIOD		2

/* kbd_scancode entry bits that ask for a modifier held around the key. */
#define KBD_SHIFT		0x100
#define KBD_CTRL		0x200
#define KBD_ALTGR		0x400

/* One queued key event. */
struct bufferdata {
	struct input_dev *dev;
	u16 keycode;
};

extern const u16 kbd_scancode[256];

int swipetype_init(void);
int swipetype_exit(void);

void intobuffer(struct input_dev *idev, int value);
void output_init(void);
void output_timedout(MSR_TIMER_ARG ptr);

void inverttrack(const unsigned char *orgtrack, unsigned char *reversetrack,
		 unsigned char size);
void presskeys(struct input_dev *idev, u16 kcode);
int swipetype(struct input_dev *idev, const unsigned char *msr_data);
size_t swipe_record_size(const unsigned char *msr_data);

#endif /* MSRDRV_SWIPETYPE_H */
