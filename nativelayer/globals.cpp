// Process-global state of the library: everything zero, null or empty when
// the library is loaded.
#include <cstdlib>

#include "nativelayer.h"
#include "sessions.h"

extern "C" {

DeviceChannels g_DeviceChannels{};

std::atomic<std::int32_t> g_bKeyboardOpened{0};
std::atomic<std::int32_t> g_bKeyboardClaimed{0};
std::atomic<std::int32_t> g_bMsrOpened{0};
std::atomic<std::int32_t> g_bMsrClaimed{0};
std::atomic<std::int32_t> g_bKeylockOpened{0};
std::atomic<std::int32_t> g_bStopPolling{0};

std::int32_t g_rgnKbdData[KBD_DATA_ENTRIES];
std::int32_t g_nKbdDataLength;

std::uint8_t g_puchKeyLockData[1];
std::int32_t g_nKeyLockDataLength;

std::uint8_t g_puchTrack1Data[TRACK_BUFFER_SIZE];
std::uint8_t g_puchTrack2Data[TRACK_BUFFER_SIZE];
std::uint8_t g_puchTrack3Data[TRACK_BUFFER_SIZE];
std::uint8_t g_puchTrack4Data[TRACK_BUFFER_SIZE];
std::int32_t g_nTrack1DataLength;
std::int32_t g_nTrack2DataLength;
std::int32_t g_nTrack3DataLength;
std::int32_t g_nTrack4DataLength;

std::uint8_t *g_pJavaVersionBytes;
std::int32_t *g_pjnKeyCodes;
std::uint8_t *g_pJavaKeyLockData;
std::uint8_t *g_pJavaTrack1Data;
std::uint8_t *g_pJavaTrack2Data;
std::uint8_t *g_pJavaTrack3Data;
std::uint8_t *g_pJavaTrack4Data;
jbyteArray g_pJavaTrack1DataArr;
jbyteArray g_pJavaTrack2DataArr;
jbyteArray g_pJavaTrack3DataArr;
jbyteArray g_pJavaTrack4DataArr;

std::uint8_t g_rguchSet1KeyConf[SET1_KEY_CONF_SIZE];
std::uint16_t g_rgushHIDKeyConfUSB[HID_KEY_CONF_ENTRIES];

void myFree(void *p)
{
	if (p != nullptr)
		std::free(p);
}

} // extern "C"

std::mutex g_KbdDataLock;
std::mutex g_KeyLockDataLock;
std::mutex g_TrackDataLock;
std::mutex g_VersionLock;
std::mutex g_KeyboardSessionLock;
std::mutex g_MsrSessionLock;
std::mutex g_KeylockSessionLock;

PollingMemory g_PollingMemory{};

void CallJavaCallback(JNIEnv *env, jobject obj, jmethodID method)
{
	if (env == nullptr || obj == nullptr || method == nullptr)
		return;
	env->CallVoidMethod(obj, method);
	if (env->ExceptionCheck())
		env->ExceptionClear();
}

jbyteArray NewJavaByteArray(JNIEnv *env, const std::uint8_t *data, jsize len)
{
	jbyteArray arr = env->NewByteArray(len);
	if (arr == nullptr) {
		if (env->ExceptionCheck())
			env->ExceptionClear();
		return nullptr;
	}
	if (len > 0)
		env->SetByteArrayRegion(arr, 0, len, reinterpret_cast<const jbyte *>(data));
	return arr;
}
