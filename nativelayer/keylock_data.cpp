// Keylock data path: the polling thread reads the position byte from the
// keylock node on a change of position and calls klkDataOccurred; Java
// fetches the byte with getKeyLockData or reads the position on demand with
// getKeyLockPosition.
#include <errno.h>
#include <unistd.h>

#include <cstdlib>

#include "nativelayer.h"
#include "sessions.h"

namespace {

// Reads one position byte from fd into the keylock byte and count. Returns
// -1 on a failed read (byte and count untouched), else the count (0 or 1);
// the byte read is also stored through puchPos. A node that reports its
// device gone is closed and left to the polling loop to reopen. The caller
// holds the keylock session lock.
ssize_t ReadKeylockByte(std::atomic<std::int32_t> &slot, int fd, std::uint8_t *puchPos = nullptr)
{
	std::uint8_t uchPos = 0;
	const ssize_t nRead = read(fd, &uchPos, 1);
	if (nRead < 0) {
		DropIfGone(slot, fd, errno);
		return -1;
	}
	std::lock_guard lock(g_KeyLockDataLock);
	if (nRead > 0) {
		g_puchKeyLockData[0] = uchPos;
		if (puchPos != nullptr)
			*puchPos = uchPos;
	}
	g_nKeyLockDataLength = nRead > 0 ? 1 : 0;
	return nRead > 0 ? 1 : 0;
}

// Common body of both keylock handlers: read the byte under the keylock
// session lock, then call back (with the lock released), also when the node
// delivered nothing.
int HandleKeylock(JNIEnv *env, jobject obj, jmethodID klkMethod, std::atomic<std::int32_t> &slot)
{
	{
		std::lock_guard session(g_KeylockSessionLock);
		const int fd = slot.load();
		if (g_bKeylockOpened.load() == 0 || fd <= 0)
			return 0;
		if (ReadKeylockByte(slot, fd) < 0)
			return 0;
	}
	CallJavaCallback(env, obj, klkMethod);
	return 1;
}

} // namespace

extern "C" {

// The position from the status record is not used: the node is the source.
int HandleKeylockDataPS2(JNIEnv *env, jobject obj, jmethodID klkMethod, unsigned int)
{
	return HandleKeylock(env, obj, klkMethod, g_DeviceChannels.fdPs2Keylock);
}

int HandleKeylockDataUSB(JNIEnv *env, jobject obj, jmethodID klkMethod, int)
{
	return HandleKeylock(env, obj, klkMethod, g_DeviceChannels.fdUsbKeylock);
}

// Returns the keylock byte read last, as an array of 0 or 1 byte. The byte
// stays: every call until the next keylock read returns the same data.
JNIEXPORT jbyteArray JNICALL TRV_JNI(getKeyLockData)(JNIEnv *env, jobject)
{
	std::lock_guard lock(g_KeyLockDataLock);
	myFree(g_pJavaKeyLockData);
	g_pJavaKeyLockData = nullptr;

	const jsize n = g_nKeyLockDataLength > 0 ? 1 : 0;
	auto *staged = static_cast<std::uint8_t *>(std::malloc(1));
	if (staged == nullptr)
		return nullptr;
	staged[0] = g_puchKeyLockData[0];
	g_pJavaKeyLockData = staged;
	return NewJavaByteArray(env, staged, n);
}

// Reads the current position on demand: the USB keylock node first, the PS/2
// node only when USB gave no non-zero position. 0 when none can be read.
JNIEXPORT jint JNICALL TRV_JNI(getKeyLockPosition)(JNIEnv *, jobject)
{
	std::lock_guard session(g_KeylockSessionLock);
	if (g_bKeylockOpened.load() == 0)
		return 0;
	for (auto *slot : {&g_DeviceChannels.fdUsbKeylock, &g_DeviceChannels.fdPs2Keylock}) {
		const int fd = slot->load();
		std::uint8_t uchPos = 0;
		if (fd > 0 && ReadKeylockByte(*slot, fd, &uchPos) == 1 && uchPos != 0)
			return uchPos;
	}
	return 0;
}

JNIEXPORT jint JNICALL TRV_JNI(getPositionCount)(JNIEnv *, jobject)
{
	return 0;
}

} // extern "C"
