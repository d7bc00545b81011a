/*
 * Stand-in for linux/wait.h: wait_event_timeout() re-checks its condition
 * whenever wake_up() is called or the test moves jiffies, and gives up
 * once jiffies reach the deadline.  Time moves only when the test says.
 */
#ifndef KSTUB_LINUX_WAIT_H
#define KSTUB_LINUX_WAIT_H

#include <linux/jiffies.h>

typedef struct {
	int unused;
} wait_queue_head_t;

#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = { 0 }

#ifdef __cplusplus
extern "C" {
#endif
void wake_up(wait_queue_head_t *wq);
/* Ticket to take before testing the condition; kstub_wait_sleep() returns
 * at once when a wake_up() or a tick came after it, so none is missed. */
unsigned long kstub_wait_ticket(void);
void kstub_wait_sleep(wait_queue_head_t *wq, unsigned long ticket);
#ifdef __cplusplus
}
#endif

/* Jiffies left (at least 1) when @cond came true, 0 on timeout. */
#define wait_event_timeout(wq, cond, timeout)					\
	({									\
		unsigned long __end = jiffies + (timeout);			\
		unsigned long __ticket;						\
		long __left;							\
		for (;;) {							\
			__ticket = kstub_wait_ticket();				\
			__left = (long)(__end - jiffies);			\
			if (cond) {						\
				__left = __left > 1 ? __left : 1;		\
				break;						\
			}							\
			if (__left <= 0) {					\
				__left = 0;					\
				break;						\
			}							\
			kstub_wait_sleep(&(wq), __ticket);				\
		}								\
		__left;								\
	})

#endif
