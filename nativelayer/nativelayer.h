// Native half of the JavaPOS service com.tarvel.jpos.ServiceLayer: the
// process-global state shared by the sessions, the polling loop and the data
// paths, and every function the library exports with C linkage.
//
// Threads and the rules that keep them apart (the one place they are stated):
//
// - One Java thread runs startPolling (the polling thread); other Java
//   threads call the session methods, the configuration writers and the
//   getters. The callbacks run on the polling thread.
// - Open flags and descriptor slots are atomics. An open stores its slots
//   before it sets the flag; a close clears the flag, sets each slot to 0 and
//   only then closes the descriptor it held.
// - Session locks (g_KeyboardSessionLock, g_MsrSessionLock,
//   g_KeylockSessionLock; sessions.h): a data-node descriptor is read or
//   written only under its device's session lock, held from the test of the
//   open flag and the load of the slot to the end of the read or write, and
//   it is closed only under that lock. A close therefore waits for a read or
//   write in flight, and a number once closed is never used again, whatever
//   file takes it next. Holders: each device's open, claim, release and
//   close; the keyboard handlers, writeKeyboardConfig and setposkey
//   (keyboard; it also guards the POS key tables, which setposkey fills,
//   writeKeyboardConfig sends and closeKeyBoard empties); the MSR track
//   readers (which also store the track under it), openMSR's reset of the
//   swipe in progress, writeMSRConfig and the polling thread's replacement
//   of the USB MSR status descriptor (MSR); the keylock handlers and
//   getKeyLockPosition (keylock); the polling loop's reopening of a data
//   node that went away (that node's device). The status descriptors are
//   read by the loop without a lock: only the polling thread closes and
//   reopens them, startPolling before its loop starts and the loop when a
//   node went away (the USB MSR one under the MSR session lock, for
//   writeMSRConfig).
// - Data locks (g_KbdDataLock, g_KeyLockDataLock, g_TrackDataLock,
//   g_VersionLock, below) guard each path's pending data and staging buffers.
// - Lock order: a data lock may be taken while a session lock is held, never
//   the other way round; nobody holds two session locks or two data locks at
//   once. g_PollingLock (polling.cpp) is never held together with another.
// - No Java method is called under any lock: a handler releases its locks
//   before it calls back, so a callback may call any method of the library.
//   A getter makes its Java array under its data lock, and writeMSRConfig
//   fetches the array's bytes and reads trvpos.ini before it takes the MSR
//   session lock.
// - Runs of the loop: g_PollingLock orders them (one at a time, in the order
//   their startPolling was entered). A startPolling while a run polls
//   normally returns at once; one while the active run is asked to stop
//   waits for its end, then polls. stopPolling requests the stop of the
//   newest run entered (and so of every run before it) and waits for that
//   run's end only; a run asked before it began ends before its first cycle,
//   and the run withdraws the request as it ends. g_PollingMemory, the swipe
//   states of msr_data.cpp and the reopen schedule are touched only by the
//   active run (on the polling thread).
#pragma once

#include <jni.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>

#include "status_records.h"

extern "C" {

// ---- Device channels ------------------------------------------------------

// Sixteen descriptor slots, PS/2 group then USB group. A slot holds a
// descriptor (> 0), 0 (none) or -1 (the last open attempt failed, or the
// node went away).
//
// A node that goes away and comes back (a bumped cable, a replug) is healed
// by the library itself, with no Java call (replug.cpp):
// - A read or write that fails with ENODEV, ENXIO or ESHUTDOWN means the
//   device behind the descriptor is gone for good: the descriptor will never
//   work again, even once the node is back. Any other failure (EIO, EAGAIN,
//   a short count) is taken as passing, as before.
// - The holder of the slot's lock (the session lock of a data node, the
//   polling thread for a status node, with the MSR session lock too for the
//   USB MSR status node) sets the slot to -1, closes the descriptor and marks
//   the slot in g_ulGoneSlots. writeMSRConfig, which writes through the USB
//   MSR status node on a Java thread, only reports the failure: the loop
//   finds the node gone at its next status read.
// - The polling loop tries to reopen each gone node at most once every 20
//   cycles (one second). When one opens, its attachment is back, and the
//   attachment's other gone nodes are tried in the same cycle. So while a
//   node is gone the loop makes no more system calls than an idle one (the
//   gone node's reads are skipped), plus one open a second per gone node.
// - A status node that comes back renews the data nodes whose news it
//   carries (the PS/2 status: every PS/2 node; the USB keyboard status: the
//   USB keyboard; the USB MSR status: the USB keylock and tracks): they are
//   not read while it is away, so their descriptors, which a real unplug
//   killed too, are closed and opened anew at once.
// - A data node is reopened only while its session is open, under the
//   session lock; a close or open of the session forgets the mark. A reopened
//   keyboard node gets the POS key table again when writeKeyboardConfig had
//   sent it in this session, a reopened USB MSR status node the last header
//   record that writeMSRConfig wrote.
// - A node that fails to open (a session open, startPolling) after it has
//   held a descriptor before went away too, and is retried the same way, so
//   that a service that reopens its sessions or restarts polling while the
//   cable is out heals as well. A startPolling that opens no status node at
//   all still returns at once, as without drivers. A node that never opened
//   since the library was loaded (the other attachment of a
//   single-attachment terminal) is never retried.
// - While a status node is away, a swipe its attachment read before is
//   still reported on time. A status node that a restart of polling opens
//   after it went away is treated as one the loop reopened: its dependents
//   are renewed, and the USB MSR status node gets the last header record.
struct DeviceChannels {
	std::atomic<std::int32_t> fdPs2Stat;
	std::atomic<std::int32_t> fdPs2KbdStat; // no node; always 0
	std::atomic<std::int32_t> fdPs2MsrStat; // no node; always 0
	std::atomic<std::int32_t> fdPs2Keyboard;
	std::atomic<std::int32_t> fdPs2Keylock;
	std::atomic<std::int32_t> fdPs2Msr1;
	std::atomic<std::int32_t> fdPs2Msr2;
	std::atomic<std::int32_t> fdPs2Msr3;
	std::atomic<std::int32_t> fdUsbStat;    // no node; always 0
	std::atomic<std::int32_t> fdUsbKbdStat;
	std::atomic<std::int32_t> fdUsbMsrStat;
	std::atomic<std::int32_t> fdUsbKeyboard;
	std::atomic<std::int32_t> fdUsbKeylock;
	std::atomic<std::int32_t> fdUsbMsr1;
	std::atomic<std::int32_t> fdUsbMsr2;
	std::atomic<std::int32_t> fdUsbMsr3;
};
static_assert(sizeof(DeviceChannels) == 16 * sizeof(std::int32_t));

extern DeviceChannels g_DeviceChannels;

// Session flags (0 or 1).
extern std::atomic<std::int32_t> g_bKeyboardOpened;
extern std::atomic<std::int32_t> g_bKeyboardClaimed;
extern std::atomic<std::int32_t> g_bMsrOpened;
extern std::atomic<std::int32_t> g_bMsrClaimed;
extern std::atomic<std::int32_t> g_bKeylockOpened;

// 1 while a stop of the active run has been requested and not yet
// acknowledged by it.
extern std::atomic<std::int32_t> g_bStopPolling;

// ---- Pending data (guarded by the path's mutex below) ----------------------

inline constexpr int KBD_DATA_ENTRIES = 255;
inline constexpr int TRACK_BUFFER_SIZE = 255;

extern std::int32_t g_rgnKbdData[KBD_DATA_ENTRIES];
extern std::int32_t g_nKbdDataLength;

extern std::uint8_t g_puchKeyLockData[1];
extern std::int32_t g_nKeyLockDataLength;

extern std::uint8_t g_puchTrack1Data[TRACK_BUFFER_SIZE];
extern std::uint8_t g_puchTrack2Data[TRACK_BUFFER_SIZE];
extern std::uint8_t g_puchTrack3Data[TRACK_BUFFER_SIZE];
extern std::uint8_t g_puchTrack4Data[TRACK_BUFFER_SIZE];
extern std::int32_t g_nTrack1DataLength;
extern std::int32_t g_nTrack2DataLength;
extern std::int32_t g_nTrack3DataLength;
extern std::int32_t g_nTrack4DataLength;

// ---- Staging buffers handed to Java (freed at the getter's next call or the
// device's close; guarded by the path's mutex) ------------------------------

extern std::uint8_t *g_pJavaVersionBytes;
extern std::int32_t *g_pjnKeyCodes;
extern std::uint8_t *g_pJavaKeyLockData;
extern std::uint8_t *g_pJavaTrack1Data;
extern std::uint8_t *g_pJavaTrack2Data;
extern std::uint8_t *g_pJavaTrack3Data;
extern std::uint8_t *g_pJavaTrack4Data;
// The Java array made by the last fetch of each track (a local reference of
// the fetching call; kept for reference only, never used after the call).
extern jbyteArray g_pJavaTrack1DataArr;
extern jbyteArray g_pJavaTrack2DataArr;
extern jbyteArray g_pJavaTrack3DataArr;
extern jbyteArray g_pJavaTrack4DataArr;

// ---- POS key tables (guarded by g_KeyboardSessionLock) -----------------------

inline constexpr int SET1_KEY_CONF_SIZE = 385;
inline constexpr int HID_KEY_CONF_ENTRIES = 512;

extern std::uint8_t g_rguchSet1KeyConf[SET1_KEY_CONF_SIZE];
extern std::uint16_t g_rgushHIDKeyConfUSB[HID_KEY_CONF_ENTRIES];

// ---- Helpers -----------------------------------------------------------------

// Frees a heap block; a null pointer is ignored.
void myFree(void *p);

// ---- Polling handlers (polling thread) ---------------------------------------

int HandleKeyboardDataPS2(JNIEnv *env, jobject obj, jmethodID kbdMethod, unsigned int nCount);
int HandleKeyboardDataUSB(JNIEnv *env, jobject obj, jmethodID kbdMethod, unsigned int nCount);
int HandleKeylockDataPS2(JNIEnv *env, jobject obj, jmethodID klkMethod, unsigned int nPos);
int HandleKeylockDataUSB(JNIEnv *env, jobject obj, jmethodID klkMethod, int nPos);
int HandleMSRDataPS2(JNIEnv *env, jobject obj, jmethodID msrMethod, Ps2StatusRecord status);
int HandleMSRDataUSB(JNIEnv *env, jobject obj, jmethodID msrMethod, UsbMsrStatusRecord status);
int HandleMSRTrackPS2(JNIEnv *env, jobject obj, jmethodID msrMethod, std::uint8_t uchTrack,
		      std::uint16_t ushLength);
int HandleMSRTrackUSB(JNIEnv *env, jobject obj, jmethodID msrMethod, std::uint8_t uchTrack,
		      std::uint16_t ushLength);

// ---- PS/2 track translation ---------------------------------------------------

extern const std::uint8_t g_MsrMapSet1[62][4];
int UpdateModifierFlags(std::uint8_t uchCode, std::uint32_t ulEventFlags, std::uint32_t *pulModifiers);
std::uint32_t TranslateRawToAscii(const std::uint8_t *puchRaw, std::int32_t nRawLength,
				  std::uint8_t *puchOut, std::int32_t *pnCount);

// ---- Configuration writers ------------------------------------------------------

int WriteKeyboardConfiguration(void);
int WriteKeyboardConfigurationToDevice(int fd, const std::uint8_t *data, int length);
int WriteMSRConfiguration(const std::uint8_t *data, int length);
int WriteMSRConfigurationUSB(int fd, const std::uint8_t *data, int length);
int ReadHeaderConfiguration(std::uint8_t *header, std::uint8_t capacity);

// ---- JNI entry points of com.tarvel.jpos.ServiceLayer ---------------------------

#define TRV_JNI(name) Java_com_tarvel_jpos_ServiceLayer_##name

JNIEXPORT jbyteArray JNICALL TRV_JNI(getVersion)(JNIEnv *, jobject);

JNIEXPORT jint JNICALL TRV_JNI(openKeyBoard)(JNIEnv *, jobject, jstring);
JNIEXPORT void JNICALL TRV_JNI(closeKeyBoard)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(claimKeyboard)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(releaseKeyboard)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(enablekeyBoard)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(disableKeyBoard)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(getKeyboardPowerState)(JNIEnv *, jobject);
JNIEXPORT void JNICALL TRV_JNI(clearKeyBoardInput)(JNIEnv *, jobject);
JNIEXPORT jintArray JNICALL TRV_JNI(getKbdData)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(writeKeyboardConfig)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(setposkey)(JNIEnv *, jobject, jint, jintArray);

JNIEXPORT jint JNICALL TRV_JNI(openMSR)(JNIEnv *, jobject, jstring);
JNIEXPORT void JNICALL TRV_JNI(closeMSR)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(claimMSR)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(releaseMSR)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(enableMSR)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(disableMSR)(JNIEnv *, jobject);
JNIEXPORT void JNICALL TRV_JNI(clearMSRInput)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(getMSRPowerState)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(writeMSRConfig)(JNIEnv *, jobject, jint, jbyteArray);
JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack1Data)(JNIEnv *, jobject);
JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack2Data)(JNIEnv *, jobject);
JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack3Data)(JNIEnv *, jobject);
JNIEXPORT jbyteArray JNICALL TRV_JNI(getMsrTrack4Data)(JNIEnv *, jobject);

JNIEXPORT jint JNICALL TRV_JNI(openKeyLock)(JNIEnv *, jobject, jstring);
JNIEXPORT jint JNICALL TRV_JNI(closeKeyLock)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(enableKeylock)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(disableKeylock)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(writeKeylockConfig)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(getKeylockPowerState)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(getKeyLockPosition)(JNIEnv *, jobject);
JNIEXPORT jint JNICALL TRV_JNI(getPositionCount)(JNIEnv *, jobject);
JNIEXPORT jbyteArray JNICALL TRV_JNI(getKeyLockData)(JNIEnv *, jobject);

JNIEXPORT void JNICALL TRV_JNI(startPolling)(JNIEnv *, jobject);
JNIEXPORT void JNICALL TRV_JNI(stopPolling)(JNIEnv *, jobject);

} // extern "C"

// ---- Internal (C++ linkage, not part of the exported interface) ----------------

// Guards g_rgnKbdData, g_nKbdDataLength and g_pjnKeyCodes.
extern std::mutex g_KbdDataLock;
// Guards g_puchKeyLockData, g_nKeyLockDataLength and g_pJavaKeyLockData.
extern std::mutex g_KeyLockDataLock;
// Guards the four track buffers, their lengths and their staging buffers.
extern std::mutex g_TrackDataLock;
// Guards g_pJavaVersionBytes.
extern std::mutex g_VersionLock;

// What the polling loop carries from one run to the next, so that a restart
// neither reports a keylock position that did not change nor forgets a swipe
// whose report is pending: the keylock positions of the last status records
// read whole, and whether each MSR handler still holds tracks. Zero at load.
struct PollingMemory {
	std::uint8_t uchLastPs2KeyLock;
	std::uint16_t ushLastUsbKeyLock;
	std::int32_t bPs2MsrPending;
	std::int32_t bUsbMsrPending;
};
extern PollingMemory g_PollingMemory;

// ---- Nodes that went away (replug.cpp; rules beside DeviceChannels) ---------

// Slots whose node went away while open, one bit per slot in the order of
// DeviceChannels.
extern std::atomic<std::uint32_t> g_ulGoneSlots;
// Slots that have held a descriptor since the library was loaded.
extern std::atomic<std::uint32_t> g_ulSeenSlots;
// Whether a failed read or write (its errno) means the device is gone.
bool DeviceGone(int err);
// After a read or write on fd through slot failed with errno err: when err
// means the device is gone, sets the slot to -1, closes fd and marks the
// slot gone, and returns true. The caller holds the slot's lock.
bool DropIfGone(std::atomic<std::int32_t> &slot, int fd, int err);
// Forgets the gone marks of slots that a session open or close takes over.
// The caller holds the session lock.
void ForgetGone(std::initializer_list<std::atomic<std::int32_t> *> slots);
// A status node is back after it went away: the data nodes whose news it
// carries are opened anew under their session locks (their descriptors
// died with the device). Polling thread only, with no lock held.
void RenewDependentsOf(const std::atomic<std::int32_t> &statusSlot);
// The bit of a slot in g_ulGoneSlots and g_ulSeenSlots.
std::uint32_t GoneBit(const std::atomic<std::int32_t> &slot);
// After an open stored its result in the slot: a node that has held a
// descriptor before and fails to open now went away, and is marked gone to
// be retried like one found dead (a service that reopens its session while
// the cable is out). The caller holds the slot's lock.
void NoteOpenResult(std::atomic<std::int32_t> &slot);
// Tries to reopen gone nodes as the rules allow; cycle counts the cycles of
// the run. Polling thread only; cheap when nothing is gone.
struct ReopenSchedule {
	std::uint64_t ulNextTry[16]; // per slot, the cycle of its next try
};
void ReopenGoneNodes(ReopenSchedule &schedule, std::uint64_t cycle);

// Sent again when a node comes back: the keyboard's POS key table for one
// attachment (when writeKeyboardConfig sent the tables in this session;
// caller holds the keyboard session lock), and the last header record
// (caller holds the MSR session lock).
extern bool g_bKeyboardConfigSent;
void ResendKeyboardConfiguration(int fd, bool bPs2);
void ResendMSRConfiguration(int fd);

// ---- Keyboard, MSR ------------------------------------------------------------

// Whether the pending key array has no room left.
bool KbdPendingFull();

// Counts the MSR sessions: every openMSR starts a new one, with no swipe in
// progress. The swipe state of each attachment belongs to the session it
// was gathered in.
extern std::atomic<std::uint64_t> g_ulMsrSession;
// Starts a new MSR session (openMSR, under the MSR session lock): a new
// session number, so that each attachment's swipe state is reset at its
// handler's next call, and what an earlier session read and did not report
// is dropped and wiped, unless msrDataOccurred is being made for it right
// now (a report made is the callback's to fetch).
void StartMsrSession();
// Wipes every track buffer and empties it (caller holds g_TrackDataLock).
void WipeTracks();
// Wipes memory that held card data, in a way the compiler may not remove.
void WipeCardBytes(void *p, std::size_t n);

// Calls a "()V" callback on obj. A missing method ID (a lookup that failed) is
// never called through; an exception the callback leaves pending is cleared,
// so that the polling loop goes on and no later JNI call runs with it.
void CallJavaCallback(JNIEnv *env, jobject obj, jmethodID method);

// Makes a new Java byte array holding len bytes of data. Returns null (and
// clears the pending exception) when the array cannot be made.
jbyteArray NewJavaByteArray(JNIEnv *env, const std::uint8_t *data, jsize len);
