// The HeaderConfigRecord that the USB MSR status node accepts (17 bytes):
//
//   0      command byte (0x10)
//   1..16  modifier and key of GH, GT, H1, T1, H2, T2, H3, T3, in that order
//
// and the two ways it is built: by the library (writeMSRConfig: leading bytes
// from Java, then the header bytes as one-byte HID usages from the library
// build of the reader) and by hdrcfg (the command byte, then the low byte of
// each value of the tool build of the reader). Shared by libnativelayer.so,
// hdrcfg and tarvel-pos-check, so that all three agree on the layout.
#pragma once

#include <cstdint>

#include "status_records.h"

inline constexpr int HEADER_CONFIG_RECORD_SIZE = sizeof(HeaderConfigRecord);
inline constexpr int HEADER_BYTES = sizeof(HeaderConfigRecord::rguchHeader);

// Sections in record order; each gives a modifier byte and a key byte.
inline constexpr const char *HEADER_SECTIONS[] = { "GH", "GT", "H1", "T1",
						   "H2", "T2", "H3", "T3" };
inline constexpr int HEADER_SECTION_COUNT = sizeof(HEADER_SECTIONS) / sizeof(HEADER_SECTIONS[0]);
inline constexpr const char *HEADER_KEY_MODIFIER = "modifierflag";
inline constexpr const char *HEADER_KEY_SET1CODE = "set1code";
static_assert(HEADER_SECTION_COUNT * 2 == HEADER_BYTES);
static_assert(1 + HEADER_BYTES == HEADER_CONFIG_RECORD_SIZE);

extern "C" int ReadHeaderConfiguration(std::uint8_t *header, std::uint8_t capacity);

// The library's record: the leading bytes, then the header bytes of
// trvpos.ini, 17 bytes at most. Returns its length; 0 (no record) without
// leading bytes.
int BuildHeaderConfigRecord(const std::uint8_t *data, int length,
			    std::uint8_t (&record)[HEADER_CONFIG_RECORD_SIZE]);

// hdrcfg's record: the command byte, then for pair i (section i/2, the
// modifier key for even i, set1code for odd i) the low byte of
// read(section, key), the tool build's parseini or what stands for it.
template <class Read>
void BuildToolHeaderRecord(Read read, std::uint8_t (&record)[HEADER_CONFIG_RECORD_SIZE])
{
	record[0] = HEADER_CONFIG_COMMAND;
	for (int k = 0; k < HEADER_SECTION_COUNT; ++k) {
		record[1 + 2 * k] = static_cast<std::uint8_t>(read(HEADER_SECTIONS[k], HEADER_KEY_MODIFIER));
		record[2 + 2 * k] = static_cast<std::uint8_t>(read(HEADER_SECTIONS[k], HEADER_KEY_SET1CODE));
	}
}
