// Transfer of the POS key tables to the keyboard nodes: the 385-byte set-1
// table to the PS/2 keyboard node, the 512-entry HID table to the USB
// keyboard node as 1024 bytes, each entry least significant byte first.
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

} // namespace

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
	const int ps2 = g_DeviceChannels.fdPs2Keyboard.load();
	if (ps2 > 0 && WriteKeyboardConfigurationToDevice(ps2, g_rguchSet1KeyConf, SET1_KEY_CONF_SIZE) == 1)
		result = 1;
	const int usb = g_DeviceChannels.fdUsbKeyboard.load();
	if (usb > 0) {
		const auto bytes = SerializeHidTable();
		if (WriteKeyboardConfigurationToDevice(usb, bytes.data(), HID_KEY_CONF_BYTES) == 1)
			result = 1;
	}
	return result;
}

// Holds the keyboard session lock so that a close on another thread cannot
// close (and the system reuse) a descriptor while the table goes out on it.
JNIEXPORT jint JNICALL TRV_JNI(writeKeyboardConfig)(JNIEnv *, jobject)
{
	std::lock_guard lock(g_KeyboardSessionLock);
	return WriteKeyboardConfiguration() == 1 ? 0 : -1;
}

} // extern "C"
