// Declared POS keys as they reach the simulated keyboard nodes through
// writeKeyboardConfig.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fake_jni.h"
#include "nativelayer.h"
#include "trvsim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes LastWrite(int node)
{
	Bytes buf(2048);
	const long n = trvsim_written(node, -1, buf.data(), buf.size());
	if (n < 0)
		return {};
	buf.resize(static_cast<std::size_t>(n));
	return buf;
}

TEST(PosKeyTransfer, DeclaredKeysReachBothKeyboardNodes)
{
	trvsim_reset();
	fakejni::FakeJni jni;
	JNIEnv *env = jni.env();
	jobject svc = jni.service();

	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, svc, jni.newString("POSKeyboard")), 0x1234);
	const std::vector<std::vector<std::int32_t>> decls = {
		{7, 0, 0, 0x1E, 0},      // a: PS/2 30, USB 4
		{0x1234, 0, 0, 0xE01C, 0}, // keypad enter: PS/2 156, USB 88
		{9, 0x1D, 0, 0x30, 0},   // ctrl + b: USB 256 = 224, USB 261 = 9
		{7, 0, 0, 0xE1FF, 0},    // beyond the PS/2 table: nothing
	};
	for (const auto &d : decls)
		EXPECT_EQ(TRV_JNI(setposkey)(env, svc, 0, jni.newIntArray(d)), 0);
	EXPECT_EQ(TRV_JNI(writeKeyboardConfig)(env, svc), 0);

	Bytes ps2(SET1_KEY_CONF_SIZE, 0);
	ps2[30] = 1;
	ps2[156] = 1;
	EXPECT_EQ(LastWrite(TRVSIM_PS2_KEYBOARD), ps2);

	Bytes usb(2 * HID_KEY_CONF_ENTRIES, 0);
	usb[2 * 4] = 7;
	usb[2 * 88] = 0x34;
	usb[2 * 88 + 1] = 0x12;
	usb[2 * 256] = 224;
	usb[2 * 261] = 9;
	EXPECT_EQ(LastWrite(TRVSIM_USB_KEYBOARD), usb);

	TRV_JNI(closeKeyBoard)(env, svc);
	EXPECT_EQ(LastWrite(TRVSIM_PS2_KEYBOARD), Bytes(SET1_KEY_CONF_SIZE, 0));
	EXPECT_EQ(LastWrite(TRVSIM_USB_KEYBOARD), Bytes(2 * HID_KEY_CONF_ENTRIES, 0));
	fakejni::ExpectCleanJni(jni);
}

} // namespace
