// The driver model: status records derived from the queues, what each data
// node delivers, recorded writes, faults and counters.
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "sim_test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kTrack1[] = {'%', 'B', '4', '1', '?'};
const std::uint8_t kTrack2[] = {';', '1', '2', '3', '4', '=', '?'};

TEST_F(SimTest, StatusRecordsFollowWhatIsQueued)
{
	struct Case {
		const char *name;
		std::function<void()> act;
		Ps2StatusRecord ps2;
		UsbKbdStatusRecord usb_kbd;
		UsbMsrStatusRecord usb_msr;
	};
	std::vector<std::uint32_t> many(300, 0x1E);
	std::vector<std::uint8_t> many_bytes(400, 0x1E);
	const Case cases[] = {
		{"idle", [] {}, {}, {}, {}},
		{"ps2 keys", [] { const std::uint8_t k[] = {0x1E, 0x9E, 0x30}; trvsim_ps2_type(k, 3); },
		 {0, 3, 0, 0, 0, 0}, {}, {}},
		{"ps2 keys capped", [&] { trvsim_ps2_type(many_bytes.data(), many_bytes.size()); },
		 {0, 255, 0, 0, 0, 0}, {}, {}},
		{"usb entries", [] { const std::uint32_t e[] = {0x1E, 0x30}; trvsim_usb_type(e, 2); },
		 {}, {0, 2}, {}},
		{"usb entries capped", [&] { trvsim_usb_type(many.data(), many.size()); },
		 {}, {0, 255}, {}},
		{"keylocks", [] { trvsim_set_keylock(TRVSIM_PS2, 0x0102); trvsim_set_keylock(TRVSIM_USB, 0x0304); },
		 {0x02, 0, 0, 0, 0, 0}, {}, {0, 0, 0, 0x0304}},
		{"usb swipe", [] {
			 trvsim_swipe_track(TRVSIM_USB, 1, kTrack1, sizeof kTrack1);
			 trvsim_swipe_track(TRVSIM_USB, 3, kTrack2, sizeof kTrack2);
		 }, {}, {}, {5, 0, 7, 0}},
		{"ps2 swipe", [] { trvsim_swipe_track(TRVSIM_PS2, 2, kTrack2, sizeof kTrack2); },
		 {0, 0, 0, 7, 0, 0}, {}, {}},
		{"front swipe announced", [] {
			 trvsim_swipe_track(TRVSIM_USB, 2, kTrack1, sizeof kTrack1);
			 trvsim_swipe_track(TRVSIM_USB, 2, kTrack2, sizeof kTrack2);
		 }, {}, {}, {0, 5, 0, 0}},
		{"empty swipe not queued", [] { trvsim_swipe_track(TRVSIM_USB, 1, kTrack1, 0); },
		 {}, {}, {}},
		{"forced length", [] {
			 trvsim_swipe_track(TRVSIM_USB, 1, kTrack1, sizeof kTrack1);
			 trvsim_force_track_len(TRVSIM_USB, 1, 0xFFFF);
			 trvsim_force_track_len(TRVSIM_PS2, 3, 0xFFFF);
		 }, {0, 0, 0, 0, 0xFFFF, 0}, {}, {0xFFFF, 0, 0, 0}},
		{"forced length cleared", [] {
			 trvsim_swipe_track(TRVSIM_USB, 1, kTrack1, sizeof kTrack1);
			 trvsim_force_track_len(TRVSIM_USB, 1, 0xFFFF);
			 trvsim_clear_track_len(TRVSIM_USB, 1);
		 }, {}, {}, {5, 0, 0, 0}},
	};
	int ps2 = Open(TRVSIM_PS2_STAT);
	int kbd = Open(TRVSIM_USB_KBDSTAT);
	int msr = Open(TRVSIM_USB_MSRSTAT);
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		trvsim_reset();
		c.act();
		auto p = ReadRecord<Ps2StatusRecord>(ps2);
		auto k = ReadRecord<UsbKbdStatusRecord>(kbd);
		auto m = ReadRecord<UsbMsrStatusRecord>(msr);
		EXPECT_EQ(0, std::memcmp(&p, &c.ps2, sizeof p));
		EXPECT_EQ(k.uchKbdCount, c.usb_kbd.uchKbdCount);
		EXPECT_EQ(0, std::memcmp(&m, &c.usb_msr, sizeof m));
		// Reading a status does not consume anything.
		auto m2 = ReadRecord<UsbMsrStatusRecord>(msr);
		EXPECT_EQ(0, std::memcmp(&m, &m2, sizeof m));
	}
}

TEST_F(SimTest, StatusReadOfPartOfTheRecordDeliversItsStart)
{
	// hdrcfg reads only the three track lengths (6 bytes).
	trvsim_swipe_track(TRVSIM_USB, 2, kTrack2, sizeof kTrack2);
	trvsim_set_keylock(TRVSIM_USB, 9);
	int msr = Open(TRVSIM_USB_MSRSTAT);
	std::uint16_t lens[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
	ASSERT_EQ(::read(msr, lens, 6), 6);
	EXPECT_EQ(lens[0], 0);
	EXPECT_EQ(lens[1], 7);
	EXPECT_EQ(lens[2], 0);
	EXPECT_EQ(lens[3], 0xAAAA);
	// Asking for more than the record gives the record.
	EXPECT_EQ(Read(msr, 64).size(), sizeof(UsbMsrStatusRecord));
}

TEST_F(SimTest, KeyboardNodesDeliverQueuedDataInOrder)
{
	const std::uint8_t keys[] = {0x1E, 0x9E, 0x30, 0xB0, 0x2E};
	trvsim_ps2_type(keys, sizeof keys);
	int ps2 = Open(TRVSIM_PS2_KEYBOARD);
	EXPECT_EQ(Read(ps2, 2), Bytes({0x1E, 0x9E}));
	EXPECT_EQ(trvsim_queued(TRVSIM_PS2_KEYBOARD), 3u);
	EXPECT_EQ(Read(ps2, 100), Bytes({0x30, 0xB0, 0x2E}));
	ssize_t r = -7;
	EXPECT_TRUE(Read(ps2, 10, &r).empty());
	EXPECT_EQ(r, 0) << "an empty queue answers at once with 0";

	const std::uint32_t entries[] = {0x0000001E, 0x0100E01C, 0xDEADBEEF};
	trvsim_usb_type(entries, 3);
	int usb = Open(TRVSIM_USB_KEYBOARD);
	std::uint32_t got[3] = {};
	// Only whole entries: 7 bytes asked, one entry delivered.
	EXPECT_EQ(::read(usb, got, 7), 4);
	EXPECT_EQ(got[0], entries[0]);
	EXPECT_EQ(::read(usb, got, 3), 0);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 2u);
	EXPECT_EQ(::read(usb, got, sizeof got), 8);
	EXPECT_EQ(got[0], entries[1]);
	EXPECT_EQ(got[1], entries[2]);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 0u);
}

TEST_F(SimTest, TrackNodesHandOutOneSwipeAtATime)
{
	int msr = Open(TRVSIM_USB_MSRSTAT);
	int t2 = Open(TRVSIM_USB_MSR2);
	trvsim_swipe_track(TRVSIM_USB, 2, kTrack2, sizeof kTrack2);
	trvsim_swipe_track(TRVSIM_USB, 2, kTrack1, sizeof kTrack1);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_MSR2), sizeof kTrack2 + sizeof kTrack1);

	// A read that can take nothing leaves the track announced.
	trvsim_short_reads(TRVSIM_USB_MSR2, 0);
	ssize_t r = -7;
	Read(t2, 255, &r);
	EXPECT_EQ(r, 0);
	EXPECT_EQ(ReadRecord<UsbMsrStatusRecord>(msr).ushTrack2Len, sizeof kTrack2);
	trvsim_short_reads(TRVSIM_USB_MSR2, SIZE_MAX);

	// A read of fewer bytes than announced still consumes the whole track.
	EXPECT_EQ(Read(t2, 3), Bytes(kTrack2, kTrack2 + 3));
	EXPECT_EQ(ReadRecord<UsbMsrStatusRecord>(msr).ushTrack2Len, sizeof kTrack1);
	EXPECT_EQ(Read(t2, 255), Bytes(kTrack1, kTrack1 + sizeof kTrack1));
	EXPECT_EQ(ReadRecord<UsbMsrStatusRecord>(msr).ushTrack2Len, 0);
	r = -7;
	Read(t2, 255, &r);
	EXPECT_EQ(r, 0);

	// The PS/2 tracks are a separate queue.
	trvsim_swipe_track(TRVSIM_PS2, 1, kTrack1, sizeof kTrack1);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_MSR1), 0u);
	int p1 = Open(TRVSIM_PS2_MSR1);
	EXPECT_EQ(Read(p1, 512), Bytes(kTrack1, kTrack1 + sizeof kTrack1));
}

TEST_F(SimTest, KeylockNodesDeliverThePositionOnEveryRead)
{
	trvsim_set_keylock(TRVSIM_USB, 0x0203);
	trvsim_set_keylock(TRVSIM_PS2, 2);
	int usb = Open(TRVSIM_USB_KEYLOCK);
	int ps2 = Open(TRVSIM_PS2_KEYLOCK);
	for (int i = 0; i < 2; ++i) {
		EXPECT_EQ(Read(usb, 1), Bytes({0x03}));
		EXPECT_EQ(Read(ps2, 4), Bytes({0x02}));
	}
	trvsim_set_keylock(TRVSIM_USB, 0);
	EXPECT_EQ(Read(usb, 1), Bytes({0x00}));
}

TEST_F(SimTest, WritesAreRecordedPerNode)
{
	Bytes table(385, 0);
	table[0x1E] = 1;
	Bytes usb_table(1024, 0xAB);
	const Bytes header = {0x10, 0, 0x1E, 0, 0x1F};
	int ps2 = Open(TRVSIM_PS2_KEYBOARD);
	int usb = Open(TRVSIM_USB_KEYBOARD);
	int msr = Open(TRVSIM_USB_MSRSTAT);
	EXPECT_EQ(::write(ps2, table.data(), table.size()), 385);
	EXPECT_EQ(::write(usb, usb_table.data(), usb_table.size()), 1024);
	EXPECT_EQ(::write(msr, header.data(), header.size()), 5);
	table[0x1E] = 0;
	EXPECT_EQ(::write(ps2, table.data(), table.size()), 385);

	EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_KEYBOARD), 2);
	EXPECT_EQ(trvsim_write_count(TRVSIM_USB_KEYBOARD), 1);
	EXPECT_EQ(trvsim_write_count(TRVSIM_USB_MSRSTAT), 1);
	EXPECT_EQ(trvsim_write_count(TRVSIM_PS2_STAT), 0);

	Bytes got(400);
	EXPECT_EQ(trvsim_written(TRVSIM_PS2_KEYBOARD, 0, got.data(), got.size()), 385);
	EXPECT_EQ(got[0x1E], 1);
	EXPECT_EQ(trvsim_written(TRVSIM_PS2_KEYBOARD, -1, got.data(), got.size()), 385);
	EXPECT_EQ(got[0x1E], 0);
	EXPECT_EQ(trvsim_written(TRVSIM_PS2_KEYBOARD, 2, got.data(), got.size()), -1);
	EXPECT_EQ(trvsim_written(TRVSIM_PS2_KEYBOARD, -3, got.data(), got.size()), -1);

	// A small buffer gets the start; the full length is still reported.
	std::uint8_t small[3] = {};
	EXPECT_EQ(trvsim_written(TRVSIM_USB_MSRSTAT, 0, small, sizeof small), 5);
	EXPECT_EQ(Bytes(small, small + 3), Bytes(header.begin(), header.begin() + 3));
	EXPECT_EQ(trvsim_written(TRVSIM_USB_KEYBOARD, 0, nullptr, 0), 1024);
}

TEST_F(SimTest, OpenFaultsAndPresence)
{
	struct Case {
		const char *name;
		std::function<void()> act;
		int node;
		int expected_errno; // 0: the open succeeds
	};
	const Case cases[] = {
		{"present", [] {}, TRVSIM_USB_MSRSTAT, 0},
		{"absent", [] { trvsim_set_present(TRVSIM_USB_MSRSTAT, 0); }, TRVSIM_USB_MSRSTAT, ENOENT},
		{"absent others unaffected", [] { trvsim_set_present(TRVSIM_USB_MSRSTAT, 0); },
		 TRVSIM_USB_MSR1, 0},
		{"all absent", [] { trvsim_set_all_present(0); }, TRVSIM_PS2_STAT, ENOENT},
		{"all absent then one back",
		 [] { trvsim_set_all_present(0); trvsim_set_present(TRVSIM_PS2_STAT, 1); },
		 TRVSIM_PS2_STAT, 0},
		{"open fails", [] { trvsim_fail_open(TRVSIM_PS2_KEYLOCK, 1); }, TRVSIM_PS2_KEYLOCK, EIO},
		{"open fails no more",
		 [] { trvsim_fail_open(TRVSIM_PS2_KEYLOCK, 1); trvsim_fail_open(TRVSIM_PS2_KEYLOCK, 0); },
		 TRVSIM_PS2_KEYLOCK, 0},
		{"absence wins over failure",
		 [] { trvsim_fail_open(TRVSIM_USB_MSR3, 1); trvsim_set_present(TRVSIM_USB_MSR3, 0); },
		 TRVSIM_USB_MSR3, ENOENT},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		trvsim_reset();
		c.act();
		errno = 0;
		int fd = ::open(trvsim_node_path(c.node), O_RDWR);
		if (c.expected_errno == 0) {
			EXPECT_GT(fd, 0);
			EXPECT_EQ(trvsim_open_descriptors(c.node), 1);
			EXPECT_EQ(::close(fd), 0);
		} else {
			EXPECT_EQ(fd, -1);
			EXPECT_EQ(errno, c.expected_errno);
		}
		EXPECT_EQ(trvsim_open_descriptors(-1), 0);
	}
}

// An unplugged node: absent for opens, its open descriptors dead for good
// (also once it is back), its data kept; a new open after it is back works.
// A read of a node descriptor after its close is counted.
TEST_F(SimTest, UnpluggedNodeKillsItsDescriptorsUntilReopened)
{
	const std::uint32_t keys[] = {7, 8};
	int old = Open(TRVSIM_USB_KEYBOARD);
	int stat = Open(TRVSIM_USB_MSRSTAT);
	trvsim_usb_type(keys, 2);
	std::uint8_t buf[8];
	trvsim_unplug(TRVSIM_USB_KEYBOARD, 1);
	errno = 0;
	EXPECT_EQ(::open(trvsim_node_path(TRVSIM_USB_KEYBOARD), O_RDWR), -1);
	EXPECT_EQ(errno, ENOENT);
	for (int on : {1, 0}) {
		trvsim_unplug(TRVSIM_USB_KEYBOARD, on);
		errno = 0;
		EXPECT_EQ(::read(old, buf, sizeof buf), -1);
		EXPECT_EQ(errno, ENODEV);
		EXPECT_EQ(::write(old, buf, 4), -1);
	}
	EXPECT_EQ(Read(stat, 8).size(), 8u) << "other nodes are unaffected";
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 2u);
	EXPECT_EQ(trvsim_open_descriptors(TRVSIM_USB_KEYBOARD), 1);
	Close(old);
	int fresh = Open(TRVSIM_USB_KEYBOARD);
	EXPECT_EQ(Read(fresh, 8).size(), 8u);

	const long uses = trvsim_closed_uses();
	Close(fresh);
	EXPECT_EQ(::read(fresh, buf, sizeof buf), -1);
	EXPECT_EQ(trvsim_closed_uses(), uses + 1);
}

TEST_F(SimTest, ReadFaults)
{
	const std::uint8_t keys[] = {1, 2, 3, 4, 5, 6};
	int kbd = Open(TRVSIM_PS2_KEYBOARD);
	int stat = Open(TRVSIM_PS2_STAT);
	int msr = Open(TRVSIM_USB_MSRSTAT);
	trvsim_ps2_type(keys, sizeof keys);

	// Two failing reads, then the data is still there.
	trvsim_fail_reads(TRVSIM_PS2_KEYBOARD, 2);
	for (int i = 0; i < 2; ++i) {
		errno = 0;
		ssize_t r = 0;
		Read(kbd, 6, &r);
		EXPECT_EQ(r, -1);
		EXPECT_EQ(errno, EIO);
	}
	EXPECT_EQ(Read(kbd, 2), Bytes({1, 2}));

	// Short reads cap every read.
	trvsim_short_reads(TRVSIM_PS2_KEYBOARD, 1);
	EXPECT_EQ(Read(kbd, 6), Bytes({3}));
	trvsim_short_reads(TRVSIM_PS2_KEYBOARD, SIZE_MAX);
	EXPECT_EQ(Read(kbd, 6), Bytes({4, 5, 6}));

	// A short status read: the product must see 9 bytes of 10.
	trvsim_short_reads(TRVSIM_PS2_STAT, 9);
	EXPECT_EQ(Read(stat, 10).size(), 9u);

	// Failing for good, until cleared.
	trvsim_fail_reads(TRVSIM_USB_MSRSTAT, -1);
	for (int i = 0; i < 5; ++i) {
		ssize_t r = 0;
		Read(msr, 8, &r);
		EXPECT_EQ(r, -1);
	}
	trvsim_fail_reads(TRVSIM_USB_MSRSTAT, 0);
	EXPECT_EQ(Read(msr, 8).size(), 8u);
}

TEST_F(SimTest, RawStatusReplacesTheRecordForSomeReads)
{
	const std::uint8_t raw[] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
	int stat = Open(TRVSIM_PS2_STAT);
	trvsim_set_keylock(TRVSIM_PS2, 3);
	trvsim_raw_status(TRVSIM_PS2_STAT, raw, sizeof raw, 2);
	EXPECT_EQ(Read(stat, 10), Bytes(raw, raw + 9));
	EXPECT_EQ(Read(stat, 10), Bytes(raw, raw + 9));
	EXPECT_EQ(ReadRecord<Ps2StatusRecord>(stat).uchKeyLockPos, 3);

	// Longer than the record: the reader gets what it asked for.
	std::uint8_t longer[20];
	std::memset(longer, 0x55, sizeof longer);
	trvsim_raw_status(TRVSIM_PS2_STAT, longer, sizeof longer, -1);
	for (int i = 0; i < 3; ++i)
		EXPECT_EQ(Read(stat, 10), Bytes(10, 0x55));
	EXPECT_EQ(Read(stat, 64).size(), 20u);
	// An empty raw status reads as 0 bytes.
	trvsim_raw_status(TRVSIM_PS2_STAT, nullptr, 0, 1);
	ssize_t r = -1;
	Read(stat, 10, &r);
	EXPECT_EQ(r, 0);
}

TEST_F(SimTest, ShortWritesAcceptOnlyPartAndRecordIt)
{
	Bytes table(1024, 1);
	int usb = Open(TRVSIM_USB_KEYBOARD);
	trvsim_short_writes(TRVSIM_USB_KEYBOARD, 1000);
	EXPECT_EQ(::write(usb, table.data(), table.size()), 1000);
	EXPECT_EQ(trvsim_written(TRVSIM_USB_KEYBOARD, -1, nullptr, 0), 1000);
	trvsim_short_writes(TRVSIM_USB_KEYBOARD, SIZE_MAX);
	EXPECT_EQ(::write(usb, table.data(), table.size()), 1024);
}

TEST_F(SimTest, AccessModeOfTheDescriptorIsHonoured)
{
	int ro = Open(TRVSIM_USB_MSRSTAT, O_RDONLY);
	int wo = Open(TRVSIM_USB_MSRSTAT, O_WRONLY);
	const std::uint8_t rec[] = {0x10};
	errno = 0;
	EXPECT_EQ(::write(ro, rec, 1), -1);
	EXPECT_EQ(errno, EBADF);
	ssize_t r = 0;
	Read(wo, 8, &r);
	EXPECT_EQ(r, -1);
	EXPECT_EQ(Read(ro, 8).size(), 8u);
	EXPECT_EQ(::write(wo, rec, 1), 1);
}

TEST_F(SimTest, CountersOfReadsAndDescriptors)
{
	int a = Open(TRVSIM_USB_KBDSTAT);
	int b = Open(TRVSIM_USB_KBDSTAT);
	Open(TRVSIM_PS2_STAT);
	EXPECT_EQ(trvsim_open_descriptors(TRVSIM_USB_KBDSTAT), 2);
	EXPECT_EQ(trvsim_open_descriptors(-1), 3);
	EXPECT_NE(a, b);

	trvsim_fail_reads(TRVSIM_USB_KBDSTAT, 1);
	Read(a, 2);
	Read(b, 2);
	Read(a, 2);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KBDSTAT), 3) << "failed reads count too";
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_STAT), 0);
	EXPECT_EQ(trvsim_wait_reads(TRVSIM_USB_KBDSTAT, 3, 0), 1);
	EXPECT_EQ(trvsim_wait_reads(TRVSIM_USB_KBDSTAT, 4, 10), 0);

	// Reset clears the counts but descriptors stay open and counted.
	trvsim_reset();
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KBDSTAT), 0);
	EXPECT_EQ(trvsim_open_descriptors(-1), 3);
	EXPECT_EQ(Read(a, 2).size(), 2u);
	Close(a);
	EXPECT_EQ(trvsim_open_descriptors(TRVSIM_USB_KBDSTAT), 1);
	// The closed number is an ordinary (closed) descriptor again.
	errno = 0;
	char c;
	EXPECT_EQ(::read(a, &c, 1), -1);
	EXPECT_EQ(errno, EBADF);
}

TEST_F(SimTest, BadArgumentsAreHarmless)
{
	EXPECT_EQ(trvsim_node_path(-1), nullptr);
	EXPECT_EQ(trvsim_node_path(TRVSIM_NODE_COUNT), nullptr);
	EXPECT_EQ(trvsim_node_of_path(nullptr), -1);
	EXPECT_EQ(trvsim_node_of_path("/dev/qkbd_stat2"), -1);
	EXPECT_EQ(trvsim_node_of_path("dev/qkbd_stat"), -1);
	for (int n = 0; n < TRVSIM_NODE_COUNT; ++n)
		EXPECT_EQ(trvsim_node_of_path(trvsim_node_path(n)), n);
	trvsim_set_present(99, 0);
	trvsim_fail_reads(-5, 1);
	trvsim_swipe_track(TRVSIM_USB, 4, kTrack1, sizeof kTrack1);
	trvsim_swipe_track(2, 1, kTrack1, sizeof kTrack1);
	trvsim_set_keylock(5, 1);
	trvsim_raw_status(TRVSIM_USB_MSR1, kTrack1, sizeof kTrack1, 1);
	EXPECT_EQ(trvsim_reads(99), 0);
	EXPECT_EQ(trvsim_written(99, 0, nullptr, 0), -1);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_MSR1), 0u);
	// Nothing of the above reached a node.
	int msr = Open(TRVSIM_USB_MSRSTAT);
	UsbMsrStatusRecord zero{};
	auto m = ReadRecord<UsbMsrStatusRecord>(msr);
	EXPECT_EQ(0, std::memcmp(&m, &zero, sizeof m));
}

} // namespace
