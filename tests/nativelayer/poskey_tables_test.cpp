// POS key tables: what reaches the keyboard nodes, and when.
#include <cerrno>
#include <cstring>
#include <string>

#include "harness.h"

namespace nltest {
namespace {

using PosKeyTableTest = NativeLayerTest;

void FillTables()
{
	for (int i = 0; i < SET1_KEY_CONF_SIZE; ++i)
		g_rguchSet1KeyConf[i] = static_cast<std::uint8_t>(i % 3 == 0);
	for (int i = 0; i < HID_KEY_CONF_ENTRIES; ++i)
		g_rgushHIDKeyConfUSB[i] = static_cast<std::uint16_t>(0x0100 * i + 0x11);
}

std::vector<std::uint8_t> Set1Bytes()
{
	return {g_rguchSet1KeyConf, g_rguchSet1KeyConf + SET1_KEY_CONF_SIZE};
}

TEST_F(PosKeyTableTest, WriteReportsWhetherAnyTableWentOutWhole)
{
	struct {
		const char *name;
		bool ps2Present, usbPresent;
		std::size_t ps2Short, usbShort; // SIZE_MAX: no limit
		jint result;
	} cases[] = {
		{"no node open", false, false, SIZE_MAX, SIZE_MAX, -1},
		{"PS/2 only, complete", true, false, SIZE_MAX, SIZE_MAX, 0},
		{"USB only, complete", false, true, SIZE_MAX, SIZE_MAX, 0},
		{"both, USB short", true, true, SIZE_MAX, 1000, 0},
		{"both, PS/2 short", true, true, 384, SIZE_MAX, 0},
		{"both short", true, true, 10, 1023, -1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetAll(jni);
		FillTables();
		trvsim_set_present(TRVSIM_PS2_KEYBOARD, c.ps2Present);
		trvsim_set_present(TRVSIM_USB_KEYBOARD, c.usbPresent);
		trvsim_short_writes(TRVSIM_PS2_KEYBOARD, c.ps2Short);
		trvsim_short_writes(TRVSIM_USB_KEYBOARD, c.usbShort);
		if (c.ps2Present || c.usbPresent) {
			ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
		}
		// A short write is no lost device, whatever errno an earlier call
		// left behind: the node stays open.
		errno = ENODEV;
		EXPECT_EQ(TRV_JNI(writeKeyboardConfig)(env, obj), c.result);
		EXPECT_EQ(g_ulGoneSlots.load(), 0u);
		// One write per open node, never a retry.
		EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_KEYBOARD), c.ps2Present ? 1 : 0);
		EXPECT_EQ(trvsim_write_count(TRVSIM_USB_KEYBOARD), c.usbPresent ? 1 : 0);
		if (c.ps2Present && c.ps2Short == SIZE_MAX) {
			EXPECT_EQ(Written(TRVSIM_PS2_KEYBOARD), Set1Bytes());
		}
	}
}

TEST_F(PosKeyTableTest, UsbTableGoesOutLittleEndian)
{
	g_rgushHIDKeyConfUSB[0] = 0x1234;
	g_rgushHIDKeyConfUSB[0x04] = 0x0001;
	g_rgushHIDKeyConfUSB[256] = 0x00E0;
	g_rgushHIDKeyConfUSB[511] = 0xBEEF;
	trvsim_set_present(TRVSIM_PS2_KEYBOARD, 0);
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	ASSERT_EQ(TRV_JNI(writeKeyboardConfig)(env, obj), 0);

	std::vector<std::uint8_t> expected(1024, 0);
	expected[0] = 0x34;
	expected[1] = 0x12;
	expected[8] = 0x01;
	expected[512] = 0xE0;
	expected[1022] = 0xEF;
	expected[1023] = 0xBE;
	EXPECT_EQ(Written(TRVSIM_USB_KEYBOARD), expected);
}

TEST_F(PosKeyTableTest, CloseSendsEmptyTablesBeforeClosing)
{
	FillTables();
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	TRV_JNI(closeKeyBoard)(env, obj);

	EXPECT_EQ(Written(TRVSIM_PS2_KEYBOARD), std::vector<std::uint8_t>(385, 0));
	EXPECT_EQ(Written(TRVSIM_USB_KEYBOARD), std::vector<std::uint8_t>(1024, 0));
	EXPECT_EQ(trvsim_open_descriptors(TRVSIM_PS2_KEYBOARD), 0);
	EXPECT_EQ(trvsim_open_descriptors(TRVSIM_USB_KEYBOARD), 0);

	// Closed: nothing to send to. Reopened: the tables are still empty.
	EXPECT_EQ(TRV_JNI(writeKeyboardConfig)(env, obj), -1);
	EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_KEYBOARD), 1);
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	EXPECT_EQ(TRV_JNI(writeKeyboardConfig)(env, obj), 0);
	EXPECT_EQ(Written(TRVSIM_PS2_KEYBOARD), std::vector<std::uint8_t>(385, 0));
	EXPECT_EQ(Written(TRVSIM_USB_KEYBOARD), std::vector<std::uint8_t>(1024, 0));
}

TEST_F(PosKeyTableTest, CloseOfClosedKeyboardKeepsTables)
{
	FillTables();
	const auto before = Set1Bytes();
	const std::uint16_t usb511 = g_rgushHIDKeyConfUSB[511];
	TRV_JNI(closeKeyBoard)(env, obj);
	EXPECT_EQ(Set1Bytes(), before);
	EXPECT_EQ(g_rgushHIDKeyConfUSB[511], usb511);
	EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_KEYBOARD), 0);
}

TEST_F(PosKeyTableTest, DeviceWriteRefusesEmptyInput)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	const int fd = g_DeviceChannels.fdPs2Keyboard.load();
	const std::uint8_t data[4] = {1, 2, 3, 4};
	struct {
		const std::uint8_t *data;
		int length;
		int result;
	} cases[] = {
		{nullptr, 4, 0},
		{data, 0, 0},
		{data, -1, 0},
		{data, 4, 1},
	};
	for (const auto &c : cases)
		EXPECT_EQ(WriteKeyboardConfigurationToDevice(fd, c.data, c.length), c.result) << c.length;
	EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_KEYBOARD), 1);
	EXPECT_EQ(Written(TRVSIM_PS2_KEYBOARD), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

} // namespace
} // namespace nltest
