// Key code tables: HID usages <-> set-1 scan codes.
//
// One source, two builds:
//  - library build (default): rows carry the key name and 32-bit flags; the
//    table and the lookups are exported with C linkage from libnativelayer.so;
//  - tool build (HID2PS2_TOOL_BUILD defined): no key names, 8-bit flags, for
//    hdrcfg.
// Both builds hold the same 293 rows in the same order.
#pragma once

#include <cstdint>

#ifdef HID2PS2_TOOL_BUILD
typedef std::uint8_t HID2PS2Flag;
#else
typedef std::int32_t HID2PS2Flag;
#endif

// Markers in ulSet1Code: the usage has no set-1 code / the usage is reserved.
inline constexpr std::uint32_t HID2PS2_NO_CODE = 0xFFFFFFFFu;
inline constexpr std::uint32_t HID2PS2_RESERVED = 0xEEEEEEEEu;
inline constexpr int HID2PS2_ROWS = 293;

extern "C" {

struct HID2PS2Entry {
	std::uint16_t ushUsage;     // HID usage (keyboard and consumer pages share one number space)
	std::uint16_t ushUsageSize; // 1 below usage 256, 2 from 256 on
	HID2PS2Flag bMakeBreak;
	HID2PS2Flag bTypematic;
	std::uint32_t ulSet1Code;   // set-1 code, prefix byte in bits 8-15; or a marker
#ifndef HID2PS2_TOOL_BUILD
	const char *pszKeyName;
#endif
};

extern const HID2PS2Entry HID2PS2Table[HID2PS2_ROWS];

// Set-1 code to HID usage: first row whose code equals nSet1Code in all 32 bits.
int PS2ToHID(std::int32_t nSet1Code, std::uint16_t *pushUsage, std::uint16_t *pushUsageSize);
// One-byte usage to set-1 code and flags.
int HID2Ps2(std::uint8_t uchUsage, std::uint32_t *pulSet1Code, std::int32_t *pbMakeBreak,
	    std::int32_t *pbTypematic);
// Usage of either size to set-1 code and flags.
int HID2Ps2USHORT(std::uint16_t ushUsage, std::uint16_t ushUsageSize, std::uint32_t *pulSet1Code,
		  std::int32_t *pbMakeBreak, std::int32_t *pbTypematic);
// The two flags of a usage (the size takes no part in the match).
int GetKeyParams(std::uint16_t ushUsage, std::uint16_t ushUsageSize, std::int32_t *pbMakeBreak,
		 std::int32_t *pbTypematic);

} // extern "C"
