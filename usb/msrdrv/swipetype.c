// SPDX-License-Identifier: GPL-2.0
/*
 * swipetype: types a card swipe as key presses on an input device.
 *
 * Each track of a SwipeRecord is decoded (the reversed reading first, the
 * forward reading as fallback) and typed as its start sentinel, its
 * characters, its end sentinel and Enter.  The key events are not reported
 * at once: they go into a ring of SWIPE_QUEUE_SIZE entries, and a timer
 * reports one event, followed by a SYN_REPORT, every SWIPE_PERIOD jiffies.
 *
 * The producer (the context that calls swipetype() or intobuffer()) and
 * the timer callback may run on different processors, so buffer_lock,
 * taken with interrupts disabled, guards the ring, both indices and every
 * call on delyd_timer.  Nobody waits for the timer except
 * swipetype_exit(), which runs in process context: it refuses new events,
 * lets the ring drain (a swipe being typed is typed to its end), then
 * stops the timer and releases any key still pressed.
 */
#include <linux/kernel.h>
#include <linux/types.h>
#include <linux/errno.h>
#include <linux/input.h>
#include <linux/jiffies.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/timer.h>
#include <linux/wait.h>
#include "swipetype.h"
#include "cdecode.h"

/* Ring slots that may hold pending events: one stays free so that a full
 * ring never looks empty. */
#define SWIPE_QUEUE_ROOM	(SWIPE_QUEUE_SIZE - 1)

/* Longest wait of swipetype_exit() for the ring to drain: a full ring's
 * typing time, plus a second for timers that run late. */
#define SWIPE_DRAIN_TIMEOUT	(SWIPE_QUEUE_ROOM * SWIPE_PERIOD + HZ)

#define SH(key)		(KBD_SHIFT | (key))
#define ALTGR(key)	(KBD_ALTGR | (key))

/*
 * Key that types each character on a German (QWERTZ) layout, with the
 * modifiers held around it.  Characters without an entry type key code 0.
 */
const u16 kbd_scancode[256] = {
	[' ']  = KEY_SPACE,		['!']  = SH(KEY_1),
	['"']  = SH(KEY_2),		['#']  = KEY_BACKSLASH,
	['$']  = SH(KEY_4),		['%']  = SH(KEY_5),
	['&']  = SH(KEY_6),		['\''] = KEY_EQUAL,
	['(']  = SH(KEY_8),		[')']  = SH(KEY_9),
	['*']  = SH(KEY_RIGHTBRACE),	['+']  = KEY_RIGHTBRACE,
	[',']  = KEY_COMMA,		['-']  = KEY_SLASH,
	['.']  = KEY_DOT,		['/']  = SH(KEY_7),
	['0']  = KEY_0,			['1']  = KEY_1,
	['2']  = KEY_2,			['3']  = KEY_3,
	['4']  = KEY_4,			['5']  = KEY_5,
	['6']  = KEY_6,			['7']  = KEY_7,
	['8']  = KEY_8,			['9']  = KEY_9,
	[':']  = SH(KEY_DOT),		[';']  = SH(KEY_COMMA),
	['<']  = KEY_102ND,		['=']  = SH(KEY_0),
	['>']  = SH(KEY_102ND),		['?']  = SH(KEY_MINUS),
	['@']  = ALTGR(KEY_Q),		['A']  = SH(KEY_A),
	['B']  = SH(KEY_B),		['C']  = SH(KEY_C),
	['D']  = SH(KEY_D),		['E']  = SH(KEY_E),
	['F']  = SH(KEY_F),		['G']  = SH(KEY_G),
	['H']  = SH(KEY_H),		['I']  = SH(KEY_I),
	['J']  = SH(KEY_J),		['K']  = SH(KEY_K),
	['L']  = SH(KEY_L),		['M']  = SH(KEY_M),
	['N']  = SH(KEY_N),		['O']  = SH(KEY_O),
	['P']  = SH(KEY_P),		['Q']  = SH(KEY_Q),
	['R']  = SH(KEY_R),		['S']  = SH(KEY_S),
	['T']  = SH(KEY_T),		['U']  = SH(KEY_U),
	['V']  = SH(KEY_V),		['W']  = SH(KEY_W),
	['X']  = SH(KEY_X),		['Y']  = SH(KEY_Z),
	['Z']  = SH(KEY_Y),		['[']  = ALTGR(KEY_8),
	['\\'] = ALTGR(KEY_MINUS),	[']']  = ALTGR(KEY_9),
	['^']  = KEY_GRAVE,		['_']  = SH(KEY_SLASH),
	['~']  = ALTGR(KEY_RIGHTBRACE),
};

static struct bufferdata buffer[SWIPE_QUEUE_SIZE];
static int readpos;		/* next event to report */
static int writepos;		/* next free entry */
static struct timer_list delyd_timer;
/* Set when the driver starts unloading: nothing more is queued. */
static bool output_closed;
/* Set once the drain is over: the timer is not re-armed. */
static bool output_stopped;
/* Device each key code was last pressed on and not yet released. */
static struct input_dev *key_down[256];
/* Guards buffer, readpos, writepos, output_closed, output_stopped,
 * key_down and delyd_timer. */
static DEFINE_SPINLOCK(buffer_lock);
/* swipetype_exit() waits here for the ring to drain. */
static DECLARE_WAIT_QUEUE_HEAD(drain_wait);

/* Return whether @count more events fit and may be queued; caller holds
 * buffer_lock. */
static bool queue_has_room(int count)
{
	int used = (writepos - readpos + SWIPE_QUEUE_SIZE) % SWIPE_QUEUE_SIZE;

	return !output_closed && SWIPE_QUEUE_ROOM - used >= count;
}

/* Append one event, arming the timer when the ring was empty; caller holds
 * buffer_lock and has checked the room. */
static void put_event(struct input_dev *idev, u16 value)
{
	if (readpos == writepos)
		output_init();
	buffer[writepos].dev = idev;
	buffer[writepos].keycode = value;
	writepos++;
	if (writepos > SWIPE_QUEUE_SIZE - 1)
		writepos = 0;
}

/* Return the number of events that typing the kbd_scancode entry @kcode
 * queues: a press and a release of the key and of each modifier. */
static int keys_size(u16 kcode)
{
	return 2 * (1 + !!(kcode & KBD_ALTGR) + !!(kcode & KBD_CTRL) +
		    !!(kcode & KBD_SHIFT));
}

/* Append the events that type @kcode: modifier presses, key press, key
 * release, modifier releases in reverse order; caller holds buffer_lock
 * and has checked the room for keys_size(@kcode) events. */
static void put_keys(struct input_dev *idev, u16 kcode)
{
	if (kcode & KBD_ALTGR)
		put_event(idev, SWIPE_PRESS | KEY_RIGHTALT);
	if (kcode & KBD_CTRL)
		put_event(idev, SWIPE_PRESS | KEY_LEFTCTRL);
	if (kcode & KBD_SHIFT)
		put_event(idev, SWIPE_PRESS | KEY_LEFTSHIFT);
	put_event(idev, SWIPE_PRESS | (kcode & 0xff));
	put_event(idev, kcode & 0xff);
	if (kcode & KBD_SHIFT)
		put_event(idev, KEY_LEFTSHIFT);
	if (kcode & KBD_CTRL)
		put_event(idev, KEY_LEFTCTRL);
	if (kcode & KBD_ALTGR)
		put_event(idev, KEY_RIGHTALT);
}

/**
 * intobuffer() - queue one key event
 * @idev: input device to report the event on
 * @value: queued key value; only its low 16 bits are kept
 *
 * The event is dropped when the ring is full; a full ring is never
 * overwritten.
 */
void intobuffer(struct input_dev *idev, int value)
{
	unsigned long flags;

	spin_lock_irqsave(&buffer_lock, flags);
	if (queue_has_room(1))
		put_event(idev, value & 0xffff);
	spin_unlock_irqrestore(&buffer_lock, flags);
}

/**
 * output_init() - arm delyd_timer to fire SWIPE_PERIOD jiffies from now
 *
 * Context: buffer_lock held, ring empty.  The timer was set up once by
 * swipetype_init() and is never re-initialised here: the callback of an
 * earlier run may still be finishing on another processor.
 */
void output_init(void)
{
	mod_timer(&delyd_timer, msr_timer_expiry(SWIPE_PERIOD));
}

/**
 * output_timedout() - timer callback: report the next queued event
 * @ptr: unused
 *
 * Reports the event as EV_KEY followed by SYN_REPORT (without the
 * synchronisation, evdev readers never see the key), then re-arms the
 * timer while events remain.  Wakes swipetype_exit() once the ring is
 * drained.
 */
void output_timedout(MSR_TIMER_ARG ptr)
{
	struct bufferdata *ev;
	unsigned long flags;
	unsigned int code;
	bool drained;

	(void)ptr;
	spin_lock_irqsave(&buffer_lock, flags);
	if (readpos != writepos) {
		ev = &buffer[readpos];
		code = ev->keycode & 0xff;
		input_event(ev->dev, EV_KEY, code, (ev->keycode & 0xff00) ? 1 : 0);
		input_sync(ev->dev);
		key_down[code] = (ev->keycode & 0xff00) ? ev->dev : NULL;
		readpos++;
		if (readpos > SWIPE_QUEUE_SIZE - 1)
			readpos = 0;
	}
	drained = readpos == writepos;
	if (drained)
		msr_timer_delete(&delyd_timer);
	else if (!output_stopped)
		mod_timer(&delyd_timer, msr_timer_expiry(SWIPE_PERIOD));
	spin_unlock_irqrestore(&buffer_lock, flags);
	if (drained)
		wake_up(&drain_wait);
}

/**
 * swipetype_init() - set up the queue and its timer
 *
 * Context: process context, before the first swipe.  Return: 0.
 */
int swipetype_init(void)
{
	unsigned long flags;

	BUILD_BUG_ON(offsetof(struct SwipeRecord, track1) != SWIPE_TRACK1_OFFSET);
	BUILD_BUG_ON(offsetof(struct SwipeRecord, track2) != SWIPE_TRACK2_OFFSET);
	BUILD_BUG_ON(offsetof(struct SwipeRecord, track3) != SWIPE_TRACK3_OFFSET);

	msr_timer_setup(&delyd_timer, output_timedout);
	spin_lock_irqsave(&buffer_lock, flags);
	readpos = 0;
	writepos = 0;
	output_closed = false;
	output_stopped = false;
	memset(key_down, 0, sizeof(key_down));
	spin_unlock_irqrestore(&buffer_lock, flags);
	return 0;
}

/* Return whether no event waits in the ring. */
static bool ring_drained(void)
{
	unsigned long flags;
	bool drained;

	spin_lock_irqsave(&buffer_lock, flags);
	drained = readpos == writepos;
	spin_unlock_irqrestore(&buffer_lock, flags);
	return drained;
}

/**
 * swipetype_exit() - finish typing, stop the timer, release every key
 *
 * Refuses new events first (under buffer_lock, so a swipe being queued is
 * queued whole or refused whole), then waits until the timer has typed
 * what the ring holds, at most SWIPE_DRAIN_TIMEOUT jiffies.  Then the
 * timer is stopped, events still queued after that bound are dropped,
 * and a key left pressed is released on its device.
 *
 * Context: process context (sleeps; waits for a running callback).
 * Return: the number of events dropped (0 when the ring drained).
 */
int swipetype_exit(void)
{
	unsigned long flags;
	unsigned int code;
	int dropped;

	spin_lock_irqsave(&buffer_lock, flags);
	output_closed = true;
	spin_unlock_irqrestore(&buffer_lock, flags);

	wait_event_timeout(drain_wait, ring_drained(), SWIPE_DRAIN_TIMEOUT);

	spin_lock_irqsave(&buffer_lock, flags);
	output_stopped = true;
	spin_unlock_irqrestore(&buffer_lock, flags);
	msr_timer_delete_sync(&delyd_timer);

	/* The timer is stopped and nothing queues: no one else is here. */
	spin_lock_irqsave(&buffer_lock, flags);
	dropped = (writepos - readpos + SWIPE_QUEUE_SIZE) % SWIPE_QUEUE_SIZE;
	readpos = 0;
	writepos = 0;
	for (code = 0; code < ARRAY_SIZE(key_down); code++) {
		if (!key_down[code])
			continue;
		input_event(key_down[code], EV_KEY, code, 0);
		input_sync(key_down[code]);
		key_down[code] = NULL;
	}
	spin_unlock_irqrestore(&buffer_lock, flags);
	return dropped;
}

/**
 * inverttrack() - reverse a bit stream
 * @orgtrack: @size bytes of the stream
 * @reversetrack: receives the stream read from its other end
 * @size: number of bytes
 *
 * Byte i with its bit order reversed goes to position @size - 1 - i.
 */
void inverttrack(const unsigned char *orgtrack, unsigned char *reversetrack,
		 unsigned char size)
{
	unsigned int i, bit;
	unsigned char b, r;

	for (i = 0; i < size; i++) {
		b = orgtrack[i];
		r = 0;
		for (bit = 0; bit < 8; bit++)
			if (b & (1u << bit))
				r |= 0x80u >> bit;
		reversetrack[size - 1 - i] = r;
	}
}

/**
 * presskeys() - type one kbd_scancode entry
 * @idev: input device
 * @kcode: the entry; an entry of 0 types key code 0
 *
 * The whole group of events is queued, or none of it when the ring is
 * full, so that no key or modifier is left pressed.
 */
void presskeys(struct input_dev *idev, u16 kcode)
{
	unsigned long flags;

	spin_lock_irqsave(&buffer_lock, flags);
	if (queue_has_room(keys_size(kcode)))
		put_keys(idev, kcode);
	spin_unlock_irqrestore(&buffer_lock, flags);
}

/**
 * swipe_record_size() - bytes a SwipeRecord needs for its announced tracks
 * @msr_data: at least the three length bytes of the record
 *
 * Length bytes beyond the room of their region count as that room, as in
 * swipetype().  Return: the end offset of the last announced track (at
 * least the three length bytes).
 */
size_t swipe_record_size(const unsigned char *msr_data)
{
	size_t need = SWIPE_TRACK1_OFFSET;

	if (msr_data[0])
		need = SWIPE_TRACK1_OFFSET + min_t(size_t, msr_data[0], SWIPE_TRACK1_ROOM);
	if (msr_data[1])
		need = SWIPE_TRACK2_OFFSET + min_t(size_t, msr_data[1], SWIPE_TRACK2_ROOM);
	if (msr_data[2])
		need = SWIPE_TRACK3_OFFSET + msr_data[2];
	return need;
}

/* One decoded track of a swipe, kept until the whole swipe is counted. */
struct decoded_track {
	int length;			/* characters; 0 also for an absent track */
	bool present;
	unsigned char start, end;	/* sentinels */
	unsigned char chars[CDECODE_MAX_CHARS];
};

/* Return the number of events that type @t: sentinels, characters, Enter. */
static int track_size(const struct decoded_track *t)
{
	int i, n = keys_size(kbd_scancode[t->start]) + keys_size(kbd_scancode[t->end]) + 2;

	for (i = 0; i < t->length; i++)
		n += keys_size(kbd_scancode[t->chars[i]]);
	return n;
}

/* Append the events that type @t; caller holds buffer_lock and has checked
 * the room for track_size(@t) events. */
static void put_track(struct input_dev *idev, const struct decoded_track *t)
{
	int i;

	put_keys(idev, kbd_scancode[t->start]);
	for (i = 0; i < t->length; i++)
		put_keys(idev, kbd_scancode[t->chars[i]]);
	put_keys(idev, kbd_scancode[t->end]);
	put_event(idev, SWIPE_PRESS | KEY_ENTER);
	put_event(idev, KEY_ENTER);
}

/**
 * swipetype() - type the tracks of one swipe, all of them or nothing
 * @idev: input device that reports the keys
 * @msr_data: a SwipeRecord, at least swipe_record_size() bytes long
 *
 * Every track with a non-zero length is decoded (reversed reading first,
 * forward reading when that fails); a track that decodes in neither
 * direction is typed with what the decoder delivers.  A length byte beyond
 * the room of its region is clamped to that room.  Then, when the ring has
 * room for every event of the swipe, each track is queued as its start
 * sentinel, characters, end sentinel and Enter; otherwise nothing is: a
 * card number typed in part would be wrong data that nobody notices.
 *
 * Context: one call at a time (the decoder keeps per-swipe state); about
 * 1 KB of stack.  Return: 0 when the swipe was queued, -ENOSPC when the
 * ring lacks the room now, -ENODEV when the driver is unloading,
 * -EMSGSIZE when the swipe needs more events than the ring can ever hold.
 */
int swipetype(struct input_dev *idev, const unsigned char *msr_data)
{
	static const struct {
		unsigned int offset;
		unsigned int room;
	} regions[3] = {
		{ SWIPE_TRACK1_OFFSET, SWIPE_TRACK1_ROOM },
		{ SWIPE_TRACK2_OFFSET, SWIPE_TRACK2_ROOM },
		{ SWIPE_TRACK3_OFFSET, SWIPE_TRACK3_ROOM },
	};
	struct decoded_track tracks[3];
	unsigned char reversetrack[256];
	char pCARD_TYPE = 0;
	const unsigned char *data;
	unsigned long flags;
	unsigned char len;
	int i, events = 0, ret = 0;

	CDecode_CDecode();
	for (i = 0; i < 3; i++) {
		struct decoded_track *t = &tracks[i];

		len = min_t(unsigned int, msr_data[i], regions[i].room);
		t->present = len != 0;
		t->length = 0;
		if (!t->present)
			continue;
		t->start = t->end = 0;
		data = msr_data + regions[i].offset;
		inverttrack(data, reversetrack, len);
		if (CDecode_InterpreteSingleTrack(i + 1, len, reversetrack, &t->start,
						  &t->end, CDECODE_FORMAT_ISO, &pCARD_TYPE))
			CDecode_InterpreteSingleTrack(i + 1, len, data, &t->start, &t->end,
						      CDECODE_FORMAT_ISO, &pCARD_TYPE);
		t->length = clamp(CDecode_GetTrackData(t->chars), 0, CDECODE_MAX_CHARS);
		events += track_size(t);
	}
	if (events > SWIPE_QUEUE_ROOM)
		return -EMSGSIZE;

	spin_lock_irqsave(&buffer_lock, flags);
	if (output_closed) {
		ret = -ENODEV;
	} else if (queue_has_room(events)) {
		for (i = 0; i < 3; i++)
			if (tracks[i].present)
				put_track(idev, &tracks[i]);
	} else {
		ret = -ENOSPC;
	}
	spin_unlock_irqrestore(&buffer_lock, flags);
	return ret;
}
