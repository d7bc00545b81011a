/*
 * Stand-in for linux/spinlock.h.  A spin lock is a real mutex, so that
 * threaded tests exercise the exclusion; the stand-in also tracks how
 * deep the calling thread holds locks, which counts as atomic context.
 */
#ifndef KSTUB_LINUX_SPINLOCK_H
#define KSTUB_LINUX_SPINLOCK_H

#include <pthread.h>

typedef struct {
	pthread_mutex_t mutex;
} spinlock_t;

#define DEFINE_SPINLOCK(x) spinlock_t x = { PTHREAD_MUTEX_INITIALIZER }

#ifdef __cplusplus
extern "C" {
#endif
unsigned long kstub_spin_lock_irqsave(spinlock_t *lock);
void kstub_spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);
#ifdef __cplusplus
}
#endif

#define spin_lock_irqsave(lock, flags) \
	do { (flags) = kstub_spin_lock_irqsave(lock); } while (0)
#define spin_unlock_irqrestore(lock, flags) \
	kstub_spin_unlock_irqrestore((lock), (flags))

#endif
