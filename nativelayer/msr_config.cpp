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

#include "header_record.h"
#include "nativelayer.h"
#include "sessions.h"

namespace {

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
