// The delayed key event queue: pacing, order, wrap-around, the full ring,
// the synchronisation after each key, and the timer discipline.
#include "msrdrv_test_util.h"

using namespace msrtest;
using kstub::TimerOp;

namespace {

class Queue : public QueueFixture {};

int count_calls(TimerOp op, bool from_callback)
{
	int n = 0;
	for (const auto &c : kstub::timer_calls())
		n += c.op == op && c.in_callback == from_callback;
	return n;
}

TEST_F(Queue, OneEventIsReportedTwoJiffiesLaterAndTheTimerIdles)
{
	unsigned long start = kstub::now();
	intobuffer(&dev, 0x11C);
	kstub::tick();
	EXPECT_TRUE(kstub::events().empty());
	kstub::tick();
	auto ev = kstub::events();
	ASSERT_EQ(ev.size(), 2u);
	EXPECT_EQ(ev[0].type, EV_KEY);
	EXPECT_EQ(ev[0].code, KEY_ENTER);
	EXPECT_EQ(ev[0].value, 1);
	EXPECT_EQ(ev[0].dev, &dev);
	EXPECT_EQ(ev[0].at, start + 2);
	EXPECT_EQ(ev[1].type, EV_SYN);
	EXPECT_EQ(ev[1].code, SYN_REPORT);
	EXPECT_FALSE(kstub::any_timer_pending());
	EXPECT_EQ(count_calls(TimerOp::Mod, true), 0);
}

TEST_F(Queue, SixEventsAreReportedInOrderOnePerTwoJiffies)
{
	const std::vector<uint16_t> values = {0x12A, 0x133, 0x33, 0x2A, 0x102, 0x02};
	for (uint16_t v : values)
		intobuffer(&dev, v);
	kstub::drain();

	EXPECT_EQ(reported_values(), values);
	auto ev = kstub::events();
	for (size_t i = 2; i < ev.size(); i += 2)
		EXPECT_EQ(ev[i].at - ev[i - 2].at, 2u) << "key event " << i / 2;
	EXPECT_EQ(count_calls(TimerOp::Mod, false), 1) << "armed once by the producer";
	EXPECT_EQ(count_calls(TimerOp::Mod, true), 5) << "re-armed by the callback";
	EXPECT_EQ(count_calls(TimerOp::Setup, false), 0) << "never re-initialised";
}

TEST_F(Queue, EventsQueuedWhileDrainingFollowWithoutTouchingTheTimer)
{
	intobuffer(&dev, 0x11E);
	intobuffer(&dev, 0x1E);
	kstub::tick(2);
	auto before = kstub::timer_calls().size();
	intobuffer(&dev, 0x130);
	intobuffer(&dev, 0x30);
	EXPECT_EQ(kstub::timer_calls().size(), before);
	kstub::drain();
	EXPECT_EQ(reported_values(), (std::vector<uint16_t>{0x11E, 0x1E, 0x130, 0x30}));
}

TEST_F(Queue, ReportsKeyCodeAndPressFromTheQueuedValue)
{
	struct {
		int value;
		unsigned code;
		int press;
	} cases[] = {
		{0x164, 100, 1},
		{0x64, 100, 0},
		{0x00, 0, 0},
		{0x11C, 28, 1},
		{0xFF01, 1, 1},		// any bit of 8-15 marks a press
		{0x10005, 5, 0},	// only the low 16 bits are kept
	};
	for (const auto &c : cases)
		intobuffer(&dev, c.value);
	kstub::drain();
	auto ev = kstub::events();
	ASSERT_EQ(ev.size(), 2 * std::size(cases));
	for (size_t i = 0; i < std::size(cases); ++i) {
		EXPECT_EQ(ev[2 * i].code, cases[i].code) << "value " << std::hex << cases[i].value;
		EXPECT_EQ(ev[2 * i].value, cases[i].press) << "value " << std::hex << cases[i].value;
	}
}

TEST_F(Queue, BothIndicesWrapFromTheLastEntryToTheFirst)
{
	std::vector<uint16_t> expected;
	for (int round = 0; round < 3; ++round) {
		for (int i = 0; i < 700; ++i) {
			uint16_t v = static_cast<uint16_t>(((i & 1) << 8) | ((i + round) & 0xff));
			intobuffer(&dev, v);
			expected.push_back(v);
		}
		kstub::drain();
	}
	EXPECT_EQ(reported_values(), expected);
}

TEST_F(Queue, AFullRingDropsNewEventsAndIsNeverOverwritten)
{
	std::vector<uint16_t> expected;
	for (int i = 0; i < SWIPE_QUEUE_SIZE + 5; ++i) {
		uint16_t v = static_cast<uint16_t>(i & 0xff);
		intobuffer(&dev, v);
		if (i < SWIPE_QUEUE_SIZE - 1)
			expected.push_back(v);
	}
	EXPECT_EQ(count_calls(TimerOp::Mod, false), 1) << "a full ring must not look empty";
	kstub::drain();
	EXPECT_EQ(reported_values(), expected);

	kstub::reset();
	intobuffer(&dev, 0x11C);
	kstub::drain();
	EXPECT_EQ(reported_values(), std::vector<uint16_t>{0x11C}) << "usable again once drained";
}

TEST_F(Queue, TimerIsOnlyTouchedUnderTheLockAndNeverWaitedForInAtomicContext)
{
	for (int burst = 0; burst < 2; ++burst) {
		for (int i = 0; i < 4; ++i)
			intobuffer(&dev, 0x100 | i);
		kstub::drain();
	}
	swipetype_exit();
	bool saw_sync_delete = false;
	for (const auto &c : kstub::timer_calls()) {
		if (c.op == TimerOp::DeleteSync) {
			saw_sync_delete = true;
			EXPECT_FALSE(c.locked) << "waited for the timer holding a spin lock";
			EXPECT_FALSE(c.in_callback) << "waited for the timer from its callback";
		} else {
			EXPECT_TRUE(c.locked) << "timer call outside buffer_lock at jiffy " << c.at;
		}
	}
	EXPECT_TRUE(saw_sync_delete);
	EXPECT_EQ(count_calls(TimerOp::Setup, false), 0);
	swipetype_init();
}

}  // namespace
