// Device sessions of the keyboard, the MSR and the keylock: open, claim,
// release and close, the version, and the methods that have no effect.
//
// Hand-over with the polling thread (rules in nativelayer.h): an open stores
// both slots before it sets the open flag; a close, under the session lock,
// clears the open flag before it touches a slot, and sets a slot to 0 before
// it closes the descriptor that slot held.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "nativelayer.h"
#include "sessions.h"

namespace {

constexpr jint OPEN_SUCCESS = 0x1234;

constexpr const char PS2_KEYBOARD_NODE[] = "/dev/qkbd_keyboard";
constexpr const char USB_KEYBOARD_NODE[] = "/dev/trvposusb_keyboard";
constexpr const char PS2_KEYLOCK_NODE[] = "/dev/qkbd_keylock";
constexpr const char USB_KEYLOCK_NODE[] = "/dev/trvposusb_keylock";
constexpr const char *PS2_MSR_NODES[3] = {"/dev/qkbd_msr1", "/dev/qkbd_msr2", "/dev/qkbd_msr3"};
constexpr const char *USB_MSR_NODES[3] = {"/dev/trvposusb_msr1", "/dev/trvposusb_msr2",
					  "/dev/trvposusb_msr3"};

using Slot = std::atomic<std::int32_t>;

// Fetches and releases the UTF-8 characters of an open method's string
// argument; the value is not used. A null string is skipped, and an
// exception left by a failed fetch is cleared.
void TouchStringArgument(JNIEnv *env, jstring str)
{
	if (env == nullptr || str == nullptr)
		return;
	const char *chars = env->GetStringUTFChars(str, nullptr);
	if (chars == nullptr) {
		if (env->ExceptionCheck())
			env->ExceptionClear();
		return;
	}
	env->ReleaseStringUTFChars(str, chars);
}

// Closes the descriptor a slot holds, if any (> 0), and sets the slot to 0
// first, so that no other thread picks up a number that is already closed.
// Returns whether a descriptor was closed.
bool CloseSlot(Slot &slot)
{
	const std::int32_t fd = slot.load();
	if (fd <= 0)
		return false;
	slot.store(0);
	::close(fd);
	return true;
}

// Opens the three track nodes of one attachment into its slots, in order.
// When one fails, the nodes of the chain that did open are closed again
// (their slots 0) and the failed slot keeps -1. Returns whether all opened.
bool OpenMsrChain(const char *const (&paths)[3], Slot *const (&slots)[3])
{
	for (int i = 0; i < 3; ++i) {
		slots[i]->store(OpenDeviceNode(paths[i]));
		if (slots[i]->load() > 0)
			continue;
		for (int j = 0; j < i; ++j)
			CloseSlot(*slots[j]);
		return false;
	}
	return true;
}

// Opens a device that has one node per attachment: the PS/2 node, then the
// USB node, both always tried and each slot receiving its result. The open
// flag is set after both slots are stored, and only when one of them holds a
// descriptor. The caller holds the device's session lock.
jint OpenSession(std::atomic<std::int32_t> &opened, Slot &ps2Slot, const char *ps2Path, Slot &usbSlot,
		 const char *usbPath)
{
	if (opened.load() != 0)
		return -1;
	ps2Slot.store(OpenDeviceNode(ps2Path));
	usbSlot.store(OpenDeviceNode(usbPath));
	ForgetGone({&ps2Slot, &usbSlot});
	if (ps2Slot.load() > 0 || usbSlot.load() > 0) {
		NoteOpenResult(ps2Slot);
		NoteOpenResult(usbSlot);
	}
	if (ps2Slot.load() <= 0 && usbSlot.load() <= 0)
		return -1;
	opened.store(1);
	return OPEN_SUCCESS;
}

// Claim: only for an open, unclaimed device. The caller holds the device's
// session lock.
jint Claim(const std::atomic<std::int32_t> &opened, std::atomic<std::int32_t> &claimed)
{
	if (opened.load() == 0)
		return -1;
	std::int32_t expected = 0;
	return claimed.compare_exchange_strong(expected, 1) ? 0 : -1;
}

jint Release(std::atomic<std::int32_t> &claimed)
{
	std::int32_t expected = 1;
	return claimed.compare_exchange_strong(expected, 0) ? 0 : -1;
}

} // namespace

int OpenDeviceNode(const char *path)
{
	const int fd = ::open(path, O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return -1;
	if (fd > 0)
		return fd;
	// Standard input was closed, so the node got descriptor 0, which a slot
	// would take for "no descriptor": move it to the lowest number above 0.
	const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
	::close(fd);
	return moved < 0 ? -1 : moved;
}

void ResetSessionSlotsForPolling(void)
{
	DeviceChannels &ch = g_DeviceChannels;
	ch.fdPs2KbdStat.store(0);
	ch.fdPs2MsrStat.store(0);
	ch.fdUsbStat.store(0);
	{
		std::lock_guard lock(g_KeyboardSessionLock);
		if (g_bKeyboardOpened.load() == 0) {
			ch.fdPs2Keyboard.store(0);
			ch.fdUsbKeyboard.store(0);
		}
	}
	{
		std::lock_guard lock(g_KeylockSessionLock);
		if (g_bKeylockOpened.load() == 0) {
			ch.fdPs2Keylock.store(0);
			ch.fdUsbKeylock.store(0);
		}
	}
	{
		std::lock_guard lock(g_MsrSessionLock);
		if (g_bMsrOpened.load() == 0) {
			for (Slot *slot : {&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3, &ch.fdUsbMsr1,
					   &ch.fdUsbMsr2, &ch.fdUsbMsr3})
				slot->store(0);
		}
	}
}

extern "C" {

JNIEXPORT jbyteArray JNICALL TRV_JNI(getVersion)(JNIEnv *env, jobject)
{
	std::lock_guard lock(g_VersionLock);
	myFree(g_pJavaVersionBytes);
	g_pJavaVersionBytes = static_cast<std::uint8_t *>(std::malloc(3));
	if (g_pJavaVersionBytes == nullptr)
		return nullptr;
	g_pJavaVersionBytes[0] = 1;
	g_pJavaVersionBytes[1] = 8;
	g_pJavaVersionBytes[2] = 7;
	return NewJavaByteArray(env, g_pJavaVersionBytes, 3);
}

// ---- Keyboard ------------------------------------------------------------------

JNIEXPORT jint JNICALL TRV_JNI(openKeyBoard)(JNIEnv *env, jobject, jstring name)
{
	TouchStringArgument(env, name);
	std::lock_guard lock(g_KeyboardSessionLock);
	return OpenSession(g_bKeyboardOpened, g_DeviceChannels.fdPs2Keyboard, PS2_KEYBOARD_NODE,
			   g_DeviceChannels.fdUsbKeyboard, USB_KEYBOARD_NODE);
}

JNIEXPORT void JNICALL TRV_JNI(closeKeyBoard)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_KeyboardSessionLock);
	if (g_bKeyboardOpened.load() == 0)
		return;
	g_bKeyboardOpened.store(0);
	// The drivers forget the POS keys: empty tables go out through the
	// keyboard nodes while they are still open.
	std::memset(g_rguchSet1KeyConf, 0, sizeof g_rguchSet1KeyConf);
	std::memset(g_rgushHIDKeyConfUSB, 0, sizeof g_rgushHIDKeyConfUSB);
	(void)WriteKeyboardConfiguration();
	g_bKeyboardConfigSent = false;
	CloseSlot(g_DeviceChannels.fdPs2Keyboard);
	CloseSlot(g_DeviceChannels.fdUsbKeyboard);
	ForgetGone({&g_DeviceChannels.fdPs2Keyboard, &g_DeviceChannels.fdUsbKeyboard});
	std::lock_guard dataLock(g_KbdDataLock);
	myFree(g_pjnKeyCodes);
	g_pjnKeyCodes = nullptr;
}

JNIEXPORT jint JNICALL TRV_JNI(claimKeyboard)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_KeyboardSessionLock);
	return Claim(g_bKeyboardOpened, g_bKeyboardClaimed);
}

JNIEXPORT jint JNICALL TRV_JNI(releaseKeyboard)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_KeyboardSessionLock);
	return Release(g_bKeyboardClaimed);
}

JNIEXPORT jint JNICALL TRV_JNI(enablekeyBoard)(JNIEnv *, jobject)
{
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(disableKeyBoard)(JNIEnv *, jobject)
{
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(getKeyboardPowerState)(JNIEnv *, jobject)
{
	return 0;
}

// Pending key entries stay; the Java side fetches them with getKbdData.
JNIEXPORT void JNICALL TRV_JNI(clearKeyBoardInput)(JNIEnv *, jobject)
{
}

// ---- MSR -----------------------------------------------------------------------

JNIEXPORT jint JNICALL TRV_JNI(openMSR)(JNIEnv *env, jobject, jstring name)
{
	TouchStringArgument(env, name);
	std::lock_guard lock(g_MsrSessionLock);
	if (g_bMsrOpened.load() != 0)
		return -1;
	DeviceChannels &ch = g_DeviceChannels;
	// Both chains are always tried: a complete PS/2 chain does not stop the
	// USB one, so that either attachment can deliver swipes.
	const bool ps2 = OpenMsrChain(PS2_MSR_NODES, {&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3});
	const bool usb = OpenMsrChain(USB_MSR_NODES, {&ch.fdUsbMsr1, &ch.fdUsbMsr2, &ch.fdUsbMsr3});
	ForgetGone({&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3, &ch.fdUsbMsr1, &ch.fdUsbMsr2, &ch.fdUsbMsr3});
	if (!ps2 && !usb)
		return -1;
	// A chain that failed: its nodes that opened before are retried.
	for (Slot *slot : {&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3, &ch.fdUsbMsr1, &ch.fdUsbMsr2, &ch.fdUsbMsr3})
		NoteOpenResult(*slot);
	// The session starts with no swipe in progress. No track reader runs
	// meanwhile: they read and store under this lock, and only while the MSR
	// is open.
	StartMsrSession();
	g_bMsrOpened.store(1);
	return OPEN_SUCCESS;
}

JNIEXPORT void JNICALL TRV_JNI(closeMSR)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_MsrSessionLock);
	if (g_bMsrOpened.load() == 0)
		return;
	g_bMsrOpened.store(0);
	DeviceChannels &ch = g_DeviceChannels;
	for (Slot *slot : {&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3, &ch.fdUsbMsr1, &ch.fdUsbMsr2,
			   &ch.fdUsbMsr3})
		CloseSlot(*slot);
	ForgetGone({&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3, &ch.fdUsbMsr1, &ch.fdUsbMsr2, &ch.fdUsbMsr3});
	// The staging copies were wiped as their arrays were made.
	std::lock_guard dataLock(g_TrackDataLock);
	for (std::uint8_t **staged :
	     {&g_pJavaTrack1Data, &g_pJavaTrack2Data, &g_pJavaTrack3Data, &g_pJavaTrack4Data}) {
		myFree(*staged);
		*staged = nullptr;
	}
}

JNIEXPORT jint JNICALL TRV_JNI(claimMSR)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_MsrSessionLock);
	return Claim(g_bMsrOpened, g_bMsrClaimed);
}

JNIEXPORT jint JNICALL TRV_JNI(releaseMSR)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_MsrSessionLock);
	return Release(g_bMsrClaimed);
}

JNIEXPORT jint JNICALL TRV_JNI(enableMSR)(JNIEnv *, jobject)
{
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(disableMSR)(JNIEnv *, jobject)
{
	return 0;
}

// Pending track data stays; the Java side fetches it with the track getters.
JNIEXPORT void JNICALL TRV_JNI(clearMSRInput)(JNIEnv *, jobject)
{
}

JNIEXPORT jint JNICALL TRV_JNI(getMSRPowerState)(JNIEnv *, jobject)
{
	return 0;
}

// ---- Keylock ---------------------------------------------------------------------

JNIEXPORT jint JNICALL TRV_JNI(openKeyLock)(JNIEnv *env, jobject, jstring name)
{
	TouchStringArgument(env, name);
	std::lock_guard lock(g_KeylockSessionLock);
	return OpenSession(g_bKeylockOpened, g_DeviceChannels.fdPs2Keylock, PS2_KEYLOCK_NODE,
			   g_DeviceChannels.fdUsbKeylock, USB_KEYLOCK_NODE);
}

JNIEXPORT jint JNICALL TRV_JNI(closeKeyLock)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_KeylockSessionLock);
	if (g_bKeylockOpened.load() == 0)
		return -1;
	g_bKeylockOpened.store(0);
	bool closed = false;
	// USB first. A slot holding -1 has no descriptor to close but counts as
	// an attachment the session knew about.
	for (Slot *slot : {&g_DeviceChannels.fdUsbKeylock, &g_DeviceChannels.fdPs2Keylock}) {
		if (slot->load() == 0)
			continue;
		CloseSlot(*slot);
		slot->store(0);
		closed = true;
	}
	ForgetGone({&g_DeviceChannels.fdUsbKeylock, &g_DeviceChannels.fdPs2Keylock});
	{
		std::lock_guard dataLock(g_KeyLockDataLock);
		myFree(g_pJavaKeyLockData);
		g_pJavaKeyLockData = nullptr;
	}
	return closed ? 0 : -1;
}

JNIEXPORT jint JNICALL TRV_JNI(enableKeylock)(JNIEnv *, jobject)
{
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(disableKeylock)(JNIEnv *, jobject)
{
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(writeKeylockConfig)(JNIEnv *, jobject)
{
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(getKeylockPowerState)(JNIEnv *, jobject)
{
	return 0;
}

} // extern "C"
