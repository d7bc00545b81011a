/* Stand-in for linux/mutex.h: a real mutex. */
#ifndef KSTUB_LINUX_MUTEX_H
#define KSTUB_LINUX_MUTEX_H

#include <pthread.h>

struct mutex {
	pthread_mutex_t m;
};

#define DEFINE_MUTEX(x) struct mutex x = { PTHREAD_MUTEX_INITIALIZER }

static inline int mutex_lock_interruptible(struct mutex *lock)
{
	return pthread_mutex_lock(&lock->m) ? -1 : 0;
}

static inline void mutex_unlock(struct mutex *lock)
{
	pthread_mutex_unlock(&lock->m);
}

#endif
