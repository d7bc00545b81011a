// The module around swipetype (msrdrv_main.c): init and its unwinding, the
// checks of the swipe device's write, and the order of the exit.
#include "msrdrv_test_util.h"

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
		{"longer than any record", Bytes(SWIPE_RECORD_MAX + 1, 0), -EINVAL},
		{"shorter than its track 1", t1_short, -EINVAL},
		{"shorter than its track 3", t3_short, -EINVAL},
		{"no track", Bytes(3, 0), 3},
		{"track 2", swipe, static_cast<ssize_t>(swipe.size())},
		{"track 2, zero padded", padded, SWIPE_RECORD_MAX},
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
	const std::vector<uint16_t> one = {0x12A, 0x133, 0x33, 0x2A, 0x102, 0x02,
					   0x103, 0x03, 0x104, 0x04, 0x105, 0x05,
					   0x12A, 0x10C, 0x0C, 0x2A, 0x11C, 0x1C};
	std::vector<uint16_t> expected = one;
	expected.insert(expected.end(), one.begin(), one.end());
	expected.resize(SWIPE_QUEUE_SIZE - 1 - 17, KEY_SPACE);
	EXPECT_EQ(reported_values(), expected);
	kstub_module_exit();
}

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
		while (kstub::sync_waiters() == 0)
			std::this_thread::yield();
	});
	kstub::tick(2);
	kstub::on_callback_start(nullptr);
	ASSERT_TRUE(exiter.joinable());
	exiter.join();
	EXPECT_FALSE(kstub::any_timer_pending()) << "the callback re-armed the timer during exit";
	EXPECT_EQ(kstub::event_count(), 2u) << "only the event that was being reported";
}

}  // namespace
