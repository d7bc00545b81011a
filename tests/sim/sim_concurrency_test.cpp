// Several threads on the simulator at once: typing, swiping, reading,
// opening and closing, inspecting. Nothing may be lost, duplicated or
// reordered within one producer, and the descriptor count must balance.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sim_test_util.h"

namespace {

constexpr int kBytesPerProducer = 2000;
constexpr int kEntries = 3000;
constexpr int kSwipes = 300;

bool Expired(std::chrono::steady_clock::time_point start)
{
	return std::chrono::steady_clock::now() - start > std::chrono::seconds(60);
}

TEST_F(SimTest, ManyThreadsAtOnce)
{
	const auto start = std::chrono::steady_clock::now();
	std::atomic<bool> done{false};
	std::vector<std::thread> threads;

	// Two PS/2 producers: one types 0x00..0x7f cyclically, the other
	// 0x80..0xff, so that each one's order can be checked on the way out.
	for (int p = 0; p < 2; ++p)
		threads.emplace_back([p] {
			for (int i = 0; i < kBytesPerProducer; i += 4) {
				std::uint8_t b[4];
				for (int k = 0; k < 4; ++k)
					b[k] = static_cast<std::uint8_t>(p * 0x80 + (i + k) % 0x80);
				trvsim_ps2_type(b, 4);
			}
		});
	threads.emplace_back([] {
		for (std::uint32_t i = 0; i < kEntries; ++i)
			trvsim_usb_type(&i, 1);
	});
	threads.emplace_back([] {
		for (int i = 0; i < kSwipes; ++i) {
			std::string t = ";" + std::to_string(i) + "?";
			trvsim_swipe_track(TRVSIM_USB, 1 + i % 3,
					   reinterpret_cast<const std::uint8_t *>(t.data()), t.size());
		}
	});

	// Consumers.
	int ps2_got[2] = {0, 0};
	bool ps2_ordered = true;
	threads.emplace_back([&] {
		int fd = ::open("/dev/qkbd_keyboard", O_RDWR);
		std::uint8_t buf[64];
		while (ps2_got[0] + ps2_got[1] < 2 * kBytesPerProducer && !Expired(start)) {
			ssize_t r = ::read(fd, buf, sizeof buf);
			for (ssize_t i = 0; i < r; ++i) {
				int p = buf[i] >> 7;
				ps2_ordered &= (buf[i] & 0x7F) == ps2_got[p] % 0x80;
				++ps2_got[p];
			}
		}
		::close(fd);
	});
	std::uint32_t usb_next = 0;
	bool usb_ordered = true;
	threads.emplace_back([&] {
		int fd = ::open("/dev/trvposusb_keyboard", O_RDWR);
		std::uint32_t buf[16];
		while (usb_next < kEntries && !Expired(start)) {
			ssize_t r = ::read(fd, buf, 7 * 4 + 3);
			EXPECT_EQ(r % 4, 0);
			for (ssize_t i = 0; i < r / 4; ++i)
				usb_ordered &= buf[i] == usb_next++;
		}
		::close(fd);
	});
	int swipes_got = 0;
	int next_per_track[3] = {0, 1, 2};
	bool swipes_ordered = true;
	threads.emplace_back([&] {
		int stat = ::open("/dev/trvposusb_msrstat", O_RDWR);
		int tracks[3];
		for (int t = 0; t < 3; ++t)
			tracks[t] = ::open(("/dev/trvposusb_msr" + std::to_string(t + 1)).c_str(), O_RDWR);
		while (swipes_got < kSwipes && !Expired(start)) {
			UsbMsrStatusRecord rec{};
			if (::read(stat, &rec, sizeof rec) != sizeof rec)
				continue;
			const std::uint16_t lens[3] = {rec.ushTrack1Len, rec.ushTrack2Len, rec.ushTrack3Len};
			for (int t = 0; t < 3; ++t) {
				if (lens[t] == 0)
					continue;
				char buf[32] = {};
				ssize_t r = ::read(tracks[t], buf, lens[t]);
				std::string want = ";" + std::to_string(next_per_track[t]) + "?";
				swipes_ordered &= r == static_cast<ssize_t>(lens[t]) && buf == want;
				next_per_track[t] += 3;
				++swipes_got;
			}
		}
		::close(stat);
		for (int fd : tracks)
			::close(fd);
	});

	// Noise: opens and closes, keylock turns, faults on an unused node,
	// status reads and inspection.
	threads.emplace_back([&] {
		int n = 0;
		while (!done.load()) {
			int fd = ::open("/dev/qkbd_stat", O_RDWR);
			Ps2StatusRecord rec{};
			EXPECT_EQ(::read(fd, &rec, sizeof rec), 10);
			::close(fd);
			trvsim_set_keylock(TRVSIM_PS2, static_cast<std::uint16_t>(++n % 4));
			trvsim_fail_reads(TRVSIM_PS2_MSR3, n % 2);
		}
	});
	threads.emplace_back([&] {
		while (!done.load()) {
			(void)trvsim_reads(TRVSIM_USB_MSRSTAT);
			(void)trvsim_queued(TRVSIM_USB_KEYBOARD);
			(void)trvsim_open_descriptors(-1);
			int fd = ::open("/dev/trvposusb_keylock", O_RDWR);
			std::uint8_t b;
			EXPECT_EQ(::read(fd, &b, 1), 1);
			::close(fd);
		}
	});

	// Producers and consumers end by themselves; then stop the noise.
	for (std::size_t i = 0; i < threads.size() - 2; ++i)
		threads[i].join();
	done.store(true);
	threads[threads.size() - 2].join();
	threads.back().join();

	EXPECT_EQ(ps2_got[0], kBytesPerProducer);
	EXPECT_EQ(ps2_got[1], kBytesPerProducer);
	EXPECT_TRUE(ps2_ordered);
	EXPECT_EQ(usb_next, static_cast<std::uint32_t>(kEntries));
	EXPECT_TRUE(usb_ordered);
	EXPECT_EQ(swipes_got, kSwipes);
	EXPECT_TRUE(swipes_ordered);
	EXPECT_EQ(trvsim_open_descriptors(-1), 0);
	EXPECT_EQ(trvsim_queued(TRVSIM_PS2_KEYBOARD), 0u);
}

} // namespace
