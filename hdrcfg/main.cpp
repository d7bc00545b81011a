// hdrcfg: writes the MSR header configuration from trvpos.ini to the USB MSR
// status node, then watches the USB MSR forever and prints the length and a
// hex dump of every track the reader delivers.
//
// Output goes to standard output, one line at a time (line-buffered through a
// static buffer, so that a pipe or a supervisor sees each line as it happens);
// its lines keep fixed formats, for scripts. Why a node failed (the node and
// the strerror text) goes to standard error. The tool takes no arguments: any
// argument gets a usage line and exit status 2, and nothing is written.
// Nothing is allocated on the heap: the record, the status lengths and the
// track buffer are fixed-size static storage.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "header_record.h"
#include "trvini.h"

extern "C" int WriteHeaderConfiguration(void);

namespace {

constexpr const char *USB_MSR_STATUS_NODE = "/dev/trvposusb_msrstat";
constexpr std::array<const char *, 3> USB_MSR_TRACK_NODES = {
	"/dev/trvposusb_msr1", "/dev/trvposusb_msr2", "/dev/trvposusb_msr3"
};

// Exit status for a command line the tool does not take.
constexpr int EXIT_USAGE = 2;

// The watch loop reads the three track lengths of the USB MSR status record
// (its first six bytes) and takes them as signed 16-bit numbers.
constexpr std::size_t TRACK_COUNT = 3;
// At most this many bytes of one track are read and dumped.
constexpr std::size_t TRACK_BUFFER_SIZE = 512;
// Pause after a status read that reported anything but 0 bytes.
constexpr long STATUS_PAUSE_NSEC = 100'000'000L;

// Line buffer for standard output; static so that stdio allocates none.
char g_rgchStdoutBuffer[BUFSIZ];
// Shared by the three tracks.
std::array<std::uint8_t, TRACK_BUFFER_SIZE> g_puchTrackData;

// Open a device node for reading and writing; retry when interrupted. A
// failure is told on standard error with the node and the reason.
int opennode(const char *path)
{
	int fd;
	do
		fd = open(path, O_RDWR);
	while (fd < 0 && errno == EINTR);
	if (fd < 0)
		std::fprintf(stderr, "hdrcfg: open %s: %s\n", path, std::strerror(errno));
	return fd;
}

// Sleep the status pause, resuming after an interruption.
void statuspause()
{
	timespec ts{ 0, STATUS_PAUSE_NSEC };
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
	}
}

// Read one track of nLength bytes (nLength > 0) from its node and print it as
// "MsrN <count> bytes : " followed by "%x " per byte and a line end. A length
// above the buffer is cut to the buffer; bytes the read did not deliver show
// as 0, never as what an earlier track left in the buffer.
void dumptrack(std::size_t nTrack, std::int16_t nLength)
{
	const std::size_t nCount =
		std::min(static_cast<std::size_t>(nLength), g_puchTrackData.size());
	const int fd = opennode(USB_MSR_TRACK_NODES[nTrack]);
	ssize_t nRead = -1;
	if (fd >= 0) {
		do
			nRead = read(fd, g_puchTrackData.data(), nCount);
		while (nRead < 0 && errno == EINTR);
	}
	const std::size_t nDelivered = nRead > 0 ? static_cast<std::size_t>(nRead) : 0;
	if (nDelivered < nCount)
		std::memset(g_puchTrackData.data() + nDelivered, 0, nCount - nDelivered);

	std::printf("Msr%zu %zx bytes : ", nTrack + 1, nCount);
	for (std::size_t i = 0; i < nCount; ++i)
		std::printf("%x ", static_cast<unsigned>(g_puchTrackData[i]));
	std::printf("\n");
	if (fd >= 0)
		close(fd);
}

// Watch the USB MSR through the open status node fd; never returns.
[[noreturn]] void watch(int fd)
{
	std::array<std::int16_t, TRACK_COUNT> rgshTrackLen{};
	static_assert(sizeof(rgshTrackLen) == 6);
	for (;;) {
		// A short read changes only the bytes that arrived, a failed
		// read changes nothing.
		const ssize_t nStatus = read(fd, rgshTrackLen.data(), sizeof(rgshTrackLen));
		if (nStatus != 0)
			statuspause();
		for (std::size_t t = 0; t < TRACK_COUNT; ++t) {
			if (rgshTrackLen[t] > 0) {
				dumptrack(t, rgshTrackLen[t]);
				rgshTrackLen[t] = 0;
			}
		}
	}
}

} // namespace

// Build the HeaderConfigRecord from trvpos.ini (each byte the low byte of what
// the reader returns), print each pair and write the record to the USB MSR
// status node in one call. Returns 1 when the node took the whole record, 0
// when it did not open or the write fell short.
extern "C" int WriteHeaderConfiguration(void)
{
	std::printf("(WriteHeaderConfiguration) entering\n");

	std::uint8_t rguchRecord[HEADER_CONFIG_RECORD_SIZE] = {};
	BuildToolHeaderRecord(parseini, rguchRecord);
	for (int k = 0; k < HEADER_SECTION_COUNT; ++k)
		std::printf("%s mod = %x code = %x\n", HEADER_SECTIONS[k],
			    static_cast<unsigned>(rguchRecord[1 + 2 * k]),
			    static_cast<unsigned>(rguchRecord[2 + 2 * k]));

	int bReturn = 0;
	const int fd = opennode(USB_MSR_STATUS_NODE);
	if (fd < 0) {
		std::printf("Status open failed\n");
	} else {
		ssize_t nWritten;
		do
			nWritten = write(fd, rguchRecord, sizeof(rguchRecord));
		while (nWritten < 0 && errno == EINTR);
		bReturn = nWritten == static_cast<ssize_t>(sizeof(rguchRecord)) ? 1 : 0;
		if (nWritten < 0)
			std::fprintf(stderr, "hdrcfg: write %s: %s\n", USB_MSR_STATUS_NODE,
				     std::strerror(errno));
		else if (bReturn == 0)
			std::fprintf(stderr, "hdrcfg: write %s: %zd of %zu bytes taken\n",
				     USB_MSR_STATUS_NODE, nWritten, sizeof(rguchRecord));
		close(fd);
	}

	std::printf("(WriteHeaderConfiguration) leaving, bReturn=0x%02X!\n",
		    static_cast<unsigned>(bReturn));
	return bReturn;
}

int main(int argc, char **)
{
	if (argc > 1) {
		// Never act on an argument: a user asking for help must not
		// reconfigure the reader.
		std::fprintf(stderr, "usage: hdrcfg (no arguments; see hdrcfg(1))\n");
		return EXIT_USAGE;
	}
	std::setvbuf(stdout, g_rgchStdoutBuffer, _IOLBF, sizeof(g_rgchStdoutBuffer));

	WriteHeaderConfiguration();

	const int fd = opennode(USB_MSR_STATUS_NODE);
	if (fd < 0) {
		std::printf("Status open failed\n");
		return 1;
	}
	watch(fd);
}
