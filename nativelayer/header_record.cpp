// Building the library's HeaderConfigRecord from trvpos.ini (library build
// of the reader). Kept free of JNI and of the session state, so that
// tarvel-pos-check builds the very bytes that writeMSRConfig sends.
#include "header_record.h"

#include "hid2ps2.h"
#include "trvini.h"

int BuildHeaderConfigRecord(const std::uint8_t *data, int length,
			    std::uint8_t (&record)[HEADER_CONFIG_RECORD_SIZE])
{
	std::uint8_t header[HEADER_BYTES] = {};
	int n = 0;

	if (data != nullptr && length != 0) {
		while (n < length && n < HEADER_CONFIG_RECORD_SIZE) {
			record[n] = data[n];
			++n;
		}
	}

	if (ReadHeaderConfiguration(header, HEADER_BYTES) != 0) {
		for (int i = 0; i < HEADER_BYTES && n < HEADER_CONFIG_RECORD_SIZE; ++i)
			record[n++] = header[i];
	}

	return data == nullptr ? 0 : n;
}

extern "C" {

// Fills header[0..15] from the configuration file: for each configured value
// other than 0 whose key table row has a one-byte usage, the usage. Other
// bytes are left as the caller cleared them. A value the file lacks reads as
// -1, which the key table carries as its "no code" marker (usage 0x03).
// Returns 1 when it has filled the buffer, 0 for no buffer or one too small.
int ReadHeaderConfiguration(std::uint8_t *header, std::uint8_t capacity)
{
	if (header == nullptr || capacity < HEADER_BYTES)
		return 0;

	std::int32_t values[HEADER_BYTES];
	for (int k = 0; k < HEADER_SECTION_COUNT; ++k) {
		values[2 * k] = parseini(HEADER_SECTIONS[k], HEADER_KEY_MODIFIER);
		values[2 * k + 1] = parseini(HEADER_SECTIONS[k], HEADER_KEY_SET1CODE);
	}

	for (int i = 0; i < HEADER_BYTES; ++i) {
		if (values[i] == 0)
			continue;
		std::uint16_t ushUsage = 0;
		std::uint16_t ushUsageSize = 0;
		if (PS2ToHID(values[i], &ushUsage, &ushUsageSize) != 0 && ushUsageSize == 1)
			header[i] = static_cast<std::uint8_t>(ushUsage & 0xFF);
	}
	return 1;
}

} // extern "C"
