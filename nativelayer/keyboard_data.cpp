// Keyboard data path: the polling thread reads key data from the keyboard
// data nodes into the pending key array and calls kbdDataOccurred; Java
// fetches the pending entries with getKbdData.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "nativelayer.h"
#include "sessions.h"

namespace {

// Largest USB batch read in one call, in 32-bit entries (512 bytes).
constexpr unsigned int USB_KBD_BATCH_ENTRIES = 128;
// Largest PS/2 count accepted from a caller (the size of the pending array
// in bytes); a status record never reports more than 255.
constexpr unsigned int PS2_KBD_COUNT_LIMIT = KBD_DATA_ENTRIES * sizeof(std::int32_t);

// Entries that still fit behind the pending ones. Only the polling thread
// appends and getKbdData only makes room, so the room found stays there
// until the handler has appended.
unsigned int PendingRoom()
{
	std::lock_guard lock(g_KbdDataLock);
	return static_cast<unsigned int>(KBD_DATA_ENTRIES - std::clamp(g_nKbdDataLength, 0, KBD_DATA_ENTRIES));
}

// Reminds Java, with a callback, that entries wait in the driver while the
// pending list is full: a client that fetches only in its callbacks and
// skipped one (busy, a callback that threw, a getter that failed) would
// otherwise never hear of the keyboard again.
int RemindWhileFull(JNIEnv *env, jobject obj, jmethodID kbdMethod)
{
	CallJavaCallback(env, obj, kbdMethod);
	return 1;
}

} // namespace

bool KbdPendingFull()
{
	return PendingRoom() == 0;
}

extern "C" {

// Reads 32-bit key entries from the USB keyboard node and appends them to the
// pending entries: as many whole entries as fit, at most 128 per read and
// never past the 255th pending entry. The driver keeps the rest; they are
// read in later cycles, once getKbdData has made room, so the driver never
// holds more than a cycle can drain and nothing stalls. With no room at all,
// Java is reminded (a callback, no read) in every cycle until it fetches.
int HandleKeyboardDataUSB(JNIEnv *env, jobject obj, jmethodID kbdMethod, unsigned int nCount)
{
	if (g_bKeyboardOpened.load() == 0 || nCount == 0)
		return 0;
	const unsigned int nRoom = PendingRoom();
	if (nRoom == 0)
		return RemindWhileFull(env, obj, kbdMethod);
	unsigned int nTake = std::min({nCount, USB_KBD_BATCH_ENTRIES, nRoom});

	std::array<std::int32_t, USB_KBD_BATCH_ENTRIES> batch{};
	const std::size_t nBytes = nTake * sizeof(std::int32_t);
	{
		std::lock_guard session(g_KeyboardSessionLock);
		const int fd = g_DeviceChannels.fdUsbKeyboard.load();
		if (g_bKeyboardOpened.load() == 0 || fd <= 0)
			return 0;
		const ssize_t nRead = read(fd, batch.data(), nBytes);
		if (nRead < 0) {
			DropIfGone(g_DeviceChannels.fdUsbKeyboard, fd, errno);
			return 0;
		}
		// A short read keeps the whole entries it delivered: the driver
		// has handed them over and holds them no more. A trailing part
		// of an entry is no key and is dropped.
		nTake = std::min(nTake, static_cast<unsigned int>(static_cast<std::size_t>(nRead) / sizeof(std::int32_t)));
		if (nTake == 0)
			return 0;
	}

	{
		std::lock_guard lock(g_KbdDataLock);
		// Only this thread appends and getKbdData only makes room, so the
		// room found above is still there; the clamp keeps the array bound
		// whatever happens.
		const int nStart = std::clamp(g_nKbdDataLength, 0, KBD_DATA_ENTRIES);
		const int nStore = std::min(static_cast<int>(nTake), KBD_DATA_ENTRIES - nStart);
		std::copy_n(batch.begin(), nStore, g_rgnKbdData + nStart);
		g_nKbdDataLength = nStart + nStore;
	}
	CallJavaCallback(env, obj, kbdMethod);
	return 1;
}

// Reads scan-code bytes from the PS/2 keyboard node. Each byte becomes one
// pending entry (zero-extended), appended behind the entries still pending,
// so that keys Java has not fetched yet are never overwritten. Only as many
// bytes are read as there is room for; the driver keeps the rest until
// getKbdData has made room, and Java is reminded while there is none.
int HandleKeyboardDataPS2(JNIEnv *env, jobject obj, jmethodID kbdMethod, unsigned int nCount)
{
	if (g_bKeyboardOpened.load() == 0 || nCount == 0 || nCount > PS2_KBD_COUNT_LIMIT)
		return 0;

	std::array<std::uint8_t, KBD_DATA_ENTRIES> bytes{};
	const unsigned int nRoom = PendingRoom();
	if (nRoom == 0)
		return RemindWhileFull(env, obj, kbdMethod);
	const std::size_t nWant = std::min<std::size_t>({nCount, bytes.size(), nRoom});
	ssize_t nRead = 0;
	{
		std::lock_guard session(g_KeyboardSessionLock);
		const int fd = g_DeviceChannels.fdPs2Keyboard.load();
		if (g_bKeyboardOpened.load() == 0 || fd <= 0)
			return 0;
		nRead = read(fd, bytes.data(), nWant);
		if (nRead < 0) {
			DropIfGone(g_DeviceChannels.fdPs2Keyboard, fd, errno);
			return 0;
		}
	}

	{
		std::lock_guard lock(g_KbdDataLock);
		// Only this thread appends, so the room found above is still there;
		// the clamps keep the array bound whatever happens.
		const int nStart = std::clamp(g_nKbdDataLength, 0, KBD_DATA_ENTRIES);
		const int n = static_cast<int>(std::min({static_cast<std::size_t>(nRead), nWant,
							 static_cast<std::size_t>(KBD_DATA_ENTRIES - nStart)}));
		for (int i = 0; i < n; ++i)
			g_rgnKbdData[nStart + i] = bytes[static_cast<std::size_t>(i)];
		g_nKbdDataLength = nStart + n;
	}
	CallJavaCallback(env, obj, kbdMethod);
	return 1;
}

// Hands every pending entry to Java in a new int array and empties the
// pending array. When the staging buffer or the array cannot be made, it
// returns null and the pending entries stay for the next call.
JNIEXPORT jintArray JNICALL TRV_JNI(getKbdData)(JNIEnv *env, jobject)
{
	std::lock_guard lock(g_KbdDataLock);
	myFree(g_pjnKeyCodes);
	g_pjnKeyCodes = nullptr;

	const int n = std::clamp(g_nKbdDataLength, 0, KBD_DATA_ENTRIES);
	const std::size_t nBytes = static_cast<std::size_t>(n) * sizeof(std::int32_t);
	auto *staged = static_cast<std::int32_t *>(std::malloc(std::max<std::size_t>(nBytes, 1)));
	if (staged == nullptr)
		return nullptr;
	std::memcpy(staged, g_rgnKbdData, nBytes);
	g_pjnKeyCodes = staged;

	jintArray arr = env->NewIntArray(n);
	if (arr == nullptr) {
		if (env->ExceptionCheck())
			env->ExceptionClear();
		return nullptr;
	}
	if (n > 0)
		env->SetIntArrayRegion(arr, 0, n, reinterpret_cast<const jint *>(staged));
	g_nKbdDataLength = 0;
	return arr;
}

} // extern "C"
