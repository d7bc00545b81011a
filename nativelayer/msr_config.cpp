// MSR header configuration: tells the USB magnetic stripe reader which keys
// it sends as headers and trailers around its track data. The record written
// to the USB MSR status node is the caller's leading bytes (normally just the
// command byte 0x10) followed by the sixteen header bytes from trvpos.ini,
// 17 bytes at most:
//
//   0      command byte
//   1..16  modifier and key of GH, GT, H1, T1, H2, T2, H3, T3, in that order,
//          each the low byte of the one-byte HID usage of the set-1 code
//          configured in the file (0: no key)
#include <unistd.h>

#include <algorithm>

#include "hid2ps2.h"
#include "nativelayer.h"
#include "sessions.h"
#include "trvini.h"

namespace {

constexpr int HEADER_CONFIG_RECORD_SIZE = 17;
constexpr int HEADER_BYTES = 16;

// Sections in record order; each gives a modifier byte and a key byte.
constexpr const char *HEADER_SECTIONS[] = { "GH", "GT", "H1", "T1", "H2", "T2", "H3", "T3" };
constexpr const char *KEY_MODIFIER = "modifierflag";
constexpr const char *KEY_SET1CODE = "set1code";
static_assert(sizeof(HEADER_SECTIONS) / sizeof(HEADER_SECTIONS[0]) * 2 == HEADER_BYTES);

// Builds the header configuration record from the leading bytes and the
// header bytes of trvpos.ini, 17 bytes at most. Returns its length; 0 (no
// record) without leading bytes.
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

// Writes a record in one write call; 1 when it was taken whole.
int WriteRecord(int fd, const std::uint8_t *record, int n)
{
	const ssize_t nWritten = write(fd, record, static_cast<std::size_t>(n));
	return nWritten == n ? 1 : 0;
}

// The last record writeMSRConfig wrote whole, sent again to a USB MSR status
// node that comes back after a replug. Guarded by g_MsrSessionLock.
std::uint8_t g_rguchLastHeaderRecord[HEADER_CONFIG_RECORD_SIZE];
int g_nLastHeaderRecordLength = 0;

} // namespace

void ResendMSRConfiguration(int fd)
{
	if (g_nLastHeaderRecordLength > 0)
		(void)WriteRecord(fd, g_rguchLastHeaderRecord, g_nLastHeaderRecordLength);
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
	for (int k = 0; k < HEADER_BYTES / 2; ++k) {
		values[2 * k] = parseini(HEADER_SECTIONS[k], KEY_MODIFIER);
		values[2 * k + 1] = parseini(HEADER_SECTIONS[k], KEY_SET1CODE);
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


// Writes the header configuration record (leading bytes, then the header
// bytes, 17 at most) to fd in one write call. Returns 1 when the whole
// record was written, 0 otherwise (nothing written without leading bytes).
int WriteMSRConfigurationUSB(int fd, const std::uint8_t *data, int length)
{
	std::uint8_t record[HEADER_CONFIG_RECORD_SIZE] = {};
	const int n = BuildHeaderConfigRecord(data, length, record);
	return n > 0 ? WriteRecord(fd, record, n) : 0;
}

// Writes the header configuration record to the USB MSR status node that the
// polling engine opened. Returns 1 when the whole record was written, 0 for
// no leading bytes, a node not open, or a failed or short write. The record
// (and with it trvpos.ini) is read first; only the load of the descriptor and
// the write run under the MSR session lock, so that a restart of polling
// cannot close the descriptor in between.
int WriteMSRConfiguration(const std::uint8_t *data, int length)
{
	if (data == nullptr || length <= 0 || g_DeviceChannels.fdUsbMsrStat.load() <= 0)
		return 0;
	std::uint8_t record[HEADER_CONFIG_RECORD_SIZE] = {};
	const int n = BuildHeaderConfigRecord(data, length, record);
	if (n == 0)
		return 0;
	std::lock_guard session(g_MsrSessionLock);
	const std::int32_t fd = g_DeviceChannels.fdUsbMsrStat.load();
	if (fd <= 0 || WriteRecord(fd, record, n) != 1)
		return 0;
	std::copy_n(record, n, g_rguchLastHeaderRecord);
	g_nLastHeaderRecordLength = n;
	return 1;
}

// writeMSRConfig(unused, leading bytes): 0 when the record was written whole,
// -1 otherwise (null or empty array, elements unavailable, node not open,
// failed or short write).
JNIEXPORT jint JNICALL TRV_JNI(writeMSRConfig)(JNIEnv *env, jobject, jint, jbyteArray leading)
{
	if (env == nullptr || leading == nullptr)
		return -1;

	const jsize nLength = env->GetArrayLength(leading);
	jbyte *pElements = env->GetByteArrayElements(leading, nullptr);
	if (pElements == nullptr) {
		if (env->ExceptionCheck())
			env->ExceptionClear();
		return -1;
	}

	const int nWritten = WriteMSRConfiguration(reinterpret_cast<const std::uint8_t *>(pElements), nLength);
	env->ReleaseByteArrayElements(leading, pElements, 0);
	return nWritten != 0 ? 0 : -1;
}

} // extern "C"
