// The polling loop: which status nodes it reads, what it dispatches, the
// stop handshake, the guards around start and stop, and descriptor
// accounting across runs.
#include <algorithm>
#include <cstdio>
#include <future>
#include <random>
#include <string>

#include "harness.h"

namespace nltest {
namespace {

using PollingTest = NativeLayerTest;
using Clock = std::chrono::steady_clock;

constexpr int kStatusNodes[] = {TRVSIM_PS2_STAT, TRVSIM_USB_KBDSTAT, TRVSIM_USB_MSRSTAT};

// Runs fn on another thread; false when it has not returned in time (the
// thread is then left behind, which only a hang can cause).
template <class Fn> bool ReturnsPromptly(Fn fn)
{
	auto done = std::make_shared<std::promise<void>>();
	auto f = done->get_future();
	std::thread([fn, done] {
		fn();
		done->set_value();
	}).detach();
	return f.wait_for(std::chrono::milliseconds(HANG_MS)) == std::future_status::ready;
}

TEST_F(PollingTest, ReadsEveryStatusNodeThatOpened)
{
	struct {
		const char *name;
		bool present[3]; // PS/2 status, USB keyboard status, USB MSR status
	} cases[] = {
		{"all", {1, 1, 1}},
		{"only USB MSR status", {0, 0, 1}},
		{"only USB keyboard status", {0, 1, 0}},
		{"only PS/2 status", {1, 0, 0}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetAll(jni);
		for (int i = 0; i < 3; ++i)
			trvsim_set_present(kStatusNodes[i], c.present[i]);
		const int watched = kStatusNodes[std::find(c.present, c.present + 3, true) - c.present];
		PollingThread loop(jni);
		ASSERT_EQ(trvsim_wait_reads(watched, 4, HANG_MS), 1);
		loop.Stop();
		for (int i = 0; i < 3; ++i) {
			if (c.present[i])
				EXPECT_GE(trvsim_reads(kStatusNodes[i]), 4) << "node " << i;
			else
				EXPECT_EQ(trvsim_reads(kStatusNodes[i]), 0) << "node " << i;
			// The status nodes stay open after the loop ends.
			EXPECT_EQ(trvsim_open_descriptors(kStatusNodes[i]), c.present[i] ? 1 : 0);
		}
		EXPECT_EQ(g_bStopPolling.load(), 0);
	}
}

TEST_F(PollingTest, NoStatusNodeReturnsAtOnce)
{
	for (int node : kStatusNodes)
		trvsim_set_present(node, 0);
	PollingThread loop(jni);
	ASSERT_TRUE(loop.WaitReturned());
	EXPECT_EQ(g_bStopPolling.load(), 0);
	EXPECT_EQ(g_DeviceChannels.fdPs2Stat.load(), -1);
	EXPECT_EQ(g_DeviceChannels.fdUsbKbdStat.load(), -1);
	EXPECT_EQ(g_DeviceChannels.fdUsbMsrStat.load(), -1);
	EXPECT_EQ(OpenDescriptors(), 0);
	// stopPolling afterwards has no loop to wait for.
	EXPECT_TRUE(ReturnsPromptly([&] { TRV_JNI(stopPolling)(jni.env(), obj); }));
}

// Status records that are not read whole are ignored: no handler, and the
// remembered keylock position keeps its value.
TEST_F(PollingTest, PartialStatusReadIsIgnored)
{
	struct {
		const char *name;
		int rawLength; // -1: the read fails
		int keylockCallbacks, kbdCallbacks;
	} cases[] = {
		{"9 bytes", 9, 0, 0},
		{"read fails", -1, 0, 0},
		{"0 bytes", 0, 0, 0},
		{"10 bytes", 10, 1, 1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetAll(jni);
		ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
		ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
		const int klkBase = jni.callbackCount("klkDataOccurred");
		const int kbdBase = jni.callbackCount("kbdDataOccurred");
		PollingThread loop(jni, TRVSIM_PS2_STAT);
		trvsim_set_keylock(TRVSIM_PS2, 2);
		ASSERT_TRUE(loop.Step());
		const int klk0 = jni.callbackCount("klkDataOccurred");
		ASSERT_EQ(klk0 - klkBase, 1);

		// Position 7 and 3 keys in the record, delivered 9, 0 or 10 bytes.
		const std::uint8_t record[10] = {7, 3, 0, 0, 0, 0, 0, 0, 0, 0};
		const std::uint8_t keys[3] = {0x1E, 0x9E, 0x30};
		trvsim_ps2_type(keys, 3);
		if (c.rawLength < 0)
			trvsim_fail_reads(TRVSIM_PS2_STAT, 1);
		else
			trvsim_raw_status(TRVSIM_PS2_STAT, record, static_cast<std::size_t>(c.rawLength), 1);
		ASSERT_TRUE(loop.Step());
		EXPECT_EQ(jni.callbackCount("klkDataOccurred") - klk0, c.keylockCallbacks);
		EXPECT_EQ(jni.callbackCount("kbdDataOccurred") - kbdBase, c.kbdCallbacks);

		// Back at position 2: a callback only if 7 was taken as the last
		// position.
		ASSERT_TRUE(loop.Step());
		EXPECT_EQ(jni.callbackCount("klkDataOccurred") - klk0, 2 * c.keylockCallbacks);
	}
}

TEST_F(PollingTest, KeylockCallsBackOnChangeToNonZeroPosition)
{
	const std::uint16_t positions[] = {0, 2, 2, 3, 0, 3};
	const int callbacksAfter[] = {0, 1, 1, 2, 2, 3};
	struct {
		const char *name;
		int attachment;
		int keylockNode;
	} cases[] = {{"USB", TRVSIM_USB, TRVSIM_USB_KEYLOCK}, {"PS/2", TRVSIM_PS2, TRVSIM_PS2_KEYLOCK}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetAll(jni);
		ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
		const int base = jni.callbackCount("klkDataOccurred");
		PollingThread loop(jni, TRVSIM_PS2_STAT);
		for (std::size_t i = 0; i < std::size(positions); ++i) {
			trvsim_set_keylock(c.attachment, positions[i]);
			ASSERT_TRUE(loop.Step());
			EXPECT_EQ(jni.callbackCount("klkDataOccurred") - base, callbacksAfter[i]) << "cycle " << i;
		}
		// The handler read the node once per callback, and the getter
		// hands over the last byte read.
		EXPECT_EQ(trvsim_reads(c.keylockNode), 3);
		EXPECT_EQ(jni.bytes(TRV_JNI(getKeyLockData)(env, obj)), std::vector<std::uint8_t>{3});
	}
}

TEST_F(PollingTest, KeylockOpenedAtASeenPositionWaitsForAChange)
{
	PollingThread loop(jni, TRVSIM_PS2_STAT);
	trvsim_set_keylock(TRVSIM_USB, 2);
	ASSERT_TRUE(loop.Step());
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
	ASSERT_TRUE(loop.Step(3));
	EXPECT_EQ(jni.callbackCount("klkDataOccurred"), 0);
	trvsim_set_keylock(TRVSIM_USB, 4);
	ASSERT_TRUE(loop.Step());
	EXPECT_EQ(jni.callbackCount("klkDataOccurred"), 1);
}

// The last keylock positions outlive a run: a restart reports no position
// the loop has already seen, and does report one that changed while no loop
// ran.
TEST_F(PollingTest, RestartReportsOnlyChangedKeylockPositions)
{
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
	trvsim_set_keylock(TRVSIM_PS2, 2);
	trvsim_set_keylock(TRVSIM_USB, 3);
	const struct {
		std::uint16_t usbBefore; // USB position set before the run; 0: unchanged
		int callbacksAfter;
	} runs[] = {{0, 2}, {0, 2}, {4, 3}};
	for (std::size_t run = 0; run < std::size(runs); ++run) {
		if (runs[run].usbBefore != 0)
			trvsim_set_keylock(TRVSIM_USB, runs[run].usbBefore);
		PollingThread loop(jni, TRVSIM_PS2_STAT);
		ASSERT_TRUE(loop.Step(2));
		loop.Stop();
		EXPECT_EQ(jni.callbackCount("klkDataOccurred"), runs[run].callbacksAfter) << "run " << run;
	}
}

// Keyboard data is dispatched in every cycle the status reports it, and only
// while the keyboard is open.
TEST_F(PollingTest, KeyboardDataDispatchedEveryCycleItIsReported)
{
	struct {
		const char *name;
		int attachment;
		bool open;
		int callbacks;
		long dataReads;
		std::size_t queuedAfter;
	} cases[] = {
		{"PS/2 open", TRVSIM_PS2, true, 2, 2, 0},
		{"USB open", TRVSIM_USB, true, 2, 2, 0},
		{"PS/2 not open", TRVSIM_PS2, false, 0, 0, 6},
		{"USB not open", TRVSIM_USB, false, 0, 0, 6},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetAll(jni);
		if (c.open) {
			ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
		}
		const int dataNode = c.attachment == TRVSIM_PS2 ? TRVSIM_PS2_KEYBOARD : TRVSIM_USB_KEYBOARD;
		const int base = jni.callbackCount("kbdDataOccurred");
		PollingThread loop(jni, TRVSIM_PS2_STAT);
		for (int cycle = 0; cycle < 2; ++cycle) {
			// A count of 3 in two successive cycles.
			if (c.attachment == TRVSIM_PS2) {
				const std::uint8_t bytes[3] = {0x1E, 0x9E, 0x30};
				trvsim_ps2_type(bytes, 3);
			} else {
				const std::uint32_t entries[3] = {0x04, 0x05, 0x06};
				trvsim_usb_type(entries, 3);
			}
			ASSERT_TRUE(loop.Step());
		}
		EXPECT_EQ(jni.callbackCount("kbdDataOccurred") - base, c.callbacks);
		EXPECT_EQ(trvsim_reads(dataNode), c.dataReads);
		EXPECT_EQ(trvsim_queued(dataNode), c.queuedAfter);
	}
}

// Once the MSR handler reports held tracks it is called in every cycle, with
// nothing announced, until the swipe is reported: five cycles after the
// announcement.
TEST_F(PollingTest, MsrHandlerKeptCalledWhileTracksArePending)
{
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, nullptr), OPENED);
	PollingThread loop(jni, TRVSIM_PS2_STAT);
	const std::uint8_t track[5] = {'1', '2', '3', '4', '5'};
	trvsim_swipe_track(TRVSIM_USB, 1, track, sizeof track);
	ASSERT_TRUE(loop.Step());
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_MSR1), 1);
	ASSERT_TRUE(loop.Step(4));
	EXPECT_EQ(jni.callbackCount("msrDataOccurred"), 0);
	ASSERT_TRUE(loop.Step());
	EXPECT_EQ(jni.callbackCount("msrDataOccurred"), 1);
	EXPECT_EQ(jni.bytes(TRV_JNI(getMsrTrack1Data)(env, obj)),
		  (std::vector<std::uint8_t>{'1', '2', '3', '4', '5'}));
	// Reported: no further call while nothing is announced.
	ASSERT_TRUE(loop.Step(6));
	EXPECT_EQ(jni.callbackCount("msrDataOccurred"), 1);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_MSR1), 1);
}

// A swipe whose report is pending when polling stops is reported by the next
// run, in the cycle it would have come in without the restart: the sixth
// handler call counted from the one that read the track.
TEST_F(PollingTest, SwipePendingAtARestartIsReportedByTheNextRun)
{
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, nullptr), OPENED);
	std::vector<std::uint8_t> fetched;
	jni.onCallback("msrDataOccurred",
		       [&](JNIEnv *e, jobject o) { fetched = jni.bytes(TRV_JNI(getMsrTrack1Data)(e, o)); });
	const std::vector<std::uint8_t> track{'%', 'B', '4', '1', '1', '1', '?'};
	trvsim_swipe_track(TRVSIM_USB, 1, track.data(), track.size());
	{
		PollingThread first(jni, TRVSIM_PS2_STAT);
		ASSERT_TRUE(first.Step()); // reads track 1
		first.StopAfterThisCycle(); // one more cycle, then the run ends
	}
	EXPECT_EQ(jni.callbackCount("msrDataOccurred"), 0);

	PollingThread second(jni, TRVSIM_PS2_STAT);
	ASSERT_TRUE(second.Step(3));
	EXPECT_EQ(jni.callbackCount("msrDataOccurred"), 0);
	ASSERT_TRUE(second.Step());
	EXPECT_EQ(jni.callbackCount("msrDataOccurred"), 1);
	EXPECT_EQ(fetched, track);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_MSR1), 1);
}

TEST_F(PollingTest, StopHandshakeFigures)
{
	constexpr int kRuns = 8;
	std::vector<double> stopMs, loopMs;
	for (int run = 0; run < kRuns; ++run) {
		ResetAll(jni);
		PollingThread loop(jni);
		ASSERT_EQ(trvsim_wait_reads(TRVSIM_PS2_STAT, 2, HANG_MS), 1);
		// Requests land at different points of the 50 ms cycle.
		std::this_thread::sleep_for(std::chrono::milliseconds(run * 50 / kRuns));
		const long readsAtRequest = trvsim_reads(TRVSIM_PS2_STAT);
		const auto t0 = Clock::now();
		TRV_JNI(stopPolling)(env, obj);
		const auto t1 = Clock::now();
		ASSERT_TRUE(loop.WaitReturned());
		// The loop leaves at the top of its next cycle: at most the read of
		// a cycle that had passed its check when the request came.
		EXPECT_LE(trvsim_reads(TRVSIM_PS2_STAT) - readsAtRequest, 1);
		EXPECT_EQ(g_bStopPolling.load(), 0);
		stopMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
		loopMs.push_back(std::chrono::duration<double, std::milli>(loop.ReturnedAt() - t0).count());
		loop.Stop();
	}
	std::sort(stopMs.begin(), stopMs.end());
	std::sort(loopMs.begin(), loopMs.end());
	std::printf("stop handshake over %d runs (ms): startPolling returned min %.1f median %.1f max %.1f; "
		    "stopPolling returned min %.1f median %.1f max %.1f\n",
		    kRuns, loopMs.front(), loopMs[kRuns / 2], loopMs.back(), stopMs.front(), stopMs[kRuns / 2],
		    stopMs.back());
}

TEST_F(PollingTest, StopWithNoLoopReturnsPromptly)
{
	EXPECT_TRUE(ReturnsPromptly([&] { TRV_JNI(stopPolling)(jni.env(), obj); }));
	EXPECT_EQ(g_bStopPolling.load(), 0);
	// A loop started afterwards is not stopped by a stale request.
	PollingThread loop(jni);
	ASSERT_EQ(trvsim_wait_reads(TRVSIM_PS2_STAT, 3, HANG_MS), 1);
	EXPECT_FALSE(loop.WaitReturned(0));
}

TEST_F(PollingTest, StopFromACallbackEndsTheLoop)
{
	jni.onCallback("kbdDataOccurred", [](JNIEnv *cbEnv, jobject cbObj) { TRV_JNI(stopPolling)(cbEnv, cbObj); });
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	PollingThread loop(jni);
	const std::uint8_t key = 0x1E;
	trvsim_ps2_type(&key, 1);
	ASSERT_TRUE(loop.WaitReturned());
	EXPECT_EQ(g_bStopPolling.load(), 0);
}

TEST_F(PollingTest, SecondStartLeavesTheRunningLoopAlone)
{
	PollingThread loop(jni);
	ASSERT_EQ(trvsim_wait_reads(TRVSIM_PS2_STAT, 2, HANG_MS), 1);
	const int lookups = jni.calls("GetMethodID");
	const std::int32_t fd = g_DeviceChannels.fdPs2Stat.load();

	EXPECT_TRUE(ReturnsPromptly([&] { TRV_JNI(startPolling)(jni.env(), obj); }));
	EXPECT_EQ(jni.calls("GetMethodID"), lookups);
	EXPECT_EQ(g_DeviceChannels.fdPs2Stat.load(), fd);
	EXPECT_EQ(trvsim_open_descriptors(TRVSIM_PS2_STAT), 1);

	const long reads = trvsim_reads(TRVSIM_PS2_STAT);
	EXPECT_EQ(trvsim_wait_reads(TRVSIM_PS2_STAT, reads + 2, HANG_MS), 1) << "the first loop stopped";
	EXPECT_FALSE(loop.WaitReturned(0));
	loop.Stop();
	EXPECT_TRUE(loop.WaitReturned(0));
}

// A restart asked for from a callback: stopPolling there only requests, and
// a startPolling on a new thread right after it waits for that run's end and
// then polls, so that keys typed afterwards still reach Java.
TEST_F(PollingTest, RestartAskedForFromACallbackPollsAgain)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	std::thread restarter;
	std::atomic<bool> restartReturned{false};
	std::atomic<int> callbacks{0};
	jni.onCallback("kbdDataOccurred", [&](JNIEnv *e, jobject o) {
		(void)jni.ints(TRV_JNI(getKbdData)(e, o));
		if (callbacks.fetch_add(1) != 0)
			return;
		TRV_JNI(stopPolling)(e, o);
		restarter = std::thread([&] {
			TRV_JNI(startPolling)(jni.env(), jni.service());
			restartReturned = true;
		});
	});
	PollingThread first(jni);
	const std::uint8_t key = 0x1E;
	trvsim_ps2_type(&key, 1);
	ASSERT_TRUE(first.WaitReturned());

	trvsim_ps2_type(&key, 1);
	const auto until = Clock::now() + std::chrono::milliseconds(HANG_MS);
	while (callbacks.load() < 2 && Clock::now() < until)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_EQ(callbacks.load(), 2) << "nothing polls after the restart";
	EXPECT_FALSE(restartReturned.load());
	TRV_JNI(stopPolling)(env, obj);
	restarter.join();
	EXPECT_TRUE(restartReturned.load());
}

// A stop made while a startPolling waits for the end of a run that was asked
// to stop reaches that start: its run ends before its first cycle, and
// stopPolling returns once it has. (The short sleeps only let the other
// threads make their calls; were one late, the test would hang and fail,
// never pass wrongly.)
TEST_F(PollingTest, StopMadeWhileAStartWaitsEndsThatRunBeforeItsFirstCycle)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	std::promise<void> release;
	std::shared_future<void> released = release.get_future().share();
	std::atomic<bool> inCallback{false};
	jni.onCallback("kbdDataOccurred", [&](JNIEnv *e, jobject o) {
		(void)jni.ints(TRV_JNI(getKbdData)(e, o));
		TRV_JNI(stopPolling)(e, o);
		inCallback = true;
		released.wait();
	});
	PollingThread first(jni);
	const std::uint8_t key = 0x1E;
	trvsim_ps2_type(&key, 1);
	const auto until = Clock::now() + std::chrono::milliseconds(HANG_MS);
	while (!inCallback.load() && Clock::now() < until)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	ASSERT_TRUE(inCallback.load());

	std::atomic<bool> secondReturned{false}, stopReturned{false};
	std::thread second([&] {
		TRV_JNI(startPolling)(jni.env(), jni.service());
		secondReturned = true;
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	EXPECT_FALSE(secondReturned.load()) << "the restart did not wait for the run that was stopping";
	std::thread stopper([&] {
		TRV_JNI(stopPolling)(jni.env(), jni.service());
		stopReturned = true;
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	EXPECT_FALSE(stopReturned.load());
	const long reads = trvsim_reads(TRVSIM_PS2_STAT);
	release.set_value();
	ASSERT_TRUE(first.WaitReturned());
	second.join();
	stopper.join();
	EXPECT_TRUE(secondReturned.load());
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_STAT), reads) << "the stopped start polled a cycle";
	EXPECT_EQ(g_bStopPolling.load(), 0);
}

// A callback the class lacks is never called, no exception is left behind,
// the data is still stored, and the other callbacks still come.
TEST_F(PollingTest, MissingCallbackIsSkipped)
{
	const char *names[] = {"kbdDataOccurred", "klkDataOccurred", "msrDataOccurred"};
	for (const char *missing : names) {
		SCOPED_TRACE(missing);
		fakejni::FakeJni local;
		JNIEnv *lenv = local.env();
		ResetAll(local);
		local.removeMethod(missing);
		ASSERT_EQ(TRV_JNI(openKeyBoard)(lenv, local.service(), nullptr), OPENED);
		ASSERT_EQ(TRV_JNI(openKeyLock)(lenv, local.service(), nullptr), OPENED);
		ASSERT_EQ(TRV_JNI(openMSR)(lenv, local.service(), nullptr), OPENED);
		{
			PollingThread loop(local, TRVSIM_PS2_STAT);
			const std::uint32_t entry = 0x04;
			const std::uint8_t track[3] = {'9', '8', '7'};
			trvsim_usb_type(&entry, 1);
			trvsim_set_keylock(TRVSIM_USB, 5);
			trvsim_swipe_track(TRVSIM_USB, 3, track, sizeof track);
			ASSERT_TRUE(loop.Step());
			loop.Stop();
			EXPECT_FALSE(loop.LeftExceptionPending());
		}
		for (const char *name : names)
			EXPECT_EQ(local.callbackCount(name), std::string(name) == missing ? 0 : 1) << name;
		EXPECT_EQ(local.ints(TRV_JNI(getKbdData)(lenv, local.service())), std::vector<std::int32_t>{4});
		EXPECT_EQ(local.bytes(TRV_JNI(getKeyLockData)(lenv, local.service())), std::vector<std::uint8_t>{5});
		EXPECT_EQ(local.bytes(TRV_JNI(getMsrTrack3Data)(lenv, local.service())),
			  (std::vector<std::uint8_t>{'9', '8', '7'}));
		fakejni::ExpectCleanJni(local);
		ResetAll(local);
	}
}

TEST_F(PollingTest, ThrowingCallbackDoesNotStopPolling)
{
	jni.throwFrom("kbdDataOccurred");
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
	{
		PollingThread loop(jni, TRVSIM_PS2_STAT);
		for (std::uint16_t pos : {1, 2, 3}) {
			const std::uint8_t key = 0x1E;
			trvsim_ps2_type(&key, 1);
			trvsim_set_keylock(TRVSIM_PS2, pos);
			ASSERT_TRUE(loop.Step());
		}
		loop.Stop();
		EXPECT_FALSE(loop.LeftExceptionPending());
	}
	EXPECT_EQ(jni.callbackCount("kbdDataOccurred"), 3);
	// The keylock callback after each throw ran with no exception pending.
	EXPECT_EQ(jni.callbackCount("klkDataOccurred"), 3);
	fakejni::ExpectCleanJni(jni);
}

TEST_F(PollingTest, RestartClosesTheEarlierStatusDescriptors)
{
	for (int run = 0; run < 3; ++run) {
		PollingThread loop(jni);
		ASSERT_TRUE(loop.WaitStarted());
		loop.Stop();
		EXPECT_EQ(OpenDescriptors(), 3) << "run " << run;
	}
}

// A session opened before polling starts keeps its descriptors and keeps
// working; a session that is not open has its slots cleared.
TEST_F(PollingTest, StartKeepsOpenSessionsAndClearsOthers)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	trvsim_set_present(TRVSIM_PS2_KEYLOCK, 0);
	trvsim_set_present(TRVSIM_USB_KEYLOCK, 0);
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), -1);
	const std::int32_t kbdFd = g_DeviceChannels.fdPs2Keyboard.load();

	PollingThread loop(jni, TRVSIM_PS2_STAT);
	EXPECT_EQ(g_DeviceChannels.fdPs2Keyboard.load(), kbdFd);
	EXPECT_EQ(g_DeviceChannels.fdPs2Keylock.load(), 0);
	EXPECT_EQ(g_DeviceChannels.fdUsbKeylock.load(), 0);
	EXPECT_EQ(OpenDescriptors(), 5);

	const std::uint8_t keys[2] = {0x1E, 0x9E};
	trvsim_ps2_type(keys, 2);
	ASSERT_TRUE(loop.Step());
	EXPECT_EQ(jni.callbackCount("kbdDataOccurred"), 1);
	EXPECT_EQ(jni.ints(TRV_JNI(getKbdData)(env, obj)), (std::vector<std::int32_t>{0x1E, 0x9E}));

	TRV_JNI(closeKeyBoard)(env, obj);
	EXPECT_EQ(OpenDescriptors(), 3);
}

// Any sequence of opens, closes, starts and stops leaves exactly the
// descriptors that the held status nodes and open sessions explain.
TEST_F(PollingTest, DescriptorAccountingOverRandomSequences)
{
	std::mt19937 rng(20261208);
	std::unique_ptr<PollingThread> loop;
	for (int i = 0; i < 80; ++i) {
		const int op = static_cast<int>(rng() % 8);
		switch (op) {
		case 0:
			TRV_JNI(openKeyBoard)(env, obj, nullptr);
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
			TRV_JNI(openKeyLock)(env, obj, nullptr);
			break;
		case 5:
			TRV_JNI(closeKeyLock)(env, obj);
			break;
		case 6:
			if (!loop) {
				loop = std::make_unique<PollingThread>(jni);
				ASSERT_TRUE(loop->WaitStarted());
			}
			break;
		case 7:
			loop.reset();
			break;
		}
		// Flip a node now and then, so that some opens fail part-way.
		if (rng() % 4 == 0)
			trvsim_set_present(static_cast<int>(rng() % TRVSIM_NODE_COUNT), static_cast<int>(rng() % 3 != 0));
		ASSERT_EQ(OpenDescriptors(), HeldDescriptors()) << "after step " << i << " (op " << op << ")";
	}
	loop.reset();
}

} // namespace
} // namespace nltest
