// The module around swipetype (msrdrv_main.c): init and its unwinding, the
// checks of the swipe device's write, records batched in one write, and
// the unload while a swipe types.
#include "msrdrv_test_util.h"

#include <atomic>
#include <thread>

#include <linux/miscdevice.h>

using namespace msrtest;

namespace {

class Module : public ::testing::Test {
protected:
	void SetUp() override { kstub::reset(); }
	void TearDown() override
	{
		EXPECT_EQ(kstub::faults(), std::vector<std::string>{});
		EXPECT_EQ(kstub::live_input_devices(), 0);
		EXPECT_FALSE(kstub::any_timer_pending());
	}
	static ssize_t write(const Bytes &record)
	{
		loff_t pos = 0;
		const miscdevice *misc = kstub::misc_device();
		return misc->fops->write(nullptr, reinterpret_cast<const char *>(record.data()),
					 record.size(), &pos);
	}
	// Runs the module's exit on its own thread and @advance (a tick or a
	// stall) in lock step with it: each step waits until the exit has
	// looked at the ring again.  Returns the steps taken.
	template <typename F>
	static unsigned exit_stepping(F advance, unsigned max_steps = 100000)
	{
		std::atomic<bool> exited{false};
		std::thread exiter([&] {
			kstub_module_exit();
			exited.store(true);
		});
		unsigned steps = 0;
		while (!exited.load() && kstub::sleepers() == 0)
			std::this_thread::yield();
		while (!exited.load() && steps < max_steps) {
			unsigned long slept = kstub::sleeps();
			advance();
			++steps;
			while (!exited.load() && kstub::sleeps() == slept)
				std::this_thread::yield();
		}
		exiter.join();
		return steps;
	}
	// What the track 2 swipe ";1234?" types.
	const std::vector<uint16_t> typed_1234 = {0x12A, 0x133, 0x33, 0x2A, 0x102, 0x02,
						  0x103, 0x03, 0x104, 0x04, 0x105, 0x05,
						  0x12A, 0x10C, 0x0C, 0x2A, 0x11C, 0x1C};
};

TEST_F(Module, InitFailingAtEachStepUndoesWhatItDid)
{
	struct {
		kstub::Step step;
		int err, result;
	} cases[] = {
		{kstub::Step::AllocInput, -ENOMEM, -ENOMEM},
		{kstub::Step::RegisterInput, -ENODEV, -ENODEV},
		{kstub::Step::RegisterMisc, -EBUSY, -EBUSY},
	};
	for (const auto &c : cases) {
		kstub::fail_next(c.step, c.err);
		EXPECT_EQ(kstub_module_init(), c.result);
		EXPECT_EQ(kstub::live_input_devices(), 0) << "error " << c.err;
		EXPECT_EQ(kstub::registered_input_devices(), 0) << "error " << c.err;
		EXPECT_EQ(kstub::misc_device(), nullptr) << "error " << c.err;
	}
	ASSERT_EQ(kstub_module_init(), 0);
	EXPECT_EQ(kstub::registered_input_devices(), 1);
	EXPECT_NE(kstub::misc_device(), nullptr);
	kstub_module_exit();
	EXPECT_EQ(kstub::misc_device(), nullptr);
}

TEST_F(Module, WriteTakesOneWholeRecordAndTellsWhenTheRingIsFull)
{
	ASSERT_EQ(kstub_module_init(), 0);
	Bytes t2 = pack(encode_bits(2, ";1234?"));
	Bytes swipe = make_record({}, t2, {});
	Bytes padded = swipe;
	padded.resize(SWIPE_RECORD_MAX, 0);
	Bytes t1_short = make_record({0x55, 0x55}, {}, {});
	t1_short.pop_back();
	Bytes t3_short = make_record({}, {}, {1, 2, 3});
	t3_short.pop_back();
	struct {
		const char *what;
		Bytes record;
		ssize_t result;
	} cases[] = {
		{"two bytes", Bytes(2, 0), -EINVAL},
		{"shorter than its track 1", t1_short, -EINVAL},
		{"shorter than its track 3", t3_short, -EINVAL},
		{"no track", Bytes(3, 0), 3},
		{"no track, longer than any record", Bytes(SWIPE_RECORD_MAX + 1, 0),
		 SWIPE_TRACK3_OFFSET},
		{"track 2, cut after it", swipe, static_cast<ssize_t>(swipe.size())},
		{"track 2, padded past its record", padded, SWIPE_TRACK3_OFFSET},
	};
	for (const auto &c : cases)
		EXPECT_EQ(write(c.record), c.result) << c.what;

	// Behind the two swipes just queued, fill the ring to one event short
	// of a third: it is refused, and nothing of it is typed.
	input_dev filler{};
	for (int i = 0; i < SWIPE_QUEUE_SIZE - 1 - 2 * 18 - 17; ++i)
		intobuffer(&filler, KEY_SPACE);
	EXPECT_EQ(write(swipe), -ENOSPC);
	kstub::drain();
	std::vector<uint16_t> expected = typed_1234;
	expected.insert(expected.end(), typed_1234.begin(), typed_1234.end());
	expected.resize(SWIPE_QUEUE_SIZE - 1 - 17, KEY_SPACE);
	EXPECT_EQ(reported_values(), expected);
	kstub_module_exit();
}

// A writer that batches records (a stdio stream) writes whatever the
// result says was not taken yet: every swipe is typed, in order, and the
// last record may stop after its last announced track.
TEST_F(Module, BatchedRecordsAreTakenOneAtATime)
{
	ASSERT_EQ(kstub_module_init(), 0);
	Bytes t2 = pack(encode_bits(2, ";1234?"));
	Bytes t3 = pack(encode_bits(3, ";1234?"));
	Bytes whole_t2 = make_record({}, t2, {});
	whole_t2.resize(SWIPE_TRACK3_OFFSET, 0xEE);	// padding is not read
	Bytes with_t3 = make_record({}, {}, t3);
	Bytes last_cut = make_record({}, t2, {});
	Bytes batch;
	for (const Bytes *r : {&whole_t2, &with_t3, &whole_t2, &last_cut})
		batch.insert(batch.end(), r->begin(), r->end());

	std::vector<ssize_t> results;
	for (size_t off = 0; off < batch.size();) {
		ssize_t r = write(Bytes(batch.begin() + off, batch.end()));
		results.push_back(r);
		if (r <= 0)
			break;
		off += r;
	}
	EXPECT_EQ(results, (std::vector<ssize_t>{SWIPE_TRACK3_OFFSET,
						 static_cast<ssize_t>(with_t3.size()),
						 SWIPE_TRACK3_OFFSET,
						 static_cast<ssize_t>(last_cut.size())}));
	kstub::drain();
	std::vector<uint16_t> expected;
	for (int i = 0; i < 4; ++i)
		expected.insert(expected.end(), typed_1234.begin(), typed_1234.end());
	EXPECT_EQ(reported_values(), expected);
	kstub_module_exit();
}

// Unloading while a swipe types: new swipes are refused at once, the one
// being typed is typed to its end, then the timer stops.
TEST_F(Module, ExitLetsTheSwipeBeingTypedFinishAndRefusesNewOnes)
{
	ASSERT_EQ(kstub_module_init(), 0);
	const file_operations *fops = kstub::misc_device()->fops;
	Bytes swipe = make_record({}, pack(encode_bits(2, ";1234?")), {});
	ASSERT_EQ(write(swipe), static_cast<ssize_t>(swipe.size()));
	kstub::tick(2 * 3);

	bool refused = false;
	unsigned steps = exit_stepping([&] {
		if (!refused) {
			// A file opened before the unload writes on: refused, and
			// nothing is queued.
			loff_t pos = 0;
			EXPECT_EQ(fops->write(nullptr, reinterpret_cast<const char *>(swipe.data()),
					      swipe.size(), &pos), -ENODEV);
			input_dev other{};
			intobuffer(&other, KEY_SPACE);
			refused = true;
		}
		kstub::tick();
	});
	EXPECT_EQ(reported_values(), typed_1234);
	EXPECT_EQ(steps, 2u * (typed_1234.size() - 3)) << "ticks until the exit returned";
	EXPECT_FALSE(kstub::any_timer_pending());
}

// A timer that runs far too late (or not at all) does not hold the unload
// beyond the time a full ring takes, and no key is left pressed.
TEST_F(Module, ExitGivesUpAfterAFullRingsTimeAndReleasesHeldKeys)
{
	ASSERT_EQ(kstub_module_init(), 0);
	Bytes swipe = make_record({}, pack(encode_bits(2, ";1234?")), {});
	ASSERT_EQ(write(swipe), static_cast<ssize_t>(swipe.size()));
	kstub::tick(2);		// Shift of ';' is down

	unsigned stalled = 10 * exit_stepping([] { kstub::stall(10); });
	EXPECT_EQ(reported_values(), (std::vector<uint16_t>{0x12A, 0x2A}));
	const unsigned full_ring = 2 * (SWIPE_QUEUE_SIZE - 1);
	EXPECT_GE(stalled, full_ring);
	EXPECT_LE(stalled, full_ring + 2 * HZ);
}

// The timer callback is reporting an event as the bounded wait ends: the
// exit waits for it, it does not re-arm, and the exit then releases what
// it left pressed.
TEST_F(Module, ExitWhileTheTimerCallbackRunsLeavesNothingArmed)
{
	ASSERT_EQ(kstub_module_init(), 0);
	Bytes swipe = make_record({}, pack(encode_bits(2, ";1234?")), {});
	ASSERT_EQ(write(swipe), static_cast<ssize_t>(swipe.size()));
	std::thread exiter;
	kstub::on_callback_start([&] {
		if (exiter.joinable())
			return;
		exiter = std::thread(kstub_module_exit);
		while (kstub::sleepers() == 0)
			std::this_thread::yield();
		kstub::stall(1u << 20);
		while (kstub::sync_waiters() == 0)
			std::this_thread::yield();
	});
	kstub::tick(2);
	kstub::on_callback_start(nullptr);
	ASSERT_TRUE(exiter.joinable());
	exiter.join();
	EXPECT_FALSE(kstub::any_timer_pending()) << "the callback re-armed the timer during exit";
	EXPECT_EQ(reported_values(), (std::vector<uint16_t>{0x12A, 0x2A}))
	    << "the event being reported, then the release of its Shift";
}

}  // namespace
