// Records that the PS/2 and USB drivers deliver on their status nodes and the
// header configuration record written to the USB MSR status node. All are
// packed and little-endian, and are read or written whole.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
// "/dev/qkbd_stat": keyboard, keylock and MSR status of the PS/2 attachment.
struct Ps2StatusRecord {
	std::uint8_t uchKeyLockPos;  // 0: no position
	std::uint8_t uchKbdCount;    // bytes waiting on "/dev/qkbd_keyboard"
	std::uint16_t ushTrack1Len;  // bytes waiting on "/dev/qkbd_msr1"; 0xFFFF: no usable data
	std::uint16_t ushTrack2Len;
	std::uint16_t ushTrack3Len;
	std::uint16_t ushReserved;
};

// "/dev/trvposusb_kbdstat".
struct UsbKbdStatusRecord {
	std::uint8_t uchReserved;
	std::uint8_t uchKbdCount;    // 32-bit entries waiting on "/dev/trvposusb_keyboard"
};

// "/dev/trvposusb_msrstat" (hdrcfg reads its first six bytes).
struct UsbMsrStatusRecord {
	std::uint16_t ushTrack1Len;  // bytes waiting on "/dev/trvposusb_msr1"; 0xFFFF: no usable data
	std::uint16_t ushTrack2Len;
	std::uint16_t ushTrack3Len;
	std::uint16_t ushKeyLockPos; // 0: no position
};

// Written in one call to "/dev/trvposusb_msrstat": command byte 0x10, then a
// modifier/key pair for each of GH, GT, H1, T1, H2, T2, H3, T3.
struct HeaderConfigRecord {
	std::uint8_t uchCommand;
	std::uint8_t rguchHeader[16];
};
#pragma pack(pop)

static_assert(sizeof(Ps2StatusRecord) == 10);
static_assert(sizeof(UsbKbdStatusRecord) == 2);
static_assert(sizeof(UsbMsrStatusRecord) == 8);
static_assert(sizeof(HeaderConfigRecord) == 17);

inline constexpr std::uint16_t TRACK_LEN_NO_DATA = 0xFFFF;
inline constexpr std::uint8_t HEADER_CONFIG_COMMAND = 0x10;
