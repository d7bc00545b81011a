// Fixture for the data path tests: a fresh fake JNI table and simulator per
// test, the callback method IDs, and the library's process-global state
// brought back to its state at load between tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fake_jni.h"
#include "nativelayer.h"
#include "trvsim.h"

namespace datapaths {

inline constexpr const char *KBD_CALLBACK = "kbdDataOccurred";
inline constexpr const char *KLK_CALLBACK = "klkDataOccurred";
inline constexpr const char *MSR_CALLBACK = "msrDataOccurred";

// Every descriptor slot, for resetting them all.
inline std::atomic<std::int32_t> *AllSlots(int i)
{
	std::atomic<std::int32_t> *slots[] = {
		&g_DeviceChannels.fdPs2Stat,     &g_DeviceChannels.fdPs2KbdStat, &g_DeviceChannels.fdPs2MsrStat,
		&g_DeviceChannels.fdPs2Keyboard, &g_DeviceChannels.fdPs2Keylock, &g_DeviceChannels.fdPs2Msr1,
		&g_DeviceChannels.fdPs2Msr2,     &g_DeviceChannels.fdPs2Msr3,    &g_DeviceChannels.fdUsbStat,
		&g_DeviceChannels.fdUsbKbdStat,  &g_DeviceChannels.fdUsbMsrStat, &g_DeviceChannels.fdUsbKeyboard,
		&g_DeviceChannels.fdUsbKeylock,  &g_DeviceChannels.fdUsbMsr1,    &g_DeviceChannels.fdUsbMsr2,
		&g_DeviceChannels.fdUsbMsr3,
	};
	return slots[i];
}

// Brings every piece of process-global state of the data paths back to its
// value at load. The swipe aggregation state lives inside the handlers; a
// handler that is called with nothing announced reports whatever it holds
// within six calls and is then idle (a null env makes no callback).
inline void ResetLibraryState()
{
	for (int i = 0; i < 16; ++i) {
		const int fd = AllSlots(i)->exchange(0);
		if (fd > 0)
			close(fd);
	}
	g_bKeyboardOpened = 0;
	g_bKeyboardClaimed = 0;
	g_bMsrOpened = 0;
	g_bMsrClaimed = 0;
	g_bKeylockOpened = 0;
	g_bStopPolling = 0;
	g_ulGoneSlots = 0;
	g_bKeyboardConfigSent = false;
	g_PollingMemory = PollingMemory{};
	for (int i = 0; i < 8 && HandleMSRDataUSB(nullptr, nullptr, nullptr, UsbMsrStatusRecord{}) != 0; ++i) {
	}
	for (int i = 0; i < 8 && HandleMSRDataPS2(nullptr, nullptr, nullptr, Ps2StatusRecord{}) != 0; ++i) {
	}

	std::uint8_t **staging[] = {&g_pJavaKeyLockData, &g_pJavaTrack1Data, &g_pJavaTrack2Data,
				    &g_pJavaTrack3Data, &g_pJavaTrack4Data};
	for (auto **p : staging) {
		myFree(*p);
		*p = nullptr;
	}
	myFree(g_pjnKeyCodes);
	g_pjnKeyCodes = nullptr;
	g_pJavaTrack1DataArr = g_pJavaTrack2DataArr = g_pJavaTrack3DataArr = g_pJavaTrack4DataArr = nullptr;

	g_nKbdDataLength = 0;
	std::fill(std::begin(g_rgnKbdData), std::end(g_rgnKbdData), 0);
	g_nKeyLockDataLength = 0;
	g_puchKeyLockData[0] = 0;
	for (auto *buf : {g_puchTrack1Data, g_puchTrack2Data, g_puchTrack3Data, g_puchTrack4Data})
		std::fill(buf, buf + TRACK_BUFFER_SIZE, 0);
	g_nTrack1DataLength = g_nTrack2DataLength = g_nTrack3DataLength = g_nTrack4DataLength = 0;
}

class DataPathTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		ResetLibraryState();
		trvsim_reset();
		env = jni.env();
		obj = jni.service();
		jclass cls = env->GetObjectClass(obj);
		kbdMethod = env->GetMethodID(cls, KBD_CALLBACK, "()V");
		klkMethod = env->GetMethodID(cls, KLK_CALLBACK, "()V");
		msrMethod = env->GetMethodID(cls, MSR_CALLBACK, "()V");
	}

	void TearDown() override
	{
		fakejni::ExpectCleanJni(jni);
		ResetLibraryState();
		EXPECT_EQ(trvsim_open_descriptors(-1), 0);
	}

	// Opens a simulated node straight into a descriptor slot.
	static int OpenInto(std::atomic<std::int32_t> &slot, int node)
	{
		const int fd = open(trvsim_node_path(node), O_RDWR);
		slot = fd;
		return fd;
	}

	void OpenKeyboard()
	{
		ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Keyboard, TRVSIM_PS2_KEYBOARD), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbKeyboard, TRVSIM_USB_KEYBOARD), 0);
		g_bKeyboardOpened = 1;
	}

	void OpenKeylock()
	{
		ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Keylock, TRVSIM_PS2_KEYLOCK), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbKeylock, TRVSIM_USB_KEYLOCK), 0);
		g_bKeylockOpened = 1;
	}

	void OpenMsr()
	{
		ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Msr1, TRVSIM_PS2_MSR1), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Msr2, TRVSIM_PS2_MSR2), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Msr3, TRVSIM_PS2_MSR3), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbMsr1, TRVSIM_USB_MSR1), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbMsr2, TRVSIM_USB_MSR2), 0);
		ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbMsr3, TRVSIM_USB_MSR3), 0);
		g_bMsrOpened = 1;
	}

	std::vector<std::int32_t> FetchKbd() { return jni.ints(TRV_JNI(getKbdData)(env, obj)); }
	std::vector<std::uint8_t> FetchKeylock() { return jni.bytes(TRV_JNI(getKeyLockData)(env, obj)); }

	fakejni::FakeJni jni;
	JNIEnv *env = nullptr;
	jobject obj = nullptr;
	jmethodID kbdMethod = nullptr;
	jmethodID klkMethod = nullptr;
	jmethodID msrMethod = nullptr;
};

} // namespace datapaths
