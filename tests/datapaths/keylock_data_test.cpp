// Keylock data path: both handlers, getKeyLockData (which does not consume)
// and getKeyLockPosition (USB first, PS/2 fallback).
#include "datapaths_fixture.h"

namespace datapaths {
namespace {

using KeylockDataTest = DataPathTest;

TEST_F(KeylockDataTest, HandlerReadsThePositionAndTheGetterDoesNotConsumeIt)
{
	const struct {
		const char *name;
		int attachment;
		int (*handle)(JNIEnv *, jobject, jmethodID, std::uint16_t);
	} cases[] = {
		{"USB", TRVSIM_USB,
		 [](JNIEnv *e, jobject o, jmethodID m, std::uint16_t p) { return HandleKeylockDataUSB(e, o, m, p); }},
		{"PS/2", TRVSIM_PS2,
		 [](JNIEnv *e, jobject o, jmethodID m, std::uint16_t p) { return HandleKeylockDataPS2(e, o, m, p); }},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenKeylock();
		std::vector<std::uint8_t> seen;
		jni.onCallback(KLK_CALLBACK, [&](JNIEnv *e, jobject o) { seen = jni.bytes(TRV_JNI(getKeyLockData)(e, o)); });
		const int before = jni.callbackCount(KLK_CALLBACK);

		trvsim_set_keylock(c.attachment, 2);
		EXPECT_EQ(c.handle(env, obj, klkMethod, 2), 1);
		EXPECT_EQ(jni.callbackCount(KLK_CALLBACK) - before, 1);
		EXPECT_EQ(seen, std::vector<std::uint8_t>{2});
		EXPECT_EQ(FetchKeylock(), std::vector<std::uint8_t>{2});
		EXPECT_EQ(FetchKeylock(), std::vector<std::uint8_t>{2});
		jni.onCallback(KLK_CALLBACK, nullptr);
	}
}

TEST_F(KeylockDataTest, HandlerReadOutcomes)
{
	const struct {
		const char *name;
		bool fail;       // the read fails
		bool empty;      // the read delivers 0 bytes
		int result;
		int callbacks;
		std::vector<std::uint8_t> fetched;
	} cases[] = {
		{"byte delivered", false, false, 1, 1, {4}},
		{"nothing delivered still calls back", false, true, 1, 1, {}},
		{"failed read keeps the previous byte", true, false, 0, 0, {7}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenKeylock();
		trvsim_set_keylock(TRVSIM_USB, 7);
		ASSERT_EQ(HandleKeylockDataUSB(env, obj, klkMethod, 7), 1);
		const int before = jni.callbackCount(KLK_CALLBACK);

		trvsim_set_keylock(TRVSIM_USB, 4);
		if (c.fail)
			trvsim_fail_reads(TRVSIM_USB_KEYLOCK, 1);
		if (c.empty)
			trvsim_short_reads(TRVSIM_USB_KEYLOCK, 0);
		EXPECT_EQ(HandleKeylockDataUSB(env, obj, klkMethod, 4), c.result);
		EXPECT_EQ(jni.callbackCount(KLK_CALLBACK) - before, c.callbacks);
		EXPECT_EQ(FetchKeylock(), c.fetched);
	}
}

TEST_F(KeylockDataTest, HandlersReadNothingWhenClosedOrWithoutDescriptor)
{
	trvsim_set_keylock(TRVSIM_USB, 3);
	trvsim_set_keylock(TRVSIM_PS2, 3);
	ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbKeylock, TRVSIM_USB_KEYLOCK), 0);
	EXPECT_EQ(HandleKeylockDataUSB(env, obj, klkMethod, 3), 0);
	g_bKeylockOpened = 1;
	g_DeviceChannels.fdPs2Keylock = -1;
	EXPECT_EQ(HandleKeylockDataPS2(env, obj, klkMethod, 3), 0);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KEYLOCK) + trvsim_reads(TRVSIM_PS2_KEYLOCK), 0);
	EXPECT_EQ(jni.callbackCount(KLK_CALLBACK), 0);
	EXPECT_EQ(TRV_JNI(getPositionCount)(env, obj), 0);
}

TEST_F(KeylockDataTest, PositionIsReadFromUsbFirstThenPs2)
{
	const struct {
		const char *name;
		bool open;
		bool usbSlot, ps2Slot;
		std::uint16_t usbPos, ps2Pos;
		bool usbFails;
		int expected;
		long usbReads, ps2Reads;
	} cases[] = {
		{"keylock not open", false, true, true, 3, 2, false, 0, 0, 0},
		{"USB position wins", true, true, true, 3, 2, false, 3, 1, 0},
		{"USB 0 falls back to PS/2", true, true, true, 0, 2, false, 2, 1, 1},
		{"USB position above 255 gives its low byte", true, true, true, 0x1FF, 2, false, 0xFF, 1, 0},
		{"USB fails, no PS/2 descriptor", true, true, false, 3, 2, true, 0, 1, 0},
		{"USB fails, PS/2 answers", true, true, true, 3, 2, true, 2, 1, 1},
		{"only PS/2", true, false, true, 3, 9, false, 9, 0, 1},
		{"both 0", true, true, true, 0, 0, false, 0, 1, 1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		if (c.usbSlot) {
			ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbKeylock, TRVSIM_USB_KEYLOCK), 0);
		}
		if (c.ps2Slot) {
			ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Keylock, TRVSIM_PS2_KEYLOCK), 0);
		}
		g_bKeylockOpened = c.open ? 1 : 0;
		trvsim_set_keylock(TRVSIM_USB, c.usbPos);
		trvsim_set_keylock(TRVSIM_PS2, c.ps2Pos);
		if (c.usbFails)
			trvsim_fail_reads(TRVSIM_USB_KEYLOCK, 1);

		EXPECT_EQ(TRV_JNI(getKeyLockPosition)(env, obj), c.expected);
		EXPECT_EQ(trvsim_reads(TRVSIM_USB_KEYLOCK), c.usbReads);
		EXPECT_EQ(trvsim_reads(TRVSIM_PS2_KEYLOCK), c.ps2Reads);
		if (c.expected != 0) {
			EXPECT_EQ(FetchKeylock(), std::vector<std::uint8_t>{static_cast<std::uint8_t>(c.expected)});
		}
	}
}

TEST_F(KeylockDataTest, FailedArrayCreationReturnsNullAndKeepsTheByte)
{
	OpenKeylock();
	trvsim_set_keylock(TRVSIM_PS2, 5);
	ASSERT_EQ(HandleKeylockDataPS2(env, obj, klkMethod, 5), 1);
	jni.failNewArrays(true);
	EXPECT_EQ(TRV_JNI(getKeyLockData)(env, obj), nullptr);
	EXPECT_FALSE(jni.exceptionPending());
	jni.failNewArrays(false);
	EXPECT_EQ(FetchKeylock(), std::vector<std::uint8_t>{5});
}

TEST_F(KeylockDataTest, ByteReadLastOutlivesClose)
{
	OpenKeylock();
	trvsim_set_keylock(TRVSIM_USB, 6);
	ASSERT_EQ(HandleKeylockDataUSB(env, obj, klkMethod, 6), 1);
	ASSERT_EQ(TRV_JNI(closeKeyLock)(env, obj), 0);
	EXPECT_EQ(FetchKeylock(), std::vector<std::uint8_t>{6});
	EXPECT_EQ(TRV_JNI(getKeyLockPosition)(env, obj), 0);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KEYLOCK), 1);
}

} // namespace
} // namespace datapaths
