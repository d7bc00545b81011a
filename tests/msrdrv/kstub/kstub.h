// Test-side view of the kernel stand-in: recorded input events, recorded
// timer calls and a jiffies count that only the test advances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct input_dev;
struct miscdevice;

// The module's init and exit (module_init/module_exit of msrdrv_main.c).
extern "C" int kstub_module_init(void);
extern "C" void kstub_module_exit(void);

namespace kstub {

struct Event {
	unsigned type;
	unsigned code;
	int value;
	unsigned long at;	// jiffies when reported
	input_dev *dev;
};

enum class TimerOp { Setup, Add, Mod, Delete, DeleteSync };

struct TimerCall {
	TimerOp op;
	bool locked;		// the calling thread held a spin lock
	bool in_callback;	// called from a timer callback
	unsigned long at;
};

// Forgets recorded events and timer calls; jiffies keeps counting.
void reset();
// Advances jiffies by one per step and runs the callbacks that expire.
void tick(unsigned steps = 1);
// Ticks until no timer is pending (at most max_steps); returns the steps.
unsigned drain(unsigned max_steps = 1u << 16);
unsigned long now();
std::vector<Event> events();
std::size_t event_count();
std::vector<TimerCall> timer_calls();
bool any_timer_pending();
// Lock nesting depth of the calling thread.
int lock_depth();

// Runs @hook on the ticking thread as each timer callback starts (the
// timer counts as running); an empty hook removes it.
void on_callback_start(std::function<void()> hook);
// Threads waiting in a sync delete for a running callback.
int sync_waiters();
// Moves jiffies on by @steps without running any timer, as when the
// timer softirq runs late.
void stall(unsigned steps);
// Threads asleep in wait_event_timeout(), and how often one fell asleep.
int sleepers();
unsigned long sleeps();

// Device set-up calls that can fail: the next such call returns @err
// (input_allocate_device returns NULL).
enum class Step { AllocInput, RegisterInput, RegisterMisc };
void fail_next(Step step, int err);
// Input devices allocated and not yet freed or unregistered.
int live_input_devices();
int registered_input_devices();
// The registered misc device, or nullptr.
miscdevice *misc_device();
// Misuse of the device and timer interfaces seen so far (freeing a
// registered device, an event on a device gone, a timer pending or
// running when an input device is unregistered, sleeping under a spin
// lock or in a timer callback); reset() forgets them.
std::vector<std::string> faults();

}  // namespace kstub
