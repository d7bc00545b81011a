// Java threads opening, claiming, closing devices and calling the getters
// while the loop polls and the simulated keyboard produces data. Run under
// ThreadSanitizer; it must report nothing, and afterwards every descriptor
// must be accounted for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
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
// the middle of a cycle it waits, and when it returns the loop has
// acknowledged the stop and polls no more.
TEST_F(ConcurrencyTest, StopReturnsOnlyOnceTheLoopHasEnded)
{
	PollingThread loop(jni, TRVSIM_PS2_STAT);
	auto stopped = std::async(std::launch::async, [&] {
		TRV_JNI(stopPolling)(jni.env(), obj);
		return std::make_pair(g_bStopPolling.load(), trvsim_reads(TRVSIM_PS2_STAT));
	});
	ASSERT_TRUE(WaitUntil([] { return g_bStopPolling.load() != 0; }, HANG_MS));
	EXPECT_NE(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::ready);
	trvsim_step_mode(TRVSIM_PS2_STAT, 0);
	const auto [requestAtReturn, readsAtReturn] = stopped.get();
	EXPECT_EQ(requestAtReturn, 0) << "stopPolling returned before the loop acknowledged";
	EXPECT_TRUE(loop.WaitReturned());
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_STAT), readsAtReturn) << "the loop polled on after stopPolling returned";
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

// An ordinary file put on a descriptor number that the library has closed,
// to catch a read or write still made through that number.
class PlantedFile {
public:
	~PlantedFile()
	{
		if (fd_ >= 0)
			::close(fd_);
	}
	// Takes the number if it is free now; whether it did.
	bool Take(int number)
	{
		errno = 0;
		if (::fcntl(number, F_GETFD) != -1 || errno != EBADF)
			return false;
		char path[] = "/tmp/trvstaleXXXXXX";
		const int f = ::mkstemp(path);
		if (f < 0)
			return false;
		::unlink(path);
		if (::write(f, kText, sizeof kText - 1) != sizeof kText - 1 || ::lseek(f, 0, SEEK_SET) != 0) {
			::close(f);
			return false;
		}
		if (f != number) {
			::dup2(f, number);
			::close(f);
		}
		fd_ = number;
		return true;
	}
	void ExpectUntouched(const char *what) const
	{
		if (fd_ < 0)
			return;
		struct stat st {};
		EXPECT_EQ(::lseek(fd_, 0, SEEK_CUR), 0) << what << " through a closed descriptor";
		EXPECT_EQ(::fstat(fd_, &st), 0);
		EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof kText - 1)) << what << " through a closed descriptor";
	}

private:
	static constexpr char kText[] = "planted\n";
	int fd_ = -1;
};

// How long a close, made while a read or write is held on its descriptor, is
// given to happen. The library must make it wait for the held call, so it
// never happens in that time; the wait only gives a faulty library the
// chance to show itself.
constexpr int kCloseWindowMs = 300;

// Holds a read or write on node (descriptor fd), which start() brings
// about, runs closeIt() on another thread meanwhile, and, if fd was closed,
// puts an ordinary file on the number before the call goes on; waitDone()
// returns once the call has ended.
void UseWhileClosing(int node, int fd, const char *what, const std::function<void()> &start,
		     const std::function<void()> &waitDone, const std::function<void()> &closeIt)
{
	trvsim_block_io(node, 1);
	std::thread user(start);
	EXPECT_EQ(trvsim_wait_blocked(node, 1, HANG_MS), 1) << what << " never reached the node";
	std::thread closer(closeIt);
	PlantedFile planted;
	if (WaitUntil([&] { return trvsim_open_descriptors(node) == 0; }, kCloseWindowMs))
		planted.Take(fd);
	trvsim_block_io(node, 0);
	user.join();
	waitDone();
	closer.join();
	planted.ExpectUntouched(what);
}

// A descriptor is never closed while another thread reads or writes
// through it: a handler's read goes on across a closeMSR on a Java thread,
// and writeMSRConfig's write across a restart of polling, which replaces the
// USB MSR status descriptor. Neither reaches a file that took the number.
TEST_F(ConcurrencyTest, NoReadOrWriteThroughAClosedDescriptor)
{
	const std::vector<std::uint8_t> track{';', '1', '2', '3', '?'};
	{
		SCOPED_TRACE("track read across closeMSR");
		ASSERT_EQ(TRV_JNI(openMSR)(env, obj, nullptr), OPENED);
		const int fd = g_DeviceChannels.fdUsbMsr1.load();
		PollingThread loop(jni);
		// The swipe makes the polling thread's handler read the track node.
		UseWhileClosing(
			TRVSIM_USB_MSR1, fd, "read",
			[&] { trvsim_swipe_track(TRVSIM_USB, 1, track.data(), track.size()); },
			[] { // the loop's next cycle begins once the handler is done
				trvsim_wait_reads(TRVSIM_PS2_STAT, trvsim_reads(TRVSIM_PS2_STAT) + 1, HANG_MS);
			},
			[&] { TRV_JNI(closeMSR)(jni.env(), obj); });
		loop.Stop();
		EXPECT_EQ(trvsim_reads(TRVSIM_USB_MSR1), 1);
	}
	ResetAll(jni);
	{
		SCOPED_TRACE("writeMSRConfig across a restart of polling");
		{
			PollingThread first(jni);
			ASSERT_TRUE(first.WaitStarted());
		}
		const int fd = g_DeviceChannels.fdUsbMsrStat.load();
		ASSERT_GT(fd, 0);
		// The restart finds the node gone, so that the number stays free.
		trvsim_set_present(TRVSIM_USB_MSRSTAT, 0);
		std::unique_ptr<PollingThread> restarted;
		jint written = -2;
		UseWhileClosing(
			TRVSIM_USB_MSRSTAT, fd, "write",
			[&] {
				const jbyteArray command = jni.newByteArray({0x10});
				written = TRV_JNI(writeMSRConfig)(jni.env(), obj, 0, command);
			},
			[] {},
			[&] { restarted = std::make_unique<PollingThread>(jni); });
		EXPECT_EQ(written, 0);
		EXPECT_EQ(trvsim_write_count(TRVSIM_USB_MSRSTAT), 1);
		restarted.reset();
	}
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

// POS keys declared on one thread while another sends the tables and closes
// the keyboard (which empties them): under ThreadSanitizer any touch of the
// tables outside the keyboard's session lock shows.
TEST_F(ConcurrencyTest, PosKeysAreDeclaredUnderTheKeyboardLock)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	std::atomic<bool> done{false};
	std::thread sender([&] {
		JNIEnv *e = jni.env();
		while (!done.load()) {
			TRV_JNI(writeKeyboardConfig)(e, obj);
			TRV_JNI(closeKeyBoard)(e, obj);
			TRV_JNI(openKeyBoard)(e, obj, nullptr);
		}
	});
	jintArray key = jni.newIntArray({7, 0, 0, 0x1E, 0});
	for (int i = 0; i < 2000; ++i)
		EXPECT_EQ(TRV_JNI(setposkey)(env, obj, 0, key), 0);
	done.store(true);
	sender.join();
	fakejni::ExpectCleanJni(jni);
}

} // namespace
} // namespace nltest
