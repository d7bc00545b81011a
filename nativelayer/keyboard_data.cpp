// Keyboard data path: the polling thread reads key data from the keyboard
// data nodes into the pending key array and calls kbdDataOccurred; Java
// fetches the pending entries with getKbdData.
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

} // namespace

extern "C" {

// Reads 32-bit key entries from the USB keyboard node and appends them to the
// pending entries: as many whole entries as fit, at most 128 per read and
// never past the 255th pending entry. The driver keeps the rest; they are
// read in later cycles, once getKbdData has made room, so the driver never
// holds more than a cycle can drain and nothing stalls.
int HandleKeyboardDataUSB(JNIEnv *env, jobject obj, jmethodID kbdMethod, unsigned int nCount)
{
	if (g_bKeyboardOpened.load() == 0 || nCount == 0)
		return 0;
	unsigned int nRoom = 0;
	{
		std::lock_guard lock(g_KbdDataLock);
		nRoom = static_cast<unsigned int>(KBD_DATA_ENTRIES - std::clamp(g_nKbdDataLength, 0, KBD_DATA_ENTRIES));
	}
	const unsigned int nTake = std::min({nCount, USB_KBD_BATCH_ENTRIES, nRoom});
	if (nTake == 0)
		return 0;

	std::array<std::int32_t, USB_KBD_BATCH_ENTRIES> batch{};
	const std::size_t nBytes = nTake * sizeof(std::int32_t);
	{
		std::lock_guard session(g_KeyboardSessionLock);
		const int fd = g_DeviceChannels.fdUsbKeyboard.load();
		if (g_bKeyboardOpened.load() == 0 || fd <= 0)
			return 0;
		const ssize_t nRead = read(fd, batch.data(), nBytes);
		if (nRead < 0 || static_cast<std::size_t>(nRead) != nBytes)
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
// pending entry (zero-extended), and the bytes read replace whatever was
// pending. At most 255 bytes are read; more stay in the driver.
int HandleKeyboardDataPS2(JNIEnv *env, jobject obj, jmethodID kbdMethod, unsigned int nCount)
{
	if (g_bKeyboardOpened.load() == 0 || nCount == 0 || nCount > PS2_KBD_COUNT_LIMIT)
		return 0;

	std::array<std::uint8_t, KBD_DATA_ENTRIES> bytes{};
	const std::size_t nWant = std::min<std::size_t>(nCount, bytes.size());
	ssize_t nRead = 0;
	{
		std::lock_guard session(g_KeyboardSessionLock);
		const int fd = g_DeviceChannels.fdPs2Keyboard.load();
		if (g_bKeyboardOpened.load() == 0 || fd <= 0)
			return 0;
		nRead = read(fd, bytes.data(), nWant);
	}
	if (nRead < 0)
		return 0;

	{
		std::lock_guard lock(g_KbdDataLock);
		const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(nRead), nWant));
		for (int i = 0; i < n; ++i)
			g_rgnKbdData[i] = bytes[static_cast<std::size_t>(i)];
		g_nKbdDataLength = n;
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
