// A small polling program for the scenario tests: it knows nothing of the
// simulator and reaches the nodes with plain open/read/write, as hdrcfg and
// the library do. It sends one header configuration record, then polls both
// attachments and prints what arrives, for argv[1] cycles (0: until killed).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "status_records.h"

namespace {

int open_node(const char *path)
{
	int fd = open(path, O_RDWR);
	if (fd < 0)
		std::printf("open %s failed: %s\n", path, std::strerror(errno));
	return fd;
}

void dump(const char *what, const std::uint8_t *p, long n)
{
	std::printf("%s:", what);
	for (long i = 0; i < n; ++i)
		std::printf(" %02x", p[i]);
	std::printf("\n");
}

// Reads the announced track from its node and prints it.
void read_track(const char *prefix, int track, std::uint16_t len)
{
	if (len == 0 || len == TRACK_LEN_NO_DATA)
		return;
	char path[64], what[32];
	std::snprintf(path, sizeof path, "%s%d", prefix, track);
	std::snprintf(what, sizeof what, "%s track %d", prefix[5] == 'q' ? "ps2" : "usb", track);
	int fd = open_node(path);
	if (fd < 0)
		return;
	std::uint8_t buf[512];
	long r = read(fd, buf, len < sizeof buf ? len : sizeof buf);
	dump(what, buf, r);
	close(fd);
}

} // namespace

int main(int argc, char **argv)
{
	long cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1;
	int ps2 = open_node("/dev/qkbd_stat");
	int usbk = open_node("/dev/trvposusb_kbdstat");
	int usbm = open_node("/dev/trvposusb_msrstat");
	if (usbm >= 0) {
		const std::uint8_t rec[17] = {HEADER_CONFIG_COMMAND, 0x00, 0x1E, 0x02, 0x1F};
		std::printf("config write: %ld\n", static_cast<long>(write(usbm, rec, sizeof rec)));
	}
	std::fflush(stdout);
	std::uint8_t last_ps2_lock = 0;
	std::uint16_t last_usb_lock = 0;
	for (long c = 0; cycles == 0 || c < cycles; ++c) {
		Ps2StatusRecord p{};
		if (ps2 >= 0 && read(ps2, &p, sizeof p) == sizeof p) {
			if (p.uchKbdCount) {
				int fd = open_node("/dev/qkbd_keyboard");
				std::uint8_t buf[255];
				if (fd >= 0) {
					dump("ps2 keys", buf, read(fd, buf, p.uchKbdCount));
					close(fd);
				}
			}
			read_track("/dev/qkbd_msr", 1, p.ushTrack1Len);
			read_track("/dev/qkbd_msr", 2, p.ushTrack2Len);
			read_track("/dev/qkbd_msr", 3, p.ushTrack3Len);
			if (p.uchKeyLockPos != last_ps2_lock)
				std::printf("ps2 keylock %d\n", p.uchKeyLockPos);
			last_ps2_lock = p.uchKeyLockPos;
		}
		UsbKbdStatusRecord k{};
		if (usbk >= 0 && read(usbk, &k, sizeof k) == sizeof k && k.uchKbdCount) {
			int fd = open_node("/dev/trvposusb_keyboard");
			std::uint32_t buf[255];
			if (fd >= 0) {
				long r = read(fd, buf, 4u * k.uchKbdCount);
				std::printf("usb keys:");
				for (long i = 0; i < r / 4; ++i)
					std::printf(" %08x", buf[i]);
				std::printf("\n");
				close(fd);
			}
		}
		UsbMsrStatusRecord m{};
		if (usbm >= 0 && read(usbm, &m, sizeof m) == sizeof m) {
			read_track("/dev/trvposusb_msr", 1, m.ushTrack1Len);
			read_track("/dev/trvposusb_msr", 2, m.ushTrack2Len);
			read_track("/dev/trvposusb_msr", 3, m.ushTrack3Len);
			if (m.ushKeyLockPos != last_usb_lock)
				std::printf("usb keylock %d\n", m.ushKeyLockPos);
			last_usb_lock = m.ushKeyLockPos;
		}
		usleep(1000);
	}
	std::printf("done\n");
	return 0;
}
