// The polling loop: opens the three status nodes, reads them every 50 ms and
// hands each piece of news to the keyboard, keylock or MSR handler of an open
// device; stopPolling ends it through the g_bStopPolling handshake.
#include <errno.h>
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

// Runs of the loop, guarded by g_PollingLock. Every startPolling that is to
// poll takes the next number (g_ulRunsEntered) and begins once the run
// before it has ended (g_ulRunsEnded), so runs never overlap and begin in
// the order they were entered. Every run numbered up to g_ulStopUpTo has been
// asked to stop: a run asked before it began ends before its first cycle,
// and the active one sees g_bStopPolling.
std::mutex g_PollingLock;
std::condition_variable g_PollingEnded;
std::uint64_t g_ulRunsEntered = 0;
std::uint64_t g_ulRunsEnded = 0;
std::uint64_t g_ulStopUpTo = 0;

// Set on the thread that runs the loop, so that a stopPolling called from a
// callback (on that same thread) requests the stop without waiting for
// itself, and a startPolling called there does not wait for its own loop.
thread_local bool t_bOnPollingThread = false;

// Method IDs of one run.
struct Callbacks {
	jmethodID kbdMethod;
	jmethodID klkMethod;
	jmethodID msrMethod;
};

// Reads one whole status record; any other count (an error included) is
// reported as false and the record is not to be used. A status node that
// reports its device gone is closed (slot -1) and left to the reopen step;
// the USB MSR one under the MSR session lock, as writeMSRConfig writes
// through it.
template <class Record> bool ReadStatus(std::atomic<std::int32_t> &slot, int fd, Record &record)
{
	const ssize_t n = ::read(fd, &record, sizeof record);
	if (n == static_cast<ssize_t>(sizeof record))
		return true;
	if (n < 0 && DeviceGone(errno)) {
		const int err = errno;
		if (&slot == &g_DeviceChannels.fdUsbMsrStat) {
			std::lock_guard lock(g_MsrSessionLock);
			DropIfGone(slot, fd, err);
		} else {
			DropIfGone(slot, fd, err);
		}
	}
	return false;
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
	// A status node that went away is back with a new device: a USB MSR
	// status node gets the last header record again, and the data nodes
	// whose news a status node carries are renewed, as after a reopen by
	// the loop.
	const std::uint32_t wasGone = g_ulGoneSlots.load();
	const bool bMsrStatWasGone = (wasGone & GoneBit(ch.fdUsbMsrStat)) != 0;
	ForgetGone({&ch.fdPs2Stat, &ch.fdUsbKbdStat, &ch.fdUsbMsrStat});
	ch.fdPs2Stat.store(OpenDeviceNode(PS2_STAT_NODE));
	ch.fdUsbKbdStat.store(OpenDeviceNode(USB_KBDSTAT_NODE));
	{
		std::lock_guard lock(g_MsrSessionLock);
		ch.fdUsbMsrStat.store(OpenDeviceNode(USB_MSRSTAT_NODE));
		if (bMsrStatWasGone && ch.fdUsbMsrStat.load() > 0)
			ResendMSRConfiguration(ch.fdUsbMsrStat.load());
	}
	// A status node that opened before and fails now went away: the loop
	// retries it. With no status node open at all there is no loop, as
	// without drivers: startPolling returns at once.
	for (auto *slot : {&ch.fdPs2Stat, &ch.fdUsbKbdStat, &ch.fdUsbMsrStat}) {
		if ((wasGone & GoneBit(*slot)) != 0 && slot->load() > 0)
			RenewDependentsOf(*slot);
		NoteOpenResult(*slot);
	}
	return ch.fdPs2Stat.load() > 0 || ch.fdUsbKbdStat.load() > 0 || ch.fdUsbMsrStat.load() > 0;
}

// While an attachment's status node is away, a swipe it read before is still
// reported on time: its handler is called as for a record that announces
// nothing, which only counts the wait (no system call).
template <class Record>
void KeepCountingHeldSwipe(JNIEnv *env, jobject obj, const Callbacks &cb, std::int32_t &bPending,
			   int (*handle)(JNIEnv *, jobject, jmethodID, Record), Record none)
{
	if (bPending != 0 && g_bMsrOpened.load() != 0)
		bPending = handle(env, obj, cb.msrMethod, none);
}

// A keylock position counts as reported only once klkDataOccurred was made
// for it: a handler that could not read the node leaves the last position
// as it was, so the turn is reported in a later cycle. While the keylock is
// not open, or at position 0, the position is remembered as it is, so that
// opening the keylock alone makes no callback.
template <class Position, class Handler>
void PollKeylock(JNIEnv *env, jobject obj, jmethodID klkMethod, Position pos, Position &last, Handler handle)
{
	if (g_bKeylockOpened.load() != 0 && pos != 0 && pos != last) {
		if (handle(env, obj, klkMethod, pos) == 1)
			last = pos;
		return;
	}
	last = pos;
}

// Returns whether the keyboard handler called back in this cycle.
bool PollPs2(JNIEnv *env, jobject obj, const Callbacks &cb, PollingMemory &mem)
{
	const int fd = g_DeviceChannels.fdPs2Stat.load();
	if (fd <= 0) {
		KeepCountingHeldSwipe(env, obj, cb, mem.bPs2MsrPending, HandleMSRDataPS2, Ps2StatusRecord{});
		return false;
	}
	Ps2StatusRecord rec{};
	if (!ReadStatus(g_DeviceChannels.fdPs2Stat, fd, rec))
		return false;
	bool bKbdCalledBack = false;
	if (g_bKeyboardOpened.load() != 0 && rec.uchKbdCount != 0)
		bKbdCalledBack = HandleKeyboardDataPS2(env, obj, cb.kbdMethod, rec.uchKbdCount) == 1;
	if (g_bMsrOpened.load() != 0 &&
	    (rec.ushTrack1Len != 0 || rec.ushTrack2Len != 0 || rec.ushTrack3Len != 0 || mem.bPs2MsrPending != 0))
		mem.bPs2MsrPending = HandleMSRDataPS2(env, obj, cb.msrMethod, rec);
	PollKeylock(env, obj, cb.klkMethod, rec.uchKeyLockPos, mem.uchLastPs2KeyLock,
		    [](JNIEnv *e, jobject o, jmethodID m, std::uint8_t pos) { return HandleKeylockDataPS2(e, o, m, pos); });
	return bKbdCalledBack;
}

// While the pending list is full, the keyboard handlers remind Java with a
// callback; one reminder a cycle is enough, so the USB handler is skipped
// when the PS/2 one has called back in this cycle and there is still no
// room.
void PollUsbKeyboard(JNIEnv *env, jobject obj, const Callbacks &cb, bool bKbdCalledBack)
{
	const int fd = g_DeviceChannels.fdUsbKbdStat.load();
	if (fd <= 0)
		return;
	UsbKbdStatusRecord rec{};
	if (!ReadStatus(g_DeviceChannels.fdUsbKbdStat, fd, rec) || g_bKeyboardOpened.load() == 0 ||
	    rec.uchKbdCount == 0)
		return;
	if (bKbdCalledBack && KbdPendingFull())
		return;
	HandleKeyboardDataUSB(env, obj, cb.kbdMethod, rec.uchKbdCount);
}

void PollUsbMsr(JNIEnv *env, jobject obj, const Callbacks &cb, PollingMemory &mem)
{
	const int fd = g_DeviceChannels.fdUsbMsrStat.load();
	if (fd <= 0) {
		KeepCountingHeldSwipe(env, obj, cb, mem.bUsbMsrPending, HandleMSRDataUSB, UsbMsrStatusRecord{});
		return;
	}
	UsbMsrStatusRecord rec{};
	if (!ReadStatus(g_DeviceChannels.fdUsbMsrStat, fd, rec))
		return;
	if (g_bMsrOpened.load() != 0 &&
	    (rec.ushTrack1Len != 0 || rec.ushTrack2Len != 0 || rec.ushTrack3Len != 0 || mem.bUsbMsrPending != 0))
		mem.bUsbMsrPending = HandleMSRDataUSB(env, obj, cb.msrMethod, rec);
	PollKeylock(env, obj, cb.klkMethod, static_cast<std::uint16_t>(rec.ushKeyLockPos), mem.ushLastUsbKeyLock,
		    [](JNIEnv *e, jobject o, jmethodID m, std::uint16_t pos) {
			    return HandleKeylockDataUSB(e, o, m, static_cast<std::int16_t>(pos));
		    });
}

} // namespace

extern "C" {

// Polls until a stop is requested. A run that polls normally is left alone:
// a second startPolling then returns at once, as does one made from a
// callback. A startPolling made after the active run was asked to stop (a
// restart asked for from a callback) waits for that run's end and then
// polls.
JNIEXPORT void JNICALL TRV_JNI(startPolling)(JNIEnv *env, jobject obj)
{
	if (t_bOnPollingThread)
		return; // this thread's loop runs already
	std::uint64_t ulRun = 0;
	{
		std::unique_lock lock(g_PollingLock);
		if (g_ulRunsEntered > g_ulRunsEnded && g_ulStopUpTo < g_ulRunsEntered)
			return; // the newest run polls, or is about to, and is to go on
		ulRun = ++g_ulRunsEntered;
		g_PollingEnded.wait(lock, [ulRun] { return g_ulRunsEnded == ulRun - 1; });
		g_bStopPolling.store(g_ulStopUpTo >= ulRun ? 1 : 0);
	}

	if (g_bStopPolling.load() == 0) {
		t_bOnPollingThread = true;
		Callbacks cb{};
		LookUpCallbacks(env, obj, cb);
		// Only the active run touches the memory; runs are ordered by
		// g_PollingLock, so each sees what the one before it left.
		PollingMemory &mem = g_PollingMemory;
		ReopenSchedule schedule{};
		if (OpenStatusNodes()) {
			for (std::uint64_t cycle = 0; g_bStopPolling.load() == 0; ++cycle) {
				ReopenGoneNodes(schedule, cycle);
				const bool bKbdCalledBack = PollPs2(env, obj, cb, mem);
				PollUsbKeyboard(env, obj, cb, bKbdCalledBack);
				PollUsbMsr(env, obj, cb, mem);
				nanosleep(&CYCLE_SLEEP, nullptr);
			}
		}
		t_bOnPollingThread = false;
	}
	// Acknowledge the stop. The status descriptors stay open: the header
	// configuration is written through the USB MSR status node.
	{
		std::lock_guard lock(g_PollingLock);
		g_bStopPolling.store(0);
		g_ulRunsEnded = ulRun;
	}
	g_PollingEnded.notify_all();
}

// Requests the stop of the newest run (the active one, or one whose
// startPolling waits to begin, with every run before it) and waits until it
// has ended. With no startPolling in progress it returns at once and leaves
// no request behind, so it never reaches a later run. Called from a callback
// it only requests: the loop leaves at the top of its next cycle.
JNIEXPORT void JNICALL TRV_JNI(stopPolling)(JNIEnv *, jobject)
{
	std::unique_lock lock(g_PollingLock);
	if (g_ulRunsEntered == g_ulRunsEnded)
		return; // never started, or ended already: nothing to wait for
	const std::uint64_t ulRun = g_ulRunsEntered;
	g_ulStopUpTo = ulRun;
	g_bStopPolling.store(1);
	if (t_bOnPollingThread)
		return;
	g_PollingEnded.wait(lock, [ulRun] { return g_ulRunsEnded >= ulRun; });
}

} // extern "C"
