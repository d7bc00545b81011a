// Key code tables: the HID usage / set-1 scan code table and its lookups.
//
// The table is data a person checks row by row: one ROW(usage, usage size,
// bMakeBreak, bTypematic, set-1 code, key name) per line, in table order.
// The tool build (HID2PS2_TOOL_BUILD) keeps the same rows in the same order
// and drops the names; its flags are 8 bits wide.
//
// Row order matters: every lookup takes the first matching row.
#include "hid2ps2.h"

#include <cstddef>

namespace {

// Marker codes, short enough to keep one row on one line.
constexpr std::uint32_t NONE = HID2PS2_NO_CODE;  // usage has no set-1 code
constexpr std::uint32_t RSVD = HID2PS2_RESERVED; // reserved usage

constexpr bool IsMarker(std::uint32_t ulCode)
{
	return ulCode == NONE || ulCode == RSVD;
}

} // namespace

#ifdef HID2PS2_TOOL_BUILD
#define ROW(usage, size, mb, tm, code, name) { usage, size, mb, tm, code }
#else
#define ROW(usage, size, mb, tm, code, name) { usage, size, mb, tm, code, name }
#endif

extern "C" {

// Rows 0-255: keyboard/keypad page, row n = usage n (except row 49, which
// repeats usage 50 as the backslash key; usage 49 has no row).
// Rows 256-292: consumer page, in fixed order.
constexpr HID2PS2Entry HID2PS2Table[HID2PS2_ROWS] = {
	/*   0 */ ROW(  0, 1, 0, 0, 0x00,     "All Keys"),
	/*   1 */ ROW(  1, 1, 0, 0, 0xFF,     "Overrun Error"),
	/*   2 */ ROW(  2, 1, 0, 0, 0xFC,     "POST fail"),
	/*   3 */ ROW(  3, 1, 0, 0, NONE,     "Error undefined"),
	/*   4 */ ROW(  4, 1, 1, 1, 0x1E,     "a A"),
	/*   5 */ ROW(  5, 1, 1, 1, 0x30,     "b B"),
	/*   6 */ ROW(  6, 1, 1, 1, 0x2E,     "c C"),
	/*   7 */ ROW(  7, 1, 1, 1, 0x20,     "d D"),
	/*   8 */ ROW(  8, 1, 1, 1, 0x12,     "e E"),
	/*   9 */ ROW(  9, 1, 1, 1, 0x21,     "f F"),
	/*  10 */ ROW( 10, 1, 1, 1, 0x22,     "g G"),
	/*  11 */ ROW( 11, 1, 1, 1, 0x23,     "h H"),
	/*  12 */ ROW( 12, 1, 1, 1, 0x17,     "i I"),
	/*  13 */ ROW( 13, 1, 1, 1, 0x24,     "j J"),
	/*  14 */ ROW( 14, 1, 1, 1, 0x25,     "k K"),
	/*  15 */ ROW( 15, 1, 1, 1, 0x26,     "l L"),
	/*  16 */ ROW( 16, 1, 1, 1, 0x32,     "m M"),
	/*  17 */ ROW( 17, 1, 1, 1, 0x31,     "n N"),
	/*  18 */ ROW( 18, 1, 1, 1, 0x18,     "o O"),
	/*  19 */ ROW( 19, 1, 1, 1, 0x19,     "p P"),
	/*  20 */ ROW( 20, 1, 1, 1, 0x10,     "q Q"),
	/*  21 */ ROW( 21, 1, 1, 1, 0x13,     "r R"),
	/*  22 */ ROW( 22, 1, 1, 1, 0x1F,     "s S"),
	/*  23 */ ROW( 23, 1, 1, 1, 0x14,     "t T"),
	/*  24 */ ROW( 24, 1, 1, 1, 0x16,     "u U"),
	/*  25 */ ROW( 25, 1, 1, 1, 0x2F,     "v V"),
	/*  26 */ ROW( 26, 1, 1, 1, 0x11,     "w W"),
	/*  27 */ ROW( 27, 1, 1, 1, 0x2D,     "x X"),
	/*  28 */ ROW( 28, 1, 1, 1, 0x15,     "y Y"),
	/*  29 */ ROW( 29, 1, 1, 1, 0x2C,     "z Z"),
	/*  30 */ ROW( 30, 1, 1, 1, 0x02,     "1 !"),
	/*  31 */ ROW( 31, 1, 1, 1, 0x03,     "2 @"),
	/*  32 */ ROW( 32, 1, 1, 1, 0x04,     "3 #"),
	/*  33 */ ROW( 33, 1, 1, 1, 0x05,     "4 $"),
	/*  34 */ ROW( 34, 1, 1, 1, 0x06,     "5 %"),
	/*  35 */ ROW( 35, 1, 1, 1, 0x07,     "6 ^"),
	/*  36 */ ROW( 36, 1, 1, 1, 0x08,     "7 &"),
	/*  37 */ ROW( 37, 1, 1, 1, 0x09,     "8 *"),
	/*  38 */ ROW( 38, 1, 1, 1, 0x0A,     "9 ("),
	/*  39 */ ROW( 39, 1, 1, 1, 0x0B,     "0 )"),
	/*  40 */ ROW( 40, 1, 1, 1, 0x1C,     "Return"),
	/*  41 */ ROW( 41, 1, 1, 1, 0x01,     "Esc"),
	/*  42 */ ROW( 42, 1, 1, 1, 0x0E,     "Backspace"),
	/*  43 */ ROW( 43, 1, 1, 1, 0x0F,     "Tab"),
	/*  44 */ ROW( 44, 1, 1, 1, 0x39,     "Space"),
	/*  45 */ ROW( 45, 1, 1, 1, 0x0C,     "- _"),
	/*  46 */ ROW( 46, 1, 1, 1, 0x0D,     "= +"),
	/*  47 */ ROW( 47, 1, 1, 1, 0x1A,     "[ {"),
	/*  48 */ ROW( 48, 1, 1, 1, 0x1B,     "] }"),
	/*  49 */ ROW( 50, 1, 1, 1, 0x2B,     "\\ |"),
	/*  50 */ ROW( 50, 1, 1, 1, 0x2B,     "# '"),
	/*  51 */ ROW( 51, 1, 1, 1, 0x27,     ": ;"),
	/*  52 */ ROW( 52, 1, 1, 1, 0x28,     "' \""),
	/*  53 */ ROW( 53, 1, 1, 1, 0x29,     "` ~"),
	/*  54 */ ROW( 54, 1, 1, 1, 0x33,     ", <"),
	/*  55 */ ROW( 55, 1, 1, 1, 0x34,     ". >"),
	/*  56 */ ROW( 56, 1, 1, 1, 0x35,     "/ ?"),
	/*  57 */ ROW( 57, 1, 1, 1, 0x3A,     "CapsLock"),
	/*  58 */ ROW( 58, 1, 1, 1, 0x3B,     "F1"),
	/*  59 */ ROW( 59, 1, 1, 1, 0x3C,     "F2"),
	/*  60 */ ROW( 60, 1, 1, 1, 0x3D,     "F3"),
	/*  61 */ ROW( 61, 1, 1, 1, 0x3E,     "F4"),
	/*  62 */ ROW( 62, 1, 1, 1, 0x3F,     "F5"),
	/*  63 */ ROW( 63, 1, 1, 1, 0x40,     "F6"),
	/*  64 */ ROW( 64, 1, 1, 1, 0x41,     "F7"),
	/*  65 */ ROW( 65, 1, 1, 1, 0x42,     "F8"),
	/*  66 */ ROW( 66, 1, 1, 1, 0x43,     "F9"),
	/*  67 */ ROW( 67, 1, 1, 1, 0x44,     "F10"),
	/*  68 */ ROW( 68, 1, 1, 1, 0x57,     "F11"),
	/*  69 */ ROW( 69, 1, 1, 1, 0x58,     "F12"),
	/*  70 */ ROW( 70, 1, 1, 1, 0xE037,   "PrintScrn"),
	/*  71 */ ROW( 71, 1, 1, 1, 0x46,     "ScrollLock"),
	/*  72 */ ROW( 72, 1, 0, 0, 0xE11D45, "Pause"),
	/*  73 */ ROW( 73, 1, 1, 1, 0xE052,   "Ins"),
	/*  74 */ ROW( 74, 1, 1, 1, 0xE047,   "Home"),
	/*  75 */ ROW( 75, 1, 1, 1, 0xE049,   "PgUp"),
	/*  76 */ ROW( 76, 1, 1, 1, 0xE053,   "Delete"),
	/*  77 */ ROW( 77, 1, 1, 1, 0xE04F,   "End"),
	/*  78 */ ROW( 78, 1, 1, 1, 0xE051,   "PgDn"),
	/*  79 */ ROW( 79, 1, 1, 1, 0xE04D,   "Right Arrow"),
	/*  80 */ ROW( 80, 1, 1, 1, 0xE04B,   "Left Arrow"),
	/*  81 */ ROW( 81, 1, 1, 1, 0xE050,   "Down Arrow"),
	/*  82 */ ROW( 82, 1, 1, 1, 0xE048,   "Up Arrow"),
	/*  83 */ ROW( 83, 1, 1, 1, 0x45,     "NumLock"),
	/*  84 */ ROW( 84, 1, 1, 1, 0xE035,   "Keypad /"),
	/*  85 */ ROW( 85, 1, 1, 1, 0x37,     "Keypad *"),
	/*  86 */ ROW( 86, 1, 1, 1, 0x4A,     "Keypad -"),
	/*  87 */ ROW( 87, 1, 1, 1, 0x4E,     "Keypad +"),
	/*  88 */ ROW( 88, 1, 1, 1, 0xE01C,   "Keypad Enter"),
	/*  89 */ ROW( 89, 1, 1, 1, 0x4F,     "Keypad 1 End"),
	/*  90 */ ROW( 90, 1, 1, 1, 0x50,     "Keypad 2 Down"),
	/*  91 */ ROW( 91, 1, 1, 1, 0x51,     "Keypad 3 PgDn"),
	/*  92 */ ROW( 92, 1, 1, 1, 0x4B,     "Keypad 4 Left"),
	/*  93 */ ROW( 93, 1, 1, 1, 0x4C,     "Keypad 5"),
	/*  94 */ ROW( 94, 1, 1, 1, 0x4D,     "Keypad 6 Left"),
	/*  95 */ ROW( 95, 1, 1, 1, 0x47,     "Keypad 7 Home"),
	/*  96 */ ROW( 96, 1, 1, 1, 0x48,     "Keypad 8 Up"),
	/*  97 */ ROW( 97, 1, 1, 1, 0x49,     "Keypad 9 PgUp"),
	/*  98 */ ROW( 98, 1, 1, 1, 0x52,     "Keypad 0 Ins"),
	/*  99 */ ROW( 99, 1, 1, 1, 0x53,     "Keypad . Del"),
	/* 100 */ ROW(100, 1, 1, 1, 0x56,     "< >"),
	/* 101 */ ROW(101, 1, 1, 1, 0xE05D,   "App"),
	/* 102 */ ROW(102, 1, 0, 0, NONE,     "Keyboard Power"),
	/* 103 */ ROW(103, 1, 1, 1, 0x59,     "Keypad ="),
	/* 104 */ ROW(104, 1, 1, 1, 0x5D,     "F13"),
	/* 105 */ ROW(105, 1, 1, 1, 0x5E,     "F14"),
	/* 106 */ ROW(106, 1, 1, 1, 0x5F,     "F15"),
	/* 107 */ ROW(107, 1, 1, 1, 0x65,     "F16"),
	/* 108 */ ROW(108, 1, 1, 1, 0x66,     "F17"),
	/* 109 */ ROW(109, 1, 1, 1, 0x6D,     "F18"),
	/* 110 */ ROW(110, 1, 1, 1, 0x6F,     "F19"),
	/* 111 */ ROW(111, 1, 1, 1, 0x71,     "F20"),
	/* 112 */ ROW(112, 1, 1, 1, 0x67,     "F21"),
	/* 113 */ ROW(113, 1, 1, 1, 0x68,     "F22"),
	/* 114 */ ROW(114, 1, 1, 1, 0x69,     "F23"),
	/* 115 */ ROW(115, 1, 1, 1, 0x6B,     "F24"),
	/* 116 */ ROW(116, 1, 1, 1, 0x5B,     "Keyboard Execute"),
	/* 117 */ ROW(117, 1, 1, 1, 0x6A,     "Keyboard Help"),
	/* 118 */ ROW(118, 1, 0, 0, NONE,     "Keyboard Menu"),
	/* 119 */ ROW(119, 1, 0, 0, NONE,     "Keyboard Select"),
	/* 120 */ ROW(120, 1, 0, 0, NONE,     "Keyboard Stop"),
	/* 121 */ ROW(121, 1, 0, 0, NONE,     "Keyboard Again"),
	/* 122 */ ROW(122, 1, 0, 0, NONE,     "Keyboard Undo"),
	/* 123 */ ROW(123, 1, 1, 1, 0x5A,     "Keyboard Cut"),
	/* 124 */ ROW(124, 1, 0, 0, NONE,     "Keyboard Copy"),
	/* 125 */ ROW(125, 1, 1, 1, 0x6C,     "Keyboard Paste"),
	/* 126 */ ROW(126, 1, 0, 0, NONE,     "Keyboard Find"),
	/* 127 */ ROW(127, 1, 0, 0, NONE,     "Keyboard Mute"),
	/* 128 */ ROW(128, 1, 0, 0, NONE,     "Keyboard Volume Up"),
	/* 129 */ ROW(129, 1, 0, 0, NONE,     "Keyboard Volume Dn"),
	/* 130 */ ROW(130, 1, 0, 0, NONE,     "Keyboard Locking Caps Lock"),
	/* 131 */ ROW(131, 1, 0, 0, NONE,     "Keyboard Locking Num Lock"),
	/* 132 */ ROW(132, 1, 0, 0, NONE,     "Keyboard Locking Scroll Lock"),
	/* 133 */ ROW(133, 1, 1, 1, 0x7E,     "Keypad .(Brazilian Keypad .)"),
	/* 134 */ ROW(134, 1, 0, 0, NONE,     "Keyboard Equal Sign"),
	/* 135 */ ROW(135, 1, 1, 1, 0x73,     "Keyboard Int'l 1 (Ro)"),
	/* 136 */ ROW(136, 1, 1, 1, 0x70,     "Keyboard Int'l 2 (Katakana)"),
	/* 137 */ ROW(137, 1, 1, 1, 0x7D,     "Keyboard Int'l 2 (Yen)"),
	/* 138 */ ROW(138, 1, 1, 1, 0x79,     "Keyboard Int'l 4 (Henkan)"),
	/* 139 */ ROW(139, 1, 1, 1, 0x7B,     "Keyboard Int'l 5 (Muhenkan)"),
	/* 140 */ ROW(140, 1, 1, 1, 0x5C,     "Keyboard Int'l 6 (PC9800 Keypad .)"),
	/* 141 */ ROW(141, 1, 0, 0, NONE,     "Keyboard Int'l 7"),
	/* 142 */ ROW(142, 1, 0, 0, NONE,     "Keyboard Int'l 8"),
	/* 143 */ ROW(143, 1, 0, 0, NONE,     "Keyboard Int'l 9"),
	/* 144 */ ROW(144, 1, 1, 1, 0xF2,     "Keyboard Lang 1"),
	/* 145 */ ROW(145, 1, 1, 1, 0xF1,     "Keyboard Lang 2"),
	/* 146 */ ROW(146, 1, 1, 1, 0x78,     "Keyboard Lang 3"),
	/* 147 */ ROW(147, 1, 1, 1, 0x77,     "Keyboard Lang 4"),
	/* 148 */ ROW(148, 1, 1, 1, 0x76,     "Keyboard Lang 5"),
	/* 149 */ ROW(149, 1, 0, 0, NONE,     "Keyboard Lang 6"),
	/* 150 */ ROW(150, 1, 0, 0, NONE,     "Keyboard Lang 7"),
	/* 151 */ ROW(151, 1, 0, 0, NONE,     "Keyboard Lang 8"),
	/* 152 */ ROW(152, 1, 0, 0, NONE,     "Keyboard Lang 9"),
	/* 153 */ ROW(153, 1, 0, 0, NONE,     "Keyboard Alternate Erase"),
	/* 154 */ ROW(154, 1, 0, 0, NONE,     "Keyboard SysReq/Attention"),
	/* 155 */ ROW(155, 1, 0, 0, NONE,     "Keyboard Cancel"),
	/* 156 */ ROW(156, 1, 0, 0, NONE,     "Keyoard Clear"),
	/* 157 */ ROW(157, 1, 0, 0, NONE,     "Keyboard Prior"),
	/* 158 */ ROW(158, 1, 0, 0, NONE,     "Keyboard Return"),
	/* 159 */ ROW(159, 1, 0, 0, NONE,     "Keybaord Separator"),
	/* 160 */ ROW(160, 1, 0, 0, NONE,     "Keyboard Out"),
	/* 161 */ ROW(161, 1, 0, 0, NONE,     "Keyboard Oper"),
	/* 162 */ ROW(162, 1, 0, 0, NONE,     "Keyboard Clear/Again"),
	/* 163 */ ROW(163, 1, 0, 0, NONE,     "Keybaord CrSel/Props"),
	/* 164 */ ROW(164, 1, 0, 0, NONE,     "Keyboard ExSel"),
	/* 165 */ ROW(165, 1, 0, 0, 0xE00E,   "Tarvel Fn-Key"),
	/* 166 */ ROW(166, 1, 0, 0, RSVD,     "RESERVED"),
	/* 167 */ ROW(167, 1, 0, 0, RSVD,     "RESERVED"),
	/* 168 */ ROW(168, 1, 0, 0, RSVD,     "RESERVED"),
	/* 169 */ ROW(169, 1, 0, 0, RSVD,     "RESERVED"),
	/* 170 */ ROW(170, 1, 0, 0, RSVD,     "RESERVED"),
	/* 171 */ ROW(171, 1, 0, 0, RSVD,     "RESERVED"),
	/* 172 */ ROW(172, 1, 0, 0, RSVD,     "RESERVED"),
	/* 173 */ ROW(173, 1, 0, 0, RSVD,     "RESERVED"),
	/* 174 */ ROW(174, 1, 0, 0, RSVD,     "RESERVED"),
	/* 175 */ ROW(175, 1, 0, 0, RSVD,     "RESERVED"),
	/* 176 */ ROW(176, 1, 0, 0, RSVD,     "RESERVED"),
	/* 177 */ ROW(177, 1, 0, 0, RSVD,     "RESERVED"),
	/* 178 */ ROW(178, 1, 0, 0, RSVD,     "RESERVED"),
	/* 179 */ ROW(179, 1, 0, 0, RSVD,     "RESERVED"),
	/* 180 */ ROW(180, 1, 0, 0, RSVD,     "RESERVED"),
	/* 181 */ ROW(181, 1, 0, 0, RSVD,     "RESERVED"),
	/* 182 */ ROW(182, 1, 0, 0, RSVD,     "RESERVED"),
	/* 183 */ ROW(183, 1, 0, 0, RSVD,     "RESERVED"),
	/* 184 */ ROW(184, 1, 0, 0, RSVD,     "RESERVED"),
	/* 185 */ ROW(185, 1, 0, 0, RSVD,     "RESERVED"),
	/* 186 */ ROW(186, 1, 0, 0, RSVD,     "RESERVED"),
	/* 187 */ ROW(187, 1, 0, 0, RSVD,     "RESERVED"),
	/* 188 */ ROW(188, 1, 0, 0, RSVD,     "RESERVED"),
	/* 189 */ ROW(189, 1, 0, 0, RSVD,     "RESERVED"),
	/* 190 */ ROW(190, 1, 0, 0, RSVD,     "RESERVED"),
	/* 191 */ ROW(191, 1, 0, 0, RSVD,     "RESERVED"),
	/* 192 */ ROW(192, 1, 0, 0, RSVD,     "RESERVED"),
	/* 193 */ ROW(193, 1, 0, 0, RSVD,     "RESERVED"),
	/* 194 */ ROW(194, 1, 0, 0, RSVD,     "RESERVED"),
	/* 195 */ ROW(195, 1, 0, 0, RSVD,     "RESERVED"),
	/* 196 */ ROW(196, 1, 0, 0, RSVD,     "RESERVED"),
	/* 197 */ ROW(197, 1, 0, 0, RSVD,     "RESERVED"),
	/* 198 */ ROW(198, 1, 0, 0, RSVD,     "RESERVED"),
	/* 199 */ ROW(199, 1, 0, 0, RSVD,     "RESERVED"),
	/* 200 */ ROW(200, 1, 0, 0, RSVD,     "RESERVED"),
	/* 201 */ ROW(201, 1, 0, 0, RSVD,     "RESERVED"),
	/* 202 */ ROW(202, 1, 0, 0, RSVD,     "RESERVED"),
	/* 203 */ ROW(203, 1, 0, 0, RSVD,     "RESERVED"),
	/* 204 */ ROW(204, 1, 0, 0, RSVD,     "RESERVED"),
	/* 205 */ ROW(205, 1, 0, 0, RSVD,     "RESERVED"),
	/* 206 */ ROW(206, 1, 0, 0, RSVD,     "RESERVED"),
	/* 207 */ ROW(207, 1, 0, 0, RSVD,     "RESERVED"),
	/* 208 */ ROW(208, 1, 0, 0, RSVD,     "RESERVED"),
	/* 209 */ ROW(209, 1, 0, 0, RSVD,     "RESERVED"),
	/* 210 */ ROW(210, 1, 0, 0, RSVD,     "RESERVED"),
	/* 211 */ ROW(211, 1, 0, 0, RSVD,     "RESERVED"),
	/* 212 */ ROW(212, 1, 0, 0, RSVD,     "RESERVED"),
	/* 213 */ ROW(213, 1, 0, 0, RSVD,     "RESERVED"),
	/* 214 */ ROW(214, 1, 0, 0, RSVD,     "RESERVED"),
	/* 215 */ ROW(215, 1, 0, 0, RSVD,     "RESERVED"),
	/* 216 */ ROW(216, 1, 0, 0, RSVD,     "RESERVED"),
	/* 217 */ ROW(217, 1, 0, 0, RSVD,     "RESERVED"),
	/* 218 */ ROW(218, 1, 0, 0, RSVD,     "RESERVED"),
	/* 219 */ ROW(219, 1, 0, 0, RSVD,     "RESERVED"),
	/* 220 */ ROW(220, 1, 0, 0, RSVD,     "RESERVED"),
	/* 221 */ ROW(221, 1, 0, 0, RSVD,     "RESERVED"),
	/* 222 */ ROW(222, 1, 0, 0, RSVD,     "RESERVED"),
	/* 223 */ ROW(223, 1, 0, 0, RSVD,     "RESERVED"),
	/* 224 */ ROW(224, 1, 1, 1, 0x1D,     "Left Control"),
	/* 225 */ ROW(225, 1, 1, 1, 0x2A,     "Left Shift"),
	/* 226 */ ROW(226, 1, 1, 1, 0x38,     "Left Alt"),
	/* 227 */ ROW(227, 1, 1, 1, 0xE05B,   "Left GUI"),
	/* 228 */ ROW(228, 1, 1, 1, 0xE01D,   "Right Control"),
	/* 229 */ ROW(229, 1, 1, 1, 0x36,     "Right Shift"),
	/* 230 */ ROW(230, 1, 1, 1, 0xE038,   "Right Alt"),
	/* 231 */ ROW(231, 1, 1, 1, 0xE05C,   "Right GUI"),
	/* 232 */ ROW(232, 1, 0, 0, RSVD,     "RESERVED"),
	/* 233 */ ROW(233, 1, 0, 0, RSVD,     "RESERVED"),
	/* 234 */ ROW(234, 1, 0, 0, RSVD,     "RESERVED"),
	/* 235 */ ROW(235, 1, 0, 0, RSVD,     "RESERVED"),
	/* 236 */ ROW(236, 1, 0, 0, RSVD,     "RESERVED"),
	/* 237 */ ROW(237, 1, 0, 0, RSVD,     "RESERVED"),
	/* 238 */ ROW(238, 1, 0, 0, RSVD,     "RESERVED"),
	/* 239 */ ROW(239, 1, 0, 0, RSVD,     "RESERVED"),
	/* 240 */ ROW(240, 1, 0, 0, RSVD,     "RESERVED"),
	/* 241 */ ROW(241, 1, 0, 0, RSVD,     "RESERVED"),
	/* 242 */ ROW(242, 1, 0, 0, RSVD,     "RESERVED"),
	/* 243 */ ROW(243, 1, 0, 0, RSVD,     "RESERVED"),
	/* 244 */ ROW(244, 1, 0, 0, RSVD,     "RESERVED"),
	/* 245 */ ROW(245, 1, 0, 0, RSVD,     "RESERVED"),
	/* 246 */ ROW(246, 1, 0, 0, RSVD,     "RESERVED"),
	/* 247 */ ROW(247, 1, 0, 0, RSVD,     "RESERVED"),
	/* 248 */ ROW(248, 1, 0, 0, RSVD,     "RESERVED"),
	/* 249 */ ROW(249, 1, 0, 0, RSVD,     "RESERVED"),
	/* 250 */ ROW(250, 1, 0, 0, RSVD,     "RESERVED"),
	/* 251 */ ROW(251, 1, 0, 0, RSVD,     "RESERVED"),
	/* 252 */ ROW(252, 1, 0, 0, RSVD,     "RESERVED"),
	/* 253 */ ROW(253, 1, 0, 0, RSVD,     "RESERVED"),
	/* 254 */ ROW(254, 1, 0, 0, RSVD,     "RESERVED"),
	/* 255 */ ROW(255, 1, 0, 0, RSVD,     "RESERVED"),
	/* 256 */ ROW(181, 1, 1, 0, 0xE019,   "Scan Next Track"),
	/* 257 */ ROW(182, 1, 1, 0, 0xE010,   "Scan Previous Track"),
	/* 258 */ ROW(183, 1, 1, 0, 0xE024,   "Stop"),
	/* 259 */ ROW(205, 1, 1, 0, 0xE022,   "Play / Pause"),
	/* 260 */ ROW(226, 1, 1, 0, 0xE020,   "Mute"),
	/* 261 */ ROW(229, 1, 0, 0, NONE,     "Bass Boost"),
	/* 262 */ ROW(231, 1, 0, 0, NONE,     "Loudness"),
	/* 263 */ ROW(233, 1, 1, 1, 0xE030,   "Volume Up"),
	/* 264 */ ROW(234, 1, 1, 1, 0xE02E,   "Volume Down"),
	/* 265 */ ROW(338, 2, 0, 0, NONE,     "Bass Up"),
	/* 266 */ ROW(339, 2, 0, 0, NONE,     "Bass Down"),
	/* 267 */ ROW(340, 2, 0, 0, NONE,     "Treble Up"),
	/* 268 */ ROW(341, 2, 0, 0, NONE,     "Treble Down"),
	/* 269 */ ROW(387, 2, 1, 0, 0xE06D,   "Media Select"),
	/* 270 */ ROW(394, 2, 1, 0, 0xE06C,   "Mail"),
	/* 271 */ ROW(402, 2, 1, 0, 0xE021,   "Calculator"),
	/* 272 */ ROW(404, 2, 1, 0, 0xE06B,   "My Computer"),
	/* 273 */ ROW(545, 2, 1, 0, 0xE065,   "WWW Search"),
	/* 274 */ ROW(547, 2, 1, 0, 0xE032,   "WWW Home"),
	/* 275 */ ROW(548, 2, 1, 0, 0xE06A,   "WWW Back"),
	/* 276 */ ROW(549, 2, 1, 0, 0xE069,   "WWW Forward"),
	/* 277 */ ROW(550, 2, 1, 0, 0xE068,   "WWW Stop"),
	/* 278 */ ROW(551, 2, 1, 0, 0xE067,   "WWW Refresh"),
	/* 279 */ ROW(554, 2, 1, 0, 0xE066,   "WWW Favorites"),
	/* 280 */ ROW(514, 2, 1, 0, 0xE05F,   "System Sleep"),
	/* 281 */ ROW(564, 2, 1, 0, 0xE012,   "Scroll Down"),
	/* 282 */ ROW(563, 2, 1, 0, 0xE00B,   "Scroll Up"),
	/* 283 */ ROW(540, 2, 1, 0, 0xE017,   "Cut"),
	/* 284 */ ROW(541, 2, 1, 0, 0xE00A,   "Paste"),
	/* 285 */ ROW(539, 2, 1, 0, 0xE018,   "Copy"),
	/* 286 */ ROW(769, 2, 1, 0, 0xE071,   "Fastap1"),
	/* 287 */ ROW(770, 2, 1, 0, 0xE02C,   "Fastap2"),
	/* 288 */ ROW(771, 2, 1, 0, 0xE072,   "Fastap3"),
	/* 289 */ ROW(633, 2, 1, 0, 0xE007,   "Redo"),
	/* 290 */ ROW(538, 2, 1, 0, 0xE008,   "Undo"),
	/* 291 */ ROW(516, 2, 1, 0, 0xE063,   "WakeUp"),
	/* 292 */ ROW(184, 1, 1, 0, 0xE070,   "CD Open"),
};

} // extern "C"

#undef ROW

// An initializer list that is one row short would be padded with zeros
// silently; pin both ends of the table.
static_assert(HID2PS2Table[0].ushUsage == 0 && HID2PS2Table[49].ushUsage == 50);
static_assert(HID2PS2Table[HID2PS2_ROWS - 1].ushUsage == 184 &&
	      HID2PS2Table[HID2PS2_ROWS - 1].ulSet1Code == 0xE070);

extern "C" {

int PS2ToHID(std::int32_t nSet1Code, std::uint16_t *pushUsage, std::uint16_t *pushUsageSize)
{
	const auto ulCode = static_cast<std::uint32_t>(nSet1Code);
	for (const HID2PS2Entry &row : HID2PS2Table) {
		if (row.ulSet1Code != ulCode)
			continue;
		if (pushUsage)
			*pushUsage = row.ushUsage;
		if (pushUsageSize)
			*pushUsageSize = row.ushUsageSize;
		return 1;
	}
	return 0;
}

int HID2Ps2(std::uint8_t uchUsage, std::uint32_t *pulSet1Code, std::int32_t *pbMakeBreak,
	    std::int32_t *pbTypematic)
{
	for (const HID2PS2Entry &row : HID2PS2Table) {
		if (row.ushUsage != uchUsage || row.ushUsageSize != 1)
			continue;
		// The first matching row answers, marker or not; its values are
		// handed out either way.
		if (pulSet1Code)
			*pulSet1Code = row.ulSet1Code;
		if (pbMakeBreak)
			*pbMakeBreak = row.bMakeBreak;
		if (pbTypematic)
			*pbTypematic = row.bTypematic;
		return IsMarker(row.ulSet1Code) ? 0 : 1;
	}
	return 0;
}

int HID2Ps2USHORT(std::uint16_t ushUsage, std::uint16_t ushUsageSize, std::uint32_t *pulSet1Code,
		  std::int32_t *pbMakeBreak, std::int32_t *pbTypematic)
{
	for (const HID2PS2Entry &row : HID2PS2Table) {
		if (row.ushUsage != ushUsage || row.ushUsageSize != ushUsageSize)
			continue;
		if (pulSet1Code)
			*pulSet1Code = row.ulSet1Code;
		// A marker row does not end the search: a consumer usage whose
		// keyboard-page row is reserved is found further down.
		if (IsMarker(row.ulSet1Code))
			continue;
		if (pbMakeBreak)
			*pbMakeBreak = row.bMakeBreak;
		if (pbTypematic)
			*pbTypematic = row.bTypematic;
		return 1;
	}
	return 0;
}

int GetKeyParams(std::uint16_t ushUsage, std::uint16_t /*ushUsageSize*/, std::int32_t *pbMakeBreak,
		 std::int32_t *pbTypematic)
{
	// The usage size takes no part in the match.
	for (const HID2PS2Entry &row : HID2PS2Table) {
		if (row.ushUsage != ushUsage)
			continue;
		if (pbMakeBreak)
			*pbMakeBreak = row.bMakeBreak;
		if (pbTypematic)
			*pbTypematic = row.bTypematic;
		return 1;
	}
	return 0;
}

} // extern "C"
