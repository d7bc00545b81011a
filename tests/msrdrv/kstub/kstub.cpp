// The kernel stand-in: input_event, timers, jiffies and spin locks for the
// kernel C sources built in user space.
#include "kstub.h"

#include <linux/input.h>
#include <linux/jiffies.h>
#include <linux/miscdevice.h>
#include <linux/spinlock.h>
#include <linux/timer.h>
#include <linux/wait.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

std::mutex state_mutex;  // guards everything below except the_jiffies
std::atomic<unsigned long> the_jiffies{1000};
std::vector<kstub::Event> recorded_events;
std::vector<kstub::TimerCall> recorded_calls;
std::vector<timer_list *> pending;
timer_list *running = nullptr;
std::function<void()> callback_hook;
std::atomic<int> waiting_syncs{0};
std::map<kstub::Step, int> failures;	// step -> error of its next call
std::set<input_dev *> live_devices, registered_devices, dead_devices;
miscdevice *registered_misc = nullptr;
std::vector<std::string> recorded_faults;
std::condition_variable wakeups;	// wake_up() and ticks
unsigned long wakeup_count = 0;
int sleeping = 0;			// threads in kstub_wait_sleep
unsigned long sleeps_begun = 0;

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
	// Like the kernel, no promise when the running callback re-arms the
	// timer meanwhile: callers must keep it from doing so.
	if (sync)
		++waiting_syncs;
	while (sync && running == timer) {
		lock.unlock();
		std::this_thread::yield();
		lock.lock();
	}
	if (sync)
		--waiting_syncs;
	return was_pending;
}

// Caller holds state_mutex.  Returns the error injected for @step, or 0.
int take_failure(kstub::Step step)
{
	auto it = failures.find(step);
	if (it == failures.end())
		return 0;
	int err = it->second;
	failures.erase(it);
	return err;
}

// Caller holds state_mutex.
void release_device(input_dev *dev)
{
	live_devices.erase(dev);
	dead_devices.insert(dev);
	delete dev;
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
	if (dead_devices.count(dev))
		recorded_faults.push_back("event on an input device that is gone");
	recorded_events.push_back({type, code, value, the_jiffies.load(), dev});
}

struct input_dev *input_allocate_device(void)
{
	std::lock_guard lock(state_mutex);
	if (take_failure(kstub::Step::AllocInput))
		return nullptr;
	auto *dev = new input_dev{};
	live_devices.insert(dev);
	dead_devices.erase(dev);
	return dev;
}

void input_free_device(struct input_dev *dev)
{
	std::lock_guard lock(state_mutex);
	if (!dev)
		return;
	if (registered_devices.count(dev))
		recorded_faults.push_back("input_free_device on a registered device");
	else if (!live_devices.count(dev))
		recorded_faults.push_back("input_free_device on a device not allocated");
	else
		release_device(dev);
}

int input_register_device(struct input_dev *dev)
{
	std::lock_guard lock(state_mutex);
	if (int err = take_failure(kstub::Step::RegisterInput))
		return err;
	registered_devices.insert(dev);
	return 0;
}

void input_unregister_device(struct input_dev *dev)
{
	std::lock_guard lock(state_mutex);
	if (!registered_devices.erase(dev)) {
		recorded_faults.push_back("input_unregister_device on a device not registered");
		return;
	}
	if (!pending.empty() || running)
		recorded_faults.push_back("a timer pending or running when the input device went away");
	release_device(dev);
}

int misc_register(struct miscdevice *misc)
{
	std::lock_guard lock(state_mutex);
	if (int err = take_failure(kstub::Step::RegisterMisc))
		return err;
	if (registered_misc)
		recorded_faults.push_back("a second misc device registered");
	registered_misc = misc;
	return 0;
}

void misc_deregister(struct miscdevice *misc)
{
	std::lock_guard lock(state_mutex);
	if (registered_misc != misc)
		recorded_faults.push_back("misc_deregister on a device not registered");
	registered_misc = nullptr;
}

void wake_up(wait_queue_head_t *wq)
{
	(void)wq;
	std::lock_guard lock(state_mutex);
	++wakeup_count;
	wakeups.notify_all();
}

unsigned long kstub_wait_ticket(void)
{
	std::lock_guard lock(state_mutex);
	return wakeup_count;
}

void kstub_wait_sleep(wait_queue_head_t *wq, unsigned long ticket)
{
	(void)wq;
	std::unique_lock lock(state_mutex);
	if (held_locks > 0)
		recorded_faults.push_back("slept holding a spin lock");
	if (in_callback)
		recorded_faults.push_back("slept in a timer callback");
	if (wakeup_count != ticket)
		return;
	++sleeping;
	++sleeps_begun;
	wakeups.wait(lock, [&] { return wakeup_count != ticket; });
	--sleeping;
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
	recorded_faults.clear();
	failures.clear();
}

void stall(unsigned steps)
{
	std::lock_guard lock(state_mutex);
	the_jiffies += steps;
	++wakeup_count;
	wakeups.notify_all();
}

int sleepers()
{
	std::lock_guard lock(state_mutex);
	return sleeping;
}

unsigned long sleeps()
{
	std::lock_guard lock(state_mutex);
	return sleeps_begun;
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
			std::function<void()> hook;
			{
				std::lock_guard lock(state_mutex);
				running = timer;
				hook = callback_hook;
			}
			if (hook)
				hook();
			run_callback(timer);
			std::lock_guard lock(state_mutex);
			running = nullptr;
		}
		// Sleepers look again once the tick's callbacks are done.
		std::lock_guard lock(state_mutex);
		++wakeup_count;
		wakeups.notify_all();
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

void on_callback_start(std::function<void()> hook)
{
	std::lock_guard lock(state_mutex);
	callback_hook = std::move(hook);
}

int sync_waiters()
{
	return waiting_syncs.load();
}

void fail_next(Step step, int err)
{
	std::lock_guard lock(state_mutex);
	failures[step] = err;
}

int live_input_devices()
{
	std::lock_guard lock(state_mutex);
	return static_cast<int>(live_devices.size());
}

int registered_input_devices()
{
	std::lock_guard lock(state_mutex);
	return static_cast<int>(registered_devices.size());
}

miscdevice *misc_device()
{
	std::lock_guard lock(state_mutex);
	return registered_misc;
}

std::vector<std::string> faults()
{
	std::lock_guard lock(state_mutex);
	return recorded_faults;
}

}  // namespace kstub
