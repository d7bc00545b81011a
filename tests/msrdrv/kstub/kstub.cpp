// The kernel stand-in: input_event, timers, jiffies and spin locks for the
// kernel C sources built in user space.
#include "kstub.h"

#include <linux/input.h>
#include <linux/jiffies.h>
#include <linux/spinlock.h>
#include <linux/timer.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace {

std::mutex state_mutex;  // guards everything below except the_jiffies
std::atomic<unsigned long> the_jiffies{1000};
std::vector<kstub::Event> recorded_events;
std::vector<kstub::TimerCall> recorded_calls;
std::vector<timer_list *> pending;
timer_list *running = nullptr;

// Ticks a timer runs after its expiry: since the timer wheel rework of 4.8
// every expiry is rounded up by one tick, so that a timer armed for
// jiffies + n runs on tick n + 1; before, it ran on tick n.
#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 8, 0)
constexpr long kWheelRounding = 0;
#else
constexpr long kWheelRounding = 1;
#endif

thread_local int held_locks = 0;
thread_local bool in_callback = false;

// Caller holds state_mutex.
void record_call(kstub::TimerOp op)
{
	recorded_calls.push_back({op, held_locks > 0, in_callback, the_jiffies.load()});
}

// Caller holds state_mutex.  Returns whether the timer was pending.
bool unlink_timer(timer_list *timer)
{
	auto it = std::find(pending.begin(), pending.end(), timer);
	if (it == pending.end())
		return false;
	pending.erase(it);
	return true;
}

void run_callback(timer_list *timer)
{
	in_callback = true;
#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 15, 0)
	timer->function(timer->data);
#else
	timer->function(timer);
#endif
	in_callback = false;
}

int delete_timer(timer_list *timer, bool sync)
{
	std::unique_lock lock(state_mutex);
	record_call(sync ? kstub::TimerOp::DeleteSync : kstub::TimerOp::Delete);
	bool was_pending = unlink_timer(timer);
	while (sync && running == timer) {
		lock.unlock();
		std::this_thread::yield();
		lock.lock();
	}
	return was_pending;
}

}  // namespace

extern "C" {

unsigned long kstub_jiffies(void)
{
	return the_jiffies.load();
}

unsigned long kstub_spin_lock_irqsave(spinlock_t *lock)
{
	pthread_mutex_lock(&lock->mutex);
	return static_cast<unsigned long>(++held_locks);
}

void kstub_spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags)
{
	(void)flags;
	--held_locks;
	pthread_mutex_unlock(&lock->mutex);
}

void input_event(struct input_dev *dev, unsigned int type, unsigned int code, int value)
{
	std::lock_guard lock(state_mutex);
	recorded_events.push_back({type, code, value, the_jiffies.load(), dev});
}

void add_timer(struct timer_list *timer)
{
	std::lock_guard lock(state_mutex);
	record_call(kstub::TimerOp::Add);
	if (std::find(pending.begin(), pending.end(), timer) == pending.end())
		pending.push_back(timer);
}

int mod_timer(struct timer_list *timer, unsigned long expires)
{
	std::lock_guard lock(state_mutex);
	record_call(kstub::TimerOp::Mod);
	timer->expires = expires;
	if (unlink_timer(timer)) {
		pending.push_back(timer);
		return 1;
	}
	pending.push_back(timer);
	return 0;
}

int timer_pending(const struct timer_list *timer)
{
	std::lock_guard lock(state_mutex);
	return std::find(pending.begin(), pending.end(), timer) != pending.end();
}

#if LINUX_VERSION_CODE < KERNEL_VERSION(4, 15, 0)
void init_timer(struct timer_list *timer)
{
	std::lock_guard lock(state_mutex);
	record_call(kstub::TimerOp::Setup);
	unlink_timer(timer);
	timer->function = nullptr;
	timer->data = 0;
	timer->expires = 0;
}

void setup_timer(struct timer_list *timer, void (*function)(unsigned long), unsigned long data)
{
	init_timer(timer);
	timer->function = function;
	timer->data = data;
}
#else
void timer_setup(struct timer_list *timer, void (*function)(struct timer_list *),
		 unsigned int flags)
{
	std::lock_guard lock(state_mutex);
	record_call(kstub::TimerOp::Setup);
	unlink_timer(timer);
	timer->function = function;
	timer->flags = flags;
	timer->expires = 0;
}
#endif

#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 2, 0)
int del_timer(struct timer_list *timer)
{
	return delete_timer(timer, false);
}

int del_timer_sync(struct timer_list *timer)
{
	return delete_timer(timer, true);
}
#else
int timer_delete(struct timer_list *timer)
{
	return delete_timer(timer, false);
}

int timer_delete_sync(struct timer_list *timer)
{
	return delete_timer(timer, true);
}
#endif

}  // extern "C"

namespace kstub {

void reset()
{
	std::lock_guard lock(state_mutex);
	recorded_events.clear();
	recorded_calls.clear();
}

void tick(unsigned steps)
{
	for (unsigned i = 0; i < steps; ++i) {
		std::vector<timer_list *> due;
		{
			std::lock_guard lock(state_mutex);
			unsigned long now = ++the_jiffies;
			for (auto it = pending.begin(); it != pending.end();) {
				if (static_cast<long>(now - (*it)->expires) >= kWheelRounding) {
					due.push_back(*it);
					it = pending.erase(it);
				} else {
					++it;
				}
			}
		}
		for (timer_list *timer : due) {
			{
				std::lock_guard lock(state_mutex);
				running = timer;
			}
			run_callback(timer);
			std::lock_guard lock(state_mutex);
			running = nullptr;
		}
	}
}

unsigned drain(unsigned max_steps)
{
	unsigned steps = 0;
	while (any_timer_pending() && steps < max_steps) {
		tick();
		++steps;
	}
	return steps;
}

unsigned long now()
{
	return the_jiffies.load();
}

std::vector<Event> events()
{
	std::lock_guard lock(state_mutex);
	return recorded_events;
}

std::size_t event_count()
{
	std::lock_guard lock(state_mutex);
	return recorded_events.size();
}

std::vector<TimerCall> timer_calls()
{
	std::lock_guard lock(state_mutex);
	return recorded_calls;
}

bool any_timer_pending()
{
	std::lock_guard lock(state_mutex);
	return !pending.empty();
}

int lock_depth()
{
	return held_locks;
}

}  // namespace kstub
