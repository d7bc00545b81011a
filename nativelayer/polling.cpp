// The polling loop: opens the three status nodes, reads them every 50 ms and
// hands each piece of news to the keyboard, keylock or MSR handler of an open
// device; stopPolling ends it through the g_bStopPolling handshake.
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "nativelayer.h"
#include "sessions.h"

namespace {

constexpr timespec CYCLE_SLEEP{0, 50'000'000};

constexpr const char PS2_STAT_NODE[] = "/dev/qkbd_stat";
constexpr const char USB_KBDSTAT_NODE[] = "/dev/trvposusb_kbdstat";
constexpr const char USB_MSRSTAT_NODE[] = "/dev/trvposusb_msrstat";

// Which run of the loop is active and which have ended, guarded by
// g_PollingLock. Runs are numbered from 1; a run claims the loop at its start
// and gives it up at its end, so at most one runs at a time. stopPolling
// waits for the end of the run that was active when it was called, never for
// a later one.
std::mutex g_PollingLock;
std::condition_variable g_PollingEnded;
bool g_bPollingActive = false;
std::uint64_t g_ulRunsStarted = 0;
std::uint64_t g_ulRunsEnded = 0;

// Set on the thread that runs the loop, so that a stopPolling called from a
// callback (on that same thread) requests the stop without waiting for
// itself.
thread_local bool t_bOnPollingThread = false;

// Method IDs of one run.
struct Callbacks {
	jmethodID kbdMethod;
	jmethodID klkMethod;
	jmethodID msrMethod;
};

// Reads one whole status record; any other count (an error included) is
// reported as false and the record is not to be used.
template <class Record> bool ReadStatus(int fd, Record &record)
{
	return ::read(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

// Looks up one "()V" callback. A method the class lacks leaves a null ID
// (never called) and its NoSuchMethodError is cleared before the next JNI
// call.
jmethodID LookUpCallback(JNIEnv *env, jclass cls, const char *name)
{
	jmethodID id = env->GetMethodID(cls, name, "()V");
	if (id == nullptr && env->ExceptionCheck())
		env->ExceptionClear();
	return id;
}

void LookUpCallbacks(JNIEnv *env, jobject obj, Callbacks &st)
{
	if (env == nullptr || obj == nullptr)
		return;
	jclass cls = env->GetObjectClass(obj);
	if (cls == nullptr) {
		if (env->ExceptionCheck())
			env->ExceptionClear();
		return;
	}
	st.kbdMethod = LookUpCallback(env, cls, "kbdDataOccurred");
	st.klkMethod = LookUpCallback(env, cls, "klkDataOccurred");
	st.msrMethod = LookUpCallback(env, cls, "msrDataOccurred");
}

// Prepares the device channel record for a run: the status descriptors of an
// earlier run are closed (slot set to 0 first), the slots of sessions that
// are not open are cleared while an open session keeps its descriptors, and
// the status nodes are opened anew. The USB MSR status descriptor is replaced
// under the MSR session lock, as writeMSRConfig may be writing through it.
// Returns whether any status node opened.
bool OpenStatusNodes()
{
	DeviceChannels &ch = g_DeviceChannels;
	for (auto *slot : {&ch.fdPs2Stat, &ch.fdUsbKbdStat}) {
		const std::int32_t fd = slot->exchange(0);
		if (fd > 0)
			::close(fd);
	}
	{
		std::lock_guard lock(g_MsrSessionLock);
		const std::int32_t fd = ch.fdUsbMsrStat.exchange(0);
		if (fd > 0)
			::close(fd);
	}
	ResetSessionSlotsForPolling();
	ch.fdPs2Stat.store(OpenDeviceNode(PS2_STAT_NODE));
	ch.fdUsbKbdStat.store(OpenDeviceNode(USB_KBDSTAT_NODE));
	ch.fdUsbMsrStat.store(OpenDeviceNode(USB_MSRSTAT_NODE));
	return ch.fdPs2Stat.load() > 0 || ch.fdUsbKbdStat.load() > 0 || ch.fdUsbMsrStat.load() > 0;
}

void PollPs2(JNIEnv *env, jobject obj, const Callbacks &cb, PollingMemory &mem)
{
	const int fd = g_DeviceChannels.fdPs2Stat.load();
	if (fd <= 0)
		return;
	Ps2StatusRecord rec{};
	if (!ReadStatus(fd, rec))
		return;
	if (g_bKeyboardOpened.load() != 0 && rec.uchKbdCount != 0)
		HandleKeyboardDataPS2(env, obj, cb.kbdMethod, rec.uchKbdCount);
	if (g_bMsrOpened.load() != 0 &&
	    (rec.ushTrack1Len != 0 || rec.ushTrack2Len != 0 || rec.ushTrack3Len != 0 || mem.bPs2MsrPending != 0))
		mem.bPs2MsrPending = HandleMSRDataPS2(env, obj, cb.msrMethod, rec);
	if (g_bKeylockOpened.load() != 0 && rec.uchKeyLockPos != 0 && rec.uchKeyLockPos != mem.uchLastPs2KeyLock)
		HandleKeylockDataPS2(env, obj, cb.klkMethod, rec.uchKeyLockPos);
	// Remembered whatever the flags, so that opening the keylock alone makes
	// no callback; the first comes with the next change.
	mem.uchLastPs2KeyLock = rec.uchKeyLockPos;
}

void PollUsbKeyboard(JNIEnv *env, jobject obj, const Callbacks &cb)
{
	const int fd = g_DeviceChannels.fdUsbKbdStat.load();
	if (fd <= 0)
		return;
	UsbKbdStatusRecord rec{};
	if (ReadStatus(fd, rec) && g_bKeyboardOpened.load() != 0 && rec.uchKbdCount != 0)
		HandleKeyboardDataUSB(env, obj, cb.kbdMethod, rec.uchKbdCount);
}

void PollUsbMsr(JNIEnv *env, jobject obj, const Callbacks &cb, PollingMemory &mem)
{
	const int fd = g_DeviceChannels.fdUsbMsrStat.load();
	if (fd <= 0)
		return;
	UsbMsrStatusRecord rec{};
	if (!ReadStatus(fd, rec))
		return;
	if (g_bMsrOpened.load() != 0 &&
	    (rec.ushTrack1Len != 0 || rec.ushTrack2Len != 0 || rec.ushTrack3Len != 0 || mem.bUsbMsrPending != 0))
		mem.bUsbMsrPending = HandleMSRDataUSB(env, obj, cb.msrMethod, rec);
	const std::uint16_t pos = rec.ushKeyLockPos;
	if (g_bKeylockOpened.load() != 0 && pos != 0 && pos != mem.ushLastUsbKeyLock)
		HandleKeylockDataUSB(env, obj, cb.klkMethod, static_cast<std::int16_t>(pos));
	mem.ushLastUsbKeyLock = pos;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL TRV_JNI(startPolling)(JNIEnv *env, jobject obj)
{
	std::uint64_t ulRun = 0;
	{
		std::lock_guard lock(g_PollingLock);
		if (g_bPollingActive)
			return; // a loop runs already; it is left alone
		g_bPollingActive = true;
		ulRun = ++g_ulRunsStarted;
	}

	t_bOnPollingThread = true;
	Callbacks cb{};
	LookUpCallbacks(env, obj, cb);
	// Only the active run touches the memory; runs are ordered by
	// g_PollingLock, so each sees what the one before it left.
	PollingMemory &mem = g_PollingMemory;
	if (OpenStatusNodes()) {
		while (g_bStopPolling.load() == 0) {
			PollPs2(env, obj, cb, mem);
			PollUsbKeyboard(env, obj, cb);
			PollUsbMsr(env, obj, cb, mem);
			nanosleep(&CYCLE_SLEEP, nullptr);
		}
	}
	t_bOnPollingThread = false;
	// Acknowledge the stop. The status descriptors stay open: the header
	// configuration is written through the USB MSR status node.
	{
		std::lock_guard lock(g_PollingLock);
		g_bStopPolling.store(0);
		g_bPollingActive = false;
		g_ulRunsEnded = ulRun;
	}
	g_PollingEnded.notify_all();
}

// Requests the stop of the run that is active now and waits until that run
// has ended. The request is made only while a run is active, and that run
// withdraws it as it ends, so it never reaches a later run; a run started
// after this call does not hold it up.
JNIEXPORT void JNICALL TRV_JNI(stopPolling)(JNIEnv *, jobject)
{
	std::unique_lock lock(g_PollingLock);
	if (!g_bPollingActive)
		return; // never started, or no status node opened: nothing to wait for
	const std::uint64_t ulRun = g_ulRunsStarted;
	g_bStopPolling.store(1);
	if (t_bOnPollingThread)
		return; // called from a callback: the loop leaves at its next cycle
	g_PollingEnded.wait(lock, [ulRun] { return g_ulRunsEnded >= ulRun; });
}

} // extern "C"
