// The polling loop: opens the three status nodes, reads them every 50 ms and
// hands each piece of news to the keyboard, keylock or MSR handler of an open
// device; stopPolling ends it through the g_bStopPolling handshake.
#include <time.h>
#include <unistd.h>

#include "nativelayer.h"
#include "sessions.h"

namespace {

constexpr timespec CYCLE_SLEEP{0, 50'000'000};

constexpr const char PS2_STAT_NODE[] = "/dev/qkbd_stat";
constexpr const char USB_KBDSTAT_NODE[] = "/dev/trvposusb_kbdstat";
constexpr const char USB_MSRSTAT_NODE[] = "/dev/trvposusb_msrstat";

// True from the moment a startPolling claims the loop until it returns. A
// second startPolling finds it set and returns at once; stopPolling finds it
// clear and has no loop to wait for.
std::atomic<bool> g_bPollingActive{false};

// Set on the thread that runs the loop, so that a stopPolling called from a
// callback (on that same thread) requests the stop without waiting for
// itself.
thread_local bool t_bOnPollingThread = false;

// State of one run; all zero at the start of each startPolling.
struct LoopState {
	jmethodID kbdMethod;
	jmethodID klkMethod;
	jmethodID msrMethod;
	std::uint8_t uchLastPs2KeyLock;
	std::uint16_t ushLastUsbKeyLock;
	std::int32_t bPs2MsrPending;
	std::int32_t bUsbMsrPending;
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

void LookUpCallbacks(JNIEnv *env, jobject obj, LoopState &st)
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
// the status nodes are opened anew. Returns whether any status node opened.
bool OpenStatusNodes()
{
	DeviceChannels &ch = g_DeviceChannels;
	std::atomic<std::int32_t> *statusSlots[] = {&ch.fdPs2Stat, &ch.fdUsbKbdStat, &ch.fdUsbMsrStat};
	for (auto *slot : statusSlots) {
		const std::int32_t fd = slot->exchange(0);
		if (fd > 0)
			::close(fd);
	}
	ResetSessionSlotsForPolling();
	ch.fdPs2Stat.store(OpenDeviceNode(PS2_STAT_NODE));
	ch.fdUsbKbdStat.store(OpenDeviceNode(USB_KBDSTAT_NODE));
	ch.fdUsbMsrStat.store(OpenDeviceNode(USB_MSRSTAT_NODE));
	for (auto *slot : statusSlots)
		if (slot->load() > 0)
			return true;
	return false;
}

void PollPs2(JNIEnv *env, jobject obj, LoopState &st)
{
	const int fd = g_DeviceChannels.fdPs2Stat.load();
	if (fd <= 0)
		return;
	Ps2StatusRecord rec{};
	if (!ReadStatus(fd, rec))
		return;
	if (g_bKeyboardOpened.load() != 0 && rec.uchKbdCount != 0)
		HandleKeyboardDataPS2(env, obj, st.kbdMethod, rec.uchKbdCount);
	if (g_bMsrOpened.load() != 0 &&
	    (rec.ushTrack1Len != 0 || rec.ushTrack2Len != 0 || rec.ushTrack3Len != 0 || st.bPs2MsrPending != 0))
		st.bPs2MsrPending = HandleMSRDataPS2(env, obj, st.msrMethod, rec);
	if (g_bKeylockOpened.load() != 0 && rec.uchKeyLockPos != 0 && rec.uchKeyLockPos != st.uchLastPs2KeyLock)
		HandleKeylockDataPS2(env, obj, st.klkMethod, rec.uchKeyLockPos);
	// Remembered whatever the flags, so that opening the keylock alone makes
	// no callback; the first comes with the next change.
	st.uchLastPs2KeyLock = rec.uchKeyLockPos;
}

void PollUsbKeyboard(JNIEnv *env, jobject obj, LoopState &st)
{
	const int fd = g_DeviceChannels.fdUsbKbdStat.load();
	if (fd <= 0)
		return;
	UsbKbdStatusRecord rec{};
	if (ReadStatus(fd, rec) && g_bKeyboardOpened.load() != 0 && rec.uchKbdCount != 0)
		HandleKeyboardDataUSB(env, obj, st.kbdMethod, rec.uchKbdCount);
}

void PollUsbMsr(JNIEnv *env, jobject obj, LoopState &st)
{
	const int fd = g_DeviceChannels.fdUsbMsrStat.load();
	if (fd <= 0)
		return;
	UsbMsrStatusRecord rec{};
	if (!ReadStatus(fd, rec))
		return;
	if (g_bMsrOpened.load() != 0 &&
	    (rec.ushTrack1Len != 0 || rec.ushTrack2Len != 0 || rec.ushTrack3Len != 0 || st.bUsbMsrPending != 0))
		st.bUsbMsrPending = HandleMSRDataUSB(env, obj, st.msrMethod, rec);
	const std::uint16_t pos = rec.ushKeyLockPos;
	if (g_bKeylockOpened.load() != 0 && pos != 0 && pos != st.ushLastUsbKeyLock)
		HandleKeylockDataUSB(env, obj, st.klkMethod, static_cast<std::int16_t>(pos));
	st.ushLastUsbKeyLock = pos;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL TRV_JNI(startPolling)(JNIEnv *env, jobject obj)
{
	bool idle = false;
	if (!g_bPollingActive.compare_exchange_strong(idle, true))
		return; // a loop runs already; it is left alone

	t_bOnPollingThread = true;
	LoopState st{};
	LookUpCallbacks(env, obj, st);
	if (OpenStatusNodes()) {
		while (g_bStopPolling.load() == 0) {
			PollPs2(env, obj, st);
			PollUsbKeyboard(env, obj, st);
			PollUsbMsr(env, obj, st);
			nanosleep(&CYCLE_SLEEP, nullptr);
		}
	}
	// Acknowledge the stop. The status descriptors stay open: the header
	// configuration is written through the USB MSR status node.
	g_bStopPolling.store(0);
	t_bOnPollingThread = false;
	g_bPollingActive.store(false);
}

JNIEXPORT void JNICALL TRV_JNI(stopPolling)(JNIEnv *, jobject)
{
	if (!g_bPollingActive.load())
		return; // never started, or no status node opened: nothing to wait for
	g_bStopPolling.store(1);
	if (t_bOnPollingThread)
		return; // called from a callback: the loop leaves at its next cycle
	while (g_bPollingActive.load())
		nanosleep(&CYCLE_SLEEP, nullptr);
	// A loop that ended on its own just before the request never saw it;
	// withdraw it so that the next run is not stopped at once.
	std::int32_t requested = 1;
	g_bStopPolling.compare_exchange_strong(requested, 0);
}

} // extern "C"
