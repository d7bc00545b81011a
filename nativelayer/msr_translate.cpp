// PS/2 track translation: the PS/2 magnetic stripe reader delivers each track
// as the set-1 scan codes a keyboard would send for its characters. These
// functions turn such a stream back into characters (US layout), honouring
// the Shift keys held inside the stream.
#include "nativelayer.h"

namespace {

// Event flags passed to UpdateModifierFlags.
constexpr std::uint32_t EVENT_BREAK = 0x1;
constexpr std::uint32_t EVENT_PREFIX_E0 = 0x2;
constexpr std::uint32_t EVENT_PREFIX_E1 = 0x4;

// Modifier state bits (a set bit means the key is held).
constexpr std::uint32_t MOD_LEFT_CTRL = 0x002;
constexpr std::uint32_t MOD_RIGHT_CTRL = 0x004;
constexpr std::uint32_t MOD_LEFT_SHIFT = 0x008;
constexpr std::uint32_t MOD_RIGHT_SHIFT = 0x010;
constexpr std::uint32_t MOD_LEFT_ALT = 0x020;
constexpr std::uint32_t MOD_RIGHT_ALT = 0x040;
constexpr std::uint32_t MOD_LEFT_GUI = 0x080;
constexpr std::uint32_t MOD_RIGHT_GUI = 0x100;
constexpr std::uint32_t MOD_APPLICATION = 0x200;

constexpr std::uint8_t BREAK_BIT = 0x80;
constexpr int MAP_ROWS = 62;

// Column indices of g_MsrMapSet1.
constexpr int COL_MAKE = 0;
constexpr int COL_UNSHIFTED = 2;
constexpr int COL_SHIFTED = 3;

} // namespace

extern "C" {

// Make code, break code, unshifted character, shifted character.
// Keypad rows have no shifted character (0x00).
const std::uint8_t g_MsrMapSet1[62][4] = {
	{0x1E, 0x9E, 0x61, 0x41}, //  0 a A
	{0x30, 0xB0, 0x62, 0x42}, //  1 b B
	{0x2E, 0xAE, 0x63, 0x43}, //  2 c C
	{0x20, 0xA0, 0x64, 0x44}, //  3 d D
	{0x12, 0x92, 0x65, 0x45}, //  4 e E
	{0x21, 0xA1, 0x66, 0x46}, //  5 f F
	{0x22, 0xA2, 0x67, 0x47}, //  6 g G
	{0x23, 0xA3, 0x68, 0x48}, //  7 h H
	{0x17, 0x97, 0x69, 0x49}, //  8 i I
	{0x24, 0xA4, 0x6A, 0x4A}, //  9 j J
	{0x25, 0xA5, 0x6B, 0x4B}, // 10 k K
	{0x26, 0xA6, 0x6C, 0x4C}, // 11 l L
	{0x32, 0xB2, 0x6D, 0x4D}, // 12 m M
	{0x31, 0xB1, 0x6E, 0x4E}, // 13 n N
	{0x18, 0x98, 0x6F, 0x4F}, // 14 o O
	{0x19, 0x99, 0x70, 0x50}, // 15 p P
	{0x10, 0x90, 0x71, 0x51}, // 16 q Q
	{0x13, 0x93, 0x72, 0x52}, // 17 r R
	{0x1F, 0x9F, 0x73, 0x53}, // 18 s S
	{0x14, 0x94, 0x74, 0x54}, // 19 t T
	{0x16, 0x96, 0x75, 0x55}, // 20 u U
	{0x2F, 0xAF, 0x76, 0x56}, // 21 v V
	{0x11, 0x91, 0x77, 0x57}, // 22 w W
	{0x2D, 0xAD, 0x78, 0x58}, // 23 x X
	{0x15, 0x95, 0x79, 0x59}, // 24 y Y
	{0x2C, 0xAC, 0x7A, 0x5A}, // 25 z Z
	{0x0B, 0x8B, 0x30, 0x29}, // 26 0 )
	{0x02, 0x82, 0x31, 0x21}, // 27 1 !
	{0x03, 0x83, 0x32, 0x40}, // 28 2 @
	{0x04, 0x84, 0x33, 0x23}, // 29 3 #
	{0x05, 0x85, 0x34, 0x24}, // 30 4 $
	{0x06, 0x86, 0x35, 0x25}, // 31 5 %
	{0x07, 0x87, 0x36, 0x5E}, // 32 6 ^
	{0x08, 0x88, 0x37, 0x26}, // 33 7 &
	{0x09, 0x89, 0x38, 0x2A}, // 34 8 *
	{0x0A, 0x8A, 0x39, 0x28}, // 35 9 (
	{0x29, 0xA9, 0x60, 0x7E}, // 36 ` ~
	{0x0C, 0x8C, 0x2D, 0x5F}, // 37 - _
	{0x0D, 0x8D, 0x3D, 0x2B}, // 38 = +
	{0x2B, 0xAB, 0x5C, 0x7C}, // 39 \ |
	{0x1A, 0x9A, 0x5B, 0x7B}, // 40 [ {
	{0x1B, 0x9B, 0x5D, 0x7D}, // 41 ] }
	{0x27, 0xA7, 0x3B, 0x3A}, // 42 ; :
	{0x28, 0xA8, 0x27, 0x22}, // 43 ' "
	{0x33, 0xB3, 0x2C, 0x3C}, // 44 , <
	{0x34, 0xB4, 0x2E, 0x3E}, // 45 . >
	{0x35, 0xB5, 0x2F, 0x3F}, // 46 / ?
	{0x37, 0xB7, 0x2A, 0x00}, // 47 keypad *
	{0x4A, 0xCA, 0x2D, 0x00}, // 48 keypad -
	{0x4E, 0xCE, 0x2B, 0x00}, // 49 keypad +
	{0x53, 0xD3, 0x2E, 0x00}, // 50 keypad .
	{0x52, 0xD2, 0x30, 0x00}, // 51 keypad 0
	{0x4F, 0xCF, 0x31, 0x00}, // 52 keypad 1
	{0x50, 0xD0, 0x32, 0x00}, // 53 keypad 2
	{0x51, 0xD1, 0x33, 0x00}, // 54 keypad 3
	{0x4B, 0xCB, 0x34, 0x00}, // 55 keypad 4
	{0x4C, 0xCC, 0x35, 0x00}, // 56 keypad 5
	{0x4D, 0xCD, 0x36, 0x00}, // 57 keypad 6
	{0x47, 0xC7, 0x37, 0x00}, // 58 keypad 7
	{0x48, 0xC8, 0x38, 0x00}, // 59 keypad 8
	{0x49, 0xC9, 0x39, 0x00}, // 60 keypad 9
	{0x39, 0xB9, 0x20, 0x20}, // 61 space
};

// Updates *pulModifiers for a modifier key's make or break. Returns 1 when
// the code is a modifier key it handled, 0 otherwise (and for a null state).
int UpdateModifierFlags(std::uint8_t uchCode, std::uint32_t ulEventFlags, std::uint32_t *pulModifiers)
{
	if (pulModifiers == nullptr)
		return 0;

	const bool e0 = (ulEventFlags & EVENT_PREFIX_E0) != 0;
	const bool e1 = (ulEventFlags & EVENT_PREFIX_E1) != 0;
	std::uint32_t bit = 0;

	switch (uchCode) {
	case 0x1D:
		if (e1)
			return 0; // first byte of Pause, not a Ctrl key
		bit = e0 ? MOD_RIGHT_CTRL : MOD_LEFT_CTRL;
		break;
	case 0x2A:
		if (e0)
			return 0; // fake Shift around an extended key
		bit = MOD_LEFT_SHIFT;
		break;
	case 0x36:
		if (e0)
			return 0;
		bit = MOD_RIGHT_SHIFT;
		break;
	case 0x38:
		bit = e0 ? MOD_RIGHT_ALT : MOD_LEFT_ALT;
		break;
	case 0x5B:
		if (!e0)
			return 0;
		bit = MOD_LEFT_GUI;
		break;
	case 0x5C:
		if (!e0)
			return 0;
		bit = MOD_RIGHT_GUI;
		break;
	case 0x5D:
		if (!e0)
			return 0;
		bit = MOD_APPLICATION;
		break;
	default:
		return 0;
	}

	if ((ulEventFlags & EVENT_BREAK) != 0)
		*pulModifiers &= ~bit;
	else
		*pulModifiers |= bit;
	return 1;
}

// Translates nRawLength scan-code bytes into characters appended at puchOut
// (at most one per raw byte); *pnCount receives the number written, which is
// also returned. The modifier state starts empty on every call. Null
// pointers or a negative length translate nothing.
std::uint32_t TranslateRawToAscii(const std::uint8_t *puchRaw, std::int32_t nRawLength,
				  std::uint8_t *puchOut, std::int32_t *pnCount)
{
	std::int32_t nCount = 0;
	std::uint32_t ulModifiers = 0;
	std::uint32_t ulEventFlags = 0;

	if (puchRaw != nullptr && puchOut != nullptr) {
		for (std::int32_t i = 0; i < nRawLength; ++i) {
			const std::uint8_t uchByte = puchRaw[i];
			const bool isBreak = (uchByte & BREAK_BIT) != 0;
			// Prefix bytes 0xE0/0xE1 have bit 7 set and pass as breaks; the
			// prefix flags are never raised here.
			if (isBreak)
				ulEventFlags |= EVENT_BREAK;
			else
				ulEventFlags &= ~EVENT_BREAK;

			const int handled = UpdateModifierFlags(static_cast<std::uint8_t>(uchByte & ~BREAK_BIT),
								ulEventFlags, &ulModifiers);
			if (handled != 0 || isBreak)
				continue;

			for (int row = 0; row < MAP_ROWS; ++row) {
				if (g_MsrMapSet1[row][COL_MAKE] != uchByte)
					continue;
				const bool shifted = (ulModifiers & (MOD_LEFT_SHIFT | MOD_RIGHT_SHIFT)) != 0;
				puchOut[nCount++] = g_MsrMapSet1[row][shifted ? COL_SHIFTED : COL_UNSHIFTED];
				break;
			}
		}
	}

	if (pnCount != nullptr)
		*pnCount = nCount;
	return static_cast<std::uint32_t>(nCount);
}

} // extern "C"
