// Java threads opening, claiming, closing devices and calling the getters
// while the loop polls and the simulated keyboard produces data. Run under
// ThreadSanitizer; it must report nothing, and afterwards every descriptor
// must be accounted for.
#include <future>
#include <random>
#include <string>

#include "harness.h"

namespace nltest {
namespace {

using ConcurrencyTest = NativeLayerTest;

// Polls cond every millisecond for up to ms; whether it became true.
template <class Cond> bool WaitUntil(Cond cond, int ms)
{
	const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (!cond()) {
		if (std::chrono::steady_clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

void JavaThread(fakejni::FakeJni &jni, unsigned seed, int iterations)
{
	JNIEnv *env = jni.env();
	jobject obj = jni.service();
	std::mt19937 rng(seed);
	for (int i = 0; i < iterations; ++i) {
		switch (rng() % 16) {
		case 0:
			TRV_JNI(openKeyBoard)(env, obj, jni.newString("kbd"));
			break;
		case 1:
			TRV_JNI(closeKeyBoard)(env, obj);
			break;
		case 2:
			TRV_JNI(openMSR)(env, obj, nullptr);
			break;
		case 3:
			TRV_JNI(closeMSR)(env, obj);
			break;
		case 4:
			TRV_JNI(openKeyLock)(env, obj, jni.newString("klk"));
			break;
		case 5:
			TRV_JNI(closeKeyLock)(env, obj);
			break;
		case 6:
			TRV_JNI(claimKeyboard)(env, obj);
			TRV_JNI(releaseKeyboard)(env, obj);
			break;
		case 7:
			TRV_JNI(claimMSR)(env, obj);
			TRV_JNI(releaseMSR)(env, obj);
			break;
		case 8:
			TRV_JNI(getKbdData)(env, obj);
			break;
		case 9:
			TRV_JNI(getKeyLockData)(env, obj);
			break;
		case 10:
			TRV_JNI(getKeyLockPosition)(env, obj);
			break;
		case 11:
			TRV_JNI(getMsrTrack1Data)(env, obj);
			TRV_JNI(getMsrTrack3Data)(env, obj);
			break;
		case 12:
			TRV_JNI(writeKeyboardConfig)(env, obj);
			break;
		case 13:
			TRV_JNI(getVersion)(env, obj);
			break;
		default:
			std::this_thread::sleep_for(std::chrono::microseconds(200));
			break;
		}
	}
}

// The keyboard in use: keys, keylock turns and track-3 swipes (which are
// reported in the cycle that reads them, so no swipe is left half-held).
void Keyboard(std::atomic<bool> &stop)
{
	std::uint16_t pos = 1;
	while (!stop.load()) {
		const std::uint8_t keys[2] = {0x1E, 0x9E};
		const std::uint32_t entries[2] = {0x04, 0x05};
		const std::uint8_t track[4] = {';', '1', '2', '?'};
		trvsim_ps2_type(keys, 2);
		trvsim_usb_type(entries, 2);
		trvsim_set_keylock(TRVSIM_PS2, pos);
		trvsim_set_keylock(TRVSIM_USB, pos);
		trvsim_swipe_track(TRVSIM_USB, 3, track, sizeof track);
		pos = static_cast<std::uint16_t>(pos % 4 + 1);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

// stopPolling returns only once the loop has ended: while the loop is held in
// the middle of a cycle it waits, and when it returns startPolling has
// returned too.
TEST_F(ConcurrencyTest, StopReturnsOnlyOnceTheLoopHasEnded)
{
	PollingThread loop(jni, TRVSIM_PS2_STAT);
	auto stopped = std::async(std::launch::async, [&] {
		TRV_JNI(stopPolling)(jni.env(), obj);
		return loop.WaitReturned(0);
	});
	ASSERT_TRUE(WaitUntil([] { return g_bStopPolling.load() != 0; }, HANG_MS));
	EXPECT_NE(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::ready);
	trvsim_step_mode(TRVSIM_PS2_STAT, 0);
	EXPECT_TRUE(stopped.get()) << "stopPolling returned before startPolling";
}

// A service that calls startPolling again as soon as it returns: the
// stopPolling meant for the first run returns once that run has ended. It
// does not wait on the second run, which never saw the request, and does
// not stop it.
TEST_F(ConcurrencyTest, StopIsNotHeldByALoopRestartedAfterIt)
{
	trvsim_step_mode(TRVSIM_PS2_STAT, 1);
	std::atomic<int> runsEnded{0};
	std::thread service([&] {
		for (int run = 0; run < 2; ++run) {
			TRV_JNI(startPolling)(jni.env(), obj);
			runsEnded.fetch_add(1);
		}
	});
	ASSERT_EQ(trvsim_step(0, HANG_MS), 1);
	auto stopped = std::async(std::launch::async, [&] { TRV_JNI(stopPolling)(jni.env(), obj); });
	EXPECT_TRUE(WaitUntil([] { return g_bStopPolling.load() != 0; }, HANG_MS));
	// The first run finishes its cycle and ends; the second is held at the
	// gate of its first cycle.
	EXPECT_EQ(trvsim_step(1, HANG_MS), 1);
	EXPECT_EQ(runsEnded.load(), 1);
	EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(HANG_MS)), std::future_status::ready)
		<< "stopPolling waits on the loop started after it";
	EXPECT_EQ(trvsim_step(2, HANG_MS), 1) << "the second run was stopped";
	EXPECT_EQ(runsEnded.load(), 1);

	trvsim_step_mode(TRVSIM_PS2_STAT, 0);
	EXPECT_TRUE(WaitUntil(
		[&] {
			TRV_JNI(stopPolling)(jni.env(), obj);
			return runsEnded.load() == 2;
		},
		HANG_MS));
	service.join();
	stopped.wait();
	EXPECT_EQ(g_bStopPolling.load(), 0);
}

TEST_F(ConcurrencyTest, SessionsAndGettersWhileTheLoopPolls)
{
	// Callbacks fetch the data on the polling thread, as the Java side does.
	jni.onCallback("kbdDataOccurred", [](JNIEnv *e, jobject o) { TRV_JNI(getKbdData)(e, o); });
	jni.onCallback("klkDataOccurred", [](JNIEnv *e, jobject o) { TRV_JNI(getKeyLockData)(e, o); });
	jni.onCallback("msrDataOccurred", [](JNIEnv *e, jobject o) { TRV_JNI(getMsrTrack3Data)(e, o); });

	PollingThread loop(jni);
	ASSERT_TRUE(loop.WaitStarted());
	std::atomic<bool> stopKeyboard{false};
	std::thread keyboard(Keyboard, std::ref(stopKeyboard));
	std::vector<std::thread> javaThreads;
	for (unsigned t = 0; t < 4; ++t)
		javaThreads.emplace_back(JavaThread, std::ref(jni), 1000 + t, 400);
	for (auto &t : javaThreads)
		t.join();
	stopKeyboard.store(true);
	keyboard.join();

	EXPECT_GT(trvsim_reads(TRVSIM_PS2_STAT), 0);
	EXPECT_EQ(OpenDescriptors(), HeldDescriptors());
	loop.Stop();
	EXPECT_FALSE(loop.LeftExceptionPending());
	TRV_JNI(closeKeyBoard)(env, obj);
	TRV_JNI(closeMSR)(env, obj);
	TRV_JNI(closeKeyLock)(env, obj);
	EXPECT_EQ(OpenDescriptors(), 3); // the status nodes stay open
	fakejni::ExpectCleanJni(jni);
}

// Start and stop from different threads, racing each other and the
// sessions: no hang, no second loop, no leaked descriptor.
TEST_F(ConcurrencyTest, StartAndStopRaceWithSessions)
{
	std::atomic<bool> done{false};
	std::thread sessions([&] {
		JNIEnv *e = jni.env();
		while (!done.load()) {
			TRV_JNI(openKeyBoard)(e, obj, nullptr);
			TRV_JNI(openKeyLock)(e, obj, nullptr);
			TRV_JNI(closeKeyBoard)(e, obj);
			TRV_JNI(closeKeyLock)(e, obj);
		}
	});
	for (int round = 0; round < 20; ++round) {
		PollingThread first(jni);
		PollingThread second(jni); // returns at once, or runs once the first ends
		ASSERT_TRUE(first.WaitStarted());
		first.Stop();
		second.Stop();
		EXPECT_EQ(g_bStopPolling.load(), 0);
	}
	done.store(true);
	sessions.join();
	EXPECT_EQ(OpenDescriptors(), HeldDescriptors());
	fakejni::ExpectCleanJni(jni);
}

} // namespace
} // namespace nltest
