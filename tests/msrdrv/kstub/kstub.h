// Test-side view of the kernel stand-in: recorded input events, recorded
// timer calls and a jiffies count that only the test advances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct input_dev;

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

}  // namespace kstub
