// Transfer of the POS key tables to the keyboard nodes: the 385-byte set-1
// table to the PS/2 keyboard node, the 512-entry HID table to the USB
// keyboard node as 1024 bytes, each entry least significant byte first.
#include <errno.h>
#include <unistd.h>

#include <array>

#include "nativelayer.h"
#include "sessions.h"

namespace {

constexpr int HID_KEY_CONF_BYTES = HID_KEY_CONF_ENTRIES * 2;

// The USB table as the driver takes it: little-endian whatever the host's
// byte order.
std::array<std::uint8_t, HID_KEY_CONF_BYTES> SerializeHidTable()
{
	std::array<std::uint8_t, HID_KEY_CONF_BYTES> bytes{};
	for (int i = 0; i < HID_KEY_CONF_ENTRIES; ++i) {
		const std::uint16_t value = g_rgushHIDKeyConfUSB[i];
		bytes[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
		bytes[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
	}
	return bytes;
}

// Sends one table to one keyboard node; a node that reports its device gone
// is closed and left to the polling loop to reopen. 1 when it went out whole.
int SendTable(std::atomic<std::int32_t> &slot, const std::uint8_t *data, int length)
{
	const int fd = slot.load();
	if (fd <= 0)
		return 0;
	if (WriteKeyboardConfigurationToDevice(fd, data, length) == 1)
		return 1;
	DropIfGone(slot, fd, errno);
	return 0;
}

} // namespace

bool g_bKeyboardConfigSent = false;

void ResendKeyboardConfiguration(int fd, bool bPs2)
{
	if (!g_bKeyboardConfigSent)
		return;
	if (bPs2) {
		(void)WriteKeyboardConfigurationToDevice(fd, g_rguchSet1KeyConf, SET1_KEY_CONF_SIZE);
	} else {
		const auto bytes = SerializeHidTable();
		(void)WriteKeyboardConfigurationToDevice(fd, bytes.data(), HID_KEY_CONF_BYTES);
	}
}

extern "C" {

int WriteKeyboardConfigurationToDevice(int fd, const std::uint8_t *data, int length)
{
	if (data == nullptr || length <= 0)
		return 0;
	const ssize_t written = ::write(fd, data, static_cast<std::size_t>(length));
	return written == length ? 1 : 0;
}

int WriteKeyboardConfiguration(void)
{
	int result = 0;
	if (SendTable(g_DeviceChannels.fdPs2Keyboard, g_rguchSet1KeyConf, SET1_KEY_CONF_SIZE) == 1)
		result = 1;
	const auto bytes = SerializeHidTable();
	if (SendTable(g_DeviceChannels.fdUsbKeyboard, bytes.data(), HID_KEY_CONF_BYTES) == 1)
		result = 1;
	return result;
}

// Holds the keyboard session lock so that a close on another thread cannot
// close (and the system reuse) a descriptor while the table goes out on it.
// The tables sent are remembered for the session: a keyboard node that comes
// back after a replug gets them again.
JNIEXPORT jint JNICALL TRV_JNI(writeKeyboardConfig)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_KeyboardSessionLock);
	if (WriteKeyboardConfiguration() != 1)
		return -1;
	g_bKeyboardConfigSent = g_bKeyboardOpened.load() != 0;
	return 0;
}

} // extern "C"
