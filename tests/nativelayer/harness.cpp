#include "harness.h"

#include <unistd.h>

#include <cstring>

namespace nltest {

namespace {

std::atomic<std::int32_t> *AllSlots(int i)
{
	return reinterpret_cast<std::atomic<std::int32_t> *>(&g_DeviceChannels) + i;
}

} // namespace

void ResetAll(fakejni::FakeJni &jni)
{
	JNIEnv *env = jni.env();
	jobject obj = jni.service();
	trvsim_step_mode(TRVSIM_PS2_STAT, 0);
	TRV_JNI(stopPolling)(env, obj);
	TRV_JNI(closeKeyBoard)(env, obj);
	TRV_JNI(closeMSR)(env, obj);
	TRV_JNI(closeKeyLock)(env, obj);
	TRV_JNI(releaseKeyboard)(env, obj);
	TRV_JNI(releaseMSR)(env, obj);
	for (int i = 0; i < 16; ++i) {
		const std::int32_t fd = AllSlots(i)->exchange(0);
		if (fd > 0)
			::close(fd);
	}
	g_bStopPolling.store(0);
	g_ulGoneSlots.store(0);
	g_PollingMemory = PollingMemory{}; // no loop runs now
	std::memset(g_rguchSet1KeyConf, 0, sizeof g_rguchSet1KeyConf);
	std::memset(g_rgushHIDKeyConfUSB, 0, sizeof g_rgushHIDKeyConfUSB);
	{
		std::lock_guard lock(g_KbdDataLock);
		g_nKbdDataLength = 0;
	}
	{
		std::lock_guard lock(g_KeyLockDataLock);
		g_nKeyLockDataLength = 0;
		g_puchKeyLockData[0] = 0;
	}
	{
		std::lock_guard lock(g_TrackDataLock);
		g_nTrack1DataLength = g_nTrack2DataLength = g_nTrack3DataLength = g_nTrack4DataLength = 0;
	}
	trvsim_reset();
}

int OpenDescriptors()
{
	return trvsim_open_descriptors(-1);
}

int HeldDescriptors()
{
	const DeviceChannels &ch = g_DeviceChannels;
	int n = 0;
	for (const auto *slot : {&ch.fdPs2Stat, &ch.fdUsbKbdStat, &ch.fdUsbMsrStat})
		n += slot->load() > 0;
	if (g_bKeyboardOpened.load())
		for (const auto *slot : {&ch.fdPs2Keyboard, &ch.fdUsbKeyboard})
			n += slot->load() > 0;
	if (g_bKeylockOpened.load())
		for (const auto *slot : {&ch.fdPs2Keylock, &ch.fdUsbKeylock})
			n += slot->load() > 0;
	if (g_bMsrOpened.load())
		for (const auto *slot : {&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3, &ch.fdUsbMsr1,
					 &ch.fdUsbMsr2, &ch.fdUsbMsr3})
			n += slot->load() > 0;
	return n;
}

std::vector<std::uint8_t> Written(int node, int index)
{
	const long len = trvsim_written(node, index, nullptr, 0);
	if (len < 0)
		return {};
	std::vector<std::uint8_t> bytes(static_cast<std::size_t>(len));
	trvsim_written(node, index, bytes.data(), bytes.size());
	return bytes;
}

namespace {

long StatusReads()
{
	return trvsim_reads(TRVSIM_PS2_STAT) + trvsim_reads(TRVSIM_USB_KBDSTAT) + trvsim_reads(TRVSIM_USB_MSRSTAT);
}

} // namespace

PollingThread::PollingThread(fakejni::FakeJni &jni, int gate) : jni_(jni), gate_(gate)
{
	statusReadsAtStart_ = StatusReads();
	if (gate_ >= 0)
		trvsim_step_mode(gate_, 1);
	thread_ = std::thread([this] {
		JNIEnv *env = jni_.env();
		TRV_JNI(startPolling)(env, jni_.service());
		pendingAtReturn_.store(jni_.exceptionPending());
		returnedAt_ = std::chrono::steady_clock::now();
		returned_.store(true);
	});
	if (gate_ >= 0)
		trvsim_step(0, HANG_MS);
}

PollingThread::~PollingThread()
{
	Stop();
}

bool PollingThread::Step(int count)
{
	return trvsim_step(count, HANG_MS) == 1;
}

bool PollingThread::WaitStarted()
{
	const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(HANG_MS);
	while (!returned_.load() && StatusReads() == statusReadsAtStart_) {
		if (std::chrono::steady_clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

bool PollingThread::WaitReturned(int ms)
{
	const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	while (!returned_.load()) {
		if (std::chrono::steady_clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return true;
}

void PollingThread::StopAfterThisCycle()
{
	std::thread stopper([this] { TRV_JNI(stopPolling)(jni_.env(), jni_.service()); });
	const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(HANG_MS);
	while (g_bStopPolling.load() == 0 && std::chrono::steady_clock::now() < until)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	trvsim_step_mode(gate_, 0);
	stopper.join();
	Stop();
}

void PollingThread::Stop()
{
	if (!thread_.joinable())
		return;
	if (gate_ >= 0)
		trvsim_step_mode(gate_, 0);
	// A stop made before the thread has claimed the loop finds no loop and
	// returns at once; ask again until the loop has returned.
	while (!returned_.load()) {
		TRV_JNI(stopPolling)(jni_.env(), jni_.service());
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	thread_.join();
}

} // namespace nltest
