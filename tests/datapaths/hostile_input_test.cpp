// Hostile input for the keyboard, keylock and MSR handlers: random status
// records with the boundary lengths, oversized counts, short, empty and
// failed reads, and failing array creation, in a seeded random order. Run
// under AddressSanitizer this shows that no buffer is overrun; the checks
// after each step show that no length leaves its buffer's range.
#include <climits>
#include <random>

#include "datapaths_fixture.h"

namespace datapaths {
namespace {

using HostileInputTest = DataPathTest;

constexpr std::uint16_t BOUNDARY_LENGTHS[] = {0, 1, 2, 254, 255, 256, 511, 512, 513, 0x7FFF, 0xFFFE, 0xFFFF};
constexpr unsigned BOUNDARY_COUNTS[] = {0, 1, 127, 128, 129, 255, 256, 1020, 1021, UINT_MAX / 4 + 1, UINT_MAX};
constexpr std::size_t READ_LIMITS[] = {0, 1, 3, 4, 5, 255, SIZE_MAX};
constexpr int DATA_NODES[] = {TRVSIM_PS2_KEYBOARD, TRVSIM_PS2_KEYLOCK, TRVSIM_PS2_MSR1, TRVSIM_PS2_MSR2,
			      TRVSIM_PS2_MSR3,     TRVSIM_USB_KEYBOARD, TRVSIM_USB_KEYLOCK, TRVSIM_USB_MSR1,
			      TRVSIM_USB_MSR2,     TRVSIM_USB_MSR3};

template <class T, std::size_t N> const T &Pick(std::mt19937 &rng, const T (&items)[N])
{
	return items[std::uniform_int_distribution<std::size_t>(0, N - 1)(rng)];
}

void ExpectLengthsInRange(int step)
{
	SCOPED_TRACE(step);
	EXPECT_GE(g_nKbdDataLength, 0);
	EXPECT_LE(g_nKbdDataLength, KBD_DATA_ENTRIES);
	EXPECT_GE(g_nKeyLockDataLength, 0);
	EXPECT_LE(g_nKeyLockDataLength, 1);
	for (std::int32_t len : {g_nTrack1DataLength, g_nTrack2DataLength, g_nTrack3DataLength}) {
		EXPECT_GE(len, 0);
		EXPECT_LE(len, TRACK_BUFFER_SIZE);
	}
	EXPECT_EQ(g_nTrack4DataLength, 0);
}

TEST_F(HostileInputTest, HandlersKeepEveryBufferAndLengthInRange)
{
	OpenKeyboard();
	OpenKeylock();
	OpenMsr();
	std::mt19937 rng(20261208);
	auto coin = [&](int oneIn) { return std::uniform_int_distribution<int>(1, oneIn)(rng) == 1; };
	auto upTo = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
	auto length = [&]() -> std::uint16_t {
		return coin(3) ? static_cast<std::uint16_t>(upTo(0xFFFF)) : Pick(rng, BOUNDARY_LENGTHS);
	};
	auto randomBytes = [&](std::size_t n) {
		std::vector<std::uint8_t> b(n);
		for (auto &x : b)
			x = static_cast<std::uint8_t>(upTo(255));
		return b;
	};

	for (int step = 0; step < 4000; ++step) {
		if (step % 250 == 0)
			trvsim_reset(); // drop queues and faults; descriptors stay valid
		if (coin(6)) {
			const int node = Pick(rng, DATA_NODES);
			if (coin(2))
				trvsim_fail_reads(node, static_cast<int>(upTo(2)));
			else
				trvsim_short_reads(node, Pick(rng, READ_LIMITS));
		}
		jni.failNewArrays(coin(8));

		switch (upTo(9)) {
		case 0: { // a track arrives on either attachment
			const int attachment = coin(2) ? TRVSIM_USB : TRVSIM_PS2;
			const auto bytes = randomBytes(coin(4) ? Pick(rng, BOUNDARY_LENGTHS) % 1024 : upTo(600));
			trvsim_swipe_track(attachment, 1 + static_cast<int>(upTo(2)), bytes.data(), bytes.size());
			break;
		}
		case 1:
			HandleMSRDataUSB(env, obj, msrMethod, UsbMsrStatusRecord{length(), length(), length(), length()});
			break;
		case 2:
			HandleMSRDataPS2(env, obj, msrMethod,
					 Ps2StatusRecord{static_cast<std::uint8_t>(upTo(255)), static_cast<std::uint8_t>(upTo(255)),
							 length(), length(), length(), length()});
			break;
		case 3: {
			const auto track = static_cast<std::uint8_t>(upTo(255) % 6);
			if (coin(2))
				HandleMSRTrackUSB(env, obj, msrMethod, track, length());
			else
				HandleMSRTrackPS2(env, obj, msrMethod, track, length());
			break;
		}
		case 4: {
			std::vector<std::uint32_t> entries(upTo(300));
			for (auto &e : entries)
				e = static_cast<std::uint32_t>(rng());
			trvsim_usb_type(entries.data(), entries.size());
			HandleKeyboardDataUSB(env, obj, kbdMethod, coin(2) ? Pick(rng, BOUNDARY_COUNTS) : static_cast<unsigned>(upTo(255)));
			break;
		}
		case 5: {
			const auto bytes = randomBytes(upTo(600));
			trvsim_ps2_type(bytes.data(), bytes.size());
			HandleKeyboardDataPS2(env, obj, kbdMethod, coin(2) ? Pick(rng, BOUNDARY_COUNTS) : static_cast<unsigned>(upTo(255)));
			break;
		}
		case 6:
			trvsim_set_keylock(coin(2) ? TRVSIM_USB : TRVSIM_PS2, static_cast<std::uint16_t>(upTo(0xFFFF)));
			if (coin(2))
				HandleKeylockDataUSB(env, obj, klkMethod, static_cast<int>(upTo(0xFFFF)));
			else
				HandleKeylockDataPS2(env, obj, klkMethod, static_cast<unsigned>(upTo(255)));
			break;
		case 7: {
			const jint pos = TRV_JNI(getKeyLockPosition)(env, obj);
			EXPECT_GE(pos, 0);
			EXPECT_LE(pos, 255);
			EXPECT_LE(jni.bytes(TRV_JNI(getKeyLockData)(env, obj)).size(), 1u);
			break;
		}
		case 8:
			EXPECT_LE(jni.ints(TRV_JNI(getKbdData)(env, obj)).size(), static_cast<std::size_t>(KBD_DATA_ENTRIES));
			break;
		default: {
			jbyteArray (*const getters[])(JNIEnv *, jobject) = {
				TRV_JNI(getMsrTrack1Data), TRV_JNI(getMsrTrack2Data), TRV_JNI(getMsrTrack3Data),
				TRV_JNI(getMsrTrack4Data)};
			EXPECT_LE(jni.bytes(getters[upTo(3)](env, obj)).size(), static_cast<std::size_t>(TRACK_BUFFER_SIZE));
			break;
		}
		}
		ExpectLengthsInRange(step);
		ASSERT_FALSE(jni.exceptionPending()) << "step " << step;
		if (HasFailure())
			break;
	}
	jni.failNewArrays(false);
}

} // namespace
} // namespace datapaths
