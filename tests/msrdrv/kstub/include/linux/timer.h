/*
 * Stand-in for linux/timer.h: timers in a list that the tests fire by
 * advancing jiffies.  The interface generation follows LINUX_VERSION_CODE:
 * init_timer/setup_timer and del_timer before 4.15/6.2, timer_setup and
 * timer_delete after (the old removal names are absent there, as in
 * current kernels).
 */
#ifndef KSTUB_LINUX_TIMER_H
#define KSTUB_LINUX_TIMER_H

#include <linux/version.h>
/* The C library has a timer_delete() of its own: declare it first, then
 * give the kernel one a name of its own. */
#include <time.h>
#define timer_delete kstub_timer_delete
#define timer_delete_sync kstub_timer_delete_sync

struct timer_list {
	unsigned long expires;
#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 15, 0)
	void (*function)(unsigned long);
	unsigned long data;
#else
	void (*function)(struct timer_list *);
	unsigned int flags;
#endif
};

#ifdef __cplusplus
extern "C" {
#endif
void add_timer(struct timer_list *timer);
int mod_timer(struct timer_list *timer, unsigned long expires);
int timer_pending(const struct timer_list *timer);
#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 15, 0)
void init_timer(struct timer_list *timer);
void setup_timer(struct timer_list *timer, void (*function)(unsigned long),
		 unsigned long data);
#else
void timer_setup(struct timer_list *timer, void (*function)(struct timer_list *),
		 unsigned int flags);
#endif
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 2, 0)
int del_timer(struct timer_list *timer);
int del_timer_sync(struct timer_list *timer);
#else
int timer_delete(struct timer_list *timer);
int timer_delete_sync(struct timer_list *timer);
#endif
#ifdef __cplusplus
}
#endif

#endif
