// Step mode: a test advances a polling loop exactly one cycle at a time.
#include <atomic>
#include <thread>

#include "sim_test_util.h"

namespace {

constexpr int kTimeoutMs = 10000;

// A loop shaped like the product's: three status reads per cycle, the PS/2
// status first, and a keyboard read when keys are announced.
class StepTest : public SimTest {
protected:
	void StartLoop()
	{
		loop_ = std::thread([this] {
			int ps2 = ::open("/dev/qkbd_stat", O_RDWR);
			int kbd = ::open("/dev/trvposusb_kbdstat", O_RDWR);
			int msr = ::open("/dev/trvposusb_msrstat", O_RDWR);
			int keys = ::open("/dev/qkbd_keyboard", O_RDWR);
			while (!stop_.load()) {
				Ps2StatusRecord rec{};
				if (::read(ps2, &rec, sizeof rec) == sizeof rec && rec.uchKbdCount) {
					std::uint8_t buf[255];
					ssize_t r = ::read(keys, buf, rec.uchKbdCount);
					if (r > 0)
						keys_read_ += static_cast<int>(r);
				}
				std::uint8_t b[8];
				(void)!::read(kbd, b, 2);
				(void)!::read(msr, b, 8);
				cycles_.fetch_add(1);
			}
			::close(ps2);
			::close(kbd);
			::close(msr);
			::close(keys);
		});
	}

	void StopLoop()
	{
		stop_.store(true);
		trvsim_step_mode(TRVSIM_PS2_STAT, 0);
		if (loop_.joinable())
			loop_.join();
	}

	void TearDown() override
	{
		StopLoop();
		SimTest::TearDown();
	}

	std::thread loop_;
	std::atomic<bool> stop_{false};
	std::atomic<int> cycles_{0};
	std::atomic<int> keys_read_{0};
};

TEST_F(StepTest, EachStepRunsExactlyTheReleasedCycles)
{
	trvsim_step_mode(TRVSIM_PS2_STAT, 1);
	StartLoop();
	// Step 0 only waits for the loop to arrive at the gate.
	ASSERT_EQ(trvsim_step(0, kTimeoutMs), 1);
	EXPECT_EQ(cycles_.load(), 0);
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_STAT), 0);

	const std::uint8_t keys[] = {0x1E, 0x9E};
	trvsim_ps2_type(keys, sizeof keys);
	ASSERT_EQ(trvsim_step(1, kTimeoutMs), 1);
	EXPECT_EQ(cycles_.load(), 1);
	EXPECT_EQ(keys_read_.load(), 2);
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_STAT), 1);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_MSRSTAT), 1);

	ASSERT_EQ(trvsim_step(3, kTimeoutMs), 1);
	EXPECT_EQ(cycles_.load(), 4);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KBDSTAT), 4);

	// Data that arrives between steps is seen in the next cycle, not before.
	trvsim_ps2_type(keys, 1);
	EXPECT_EQ(keys_read_.load(), 2);
	ASSERT_EQ(trvsim_step(1, kTimeoutMs), 1);
	EXPECT_EQ(keys_read_.load(), 3);
}

TEST_F(StepTest, StepFailsWhenTheLoopDoesNotComeBack)
{
	EXPECT_EQ(trvsim_step(1, 10), 0) << "step mode is off";
	trvsim_step_mode(TRVSIM_PS2_STAT, 1);
	StartLoop();
	ASSERT_EQ(trvsim_step(0, kTimeoutMs), 1);
	stop_.store(true);
	// The loop finishes its cycle and ends instead of reaching the gate.
	EXPECT_EQ(trvsim_step(1, 200), 0);
	loop_.join();
	EXPECT_EQ(cycles_.load(), 1);
}

TEST_F(StepTest, LeavingStepModeReleasesTheLoop)
{
	trvsim_step_mode(TRVSIM_PS2_STAT, 1);
	StartLoop();
	ASSERT_EQ(trvsim_step(0, kTimeoutMs), 1);
	trvsim_step_mode(TRVSIM_PS2_STAT, 0);
	ASSERT_EQ(trvsim_wait_reads(TRVSIM_USB_MSRSTAT, 5, kTimeoutMs), 1);
	EXPECT_GE(cycles_.load(), 4);
}

TEST_F(StepTest, ResetReleasesTheLoop)
{
	trvsim_step_mode(TRVSIM_PS2_STAT, 1);
	StartLoop();
	ASSERT_EQ(trvsim_step(0, kTimeoutMs), 1);
	trvsim_reset();
	EXPECT_EQ(trvsim_wait_reads(TRVSIM_PS2_STAT, 3, kTimeoutMs), 1);
}

} // namespace
