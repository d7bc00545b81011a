// The data paths behind the real polling loop. The simulator holds the loop
// at its first status read of each cycle, so the tests advance it one cycle
// at a time and count cycles, not milliseconds. The Java side is played by
// callbacks that fetch the data from within the callback, as the service
// does.
#include <string>
#include <thread>

#include "datapaths_fixture.h"

namespace datapaths {
namespace {

constexpr int STEP_TIMEOUT_MS = 10000;

class PollingDataPathTest : public DataPathTest {
protected:
	void SetUp() override
	{
		DataPathTest::SetUp();
		trvsim_step_mode(TRVSIM_PS2_STAT, 1);
		poller = std::thread([this] { TRV_JNI(startPolling)(jni.env(), jni.service()); });
		ASSERT_EQ(trvsim_step(0, STEP_TIMEOUT_MS), 1) << "the loop never reached its first cycle";
	}

	void TearDown() override
	{
		trvsim_step_mode(TRVSIM_PS2_STAT, 0);
		if (poller.joinable()) {
			TRV_JNI(stopPolling)(env, obj);
			poller.join();
		}
		DataPathTest::TearDown();
	}

	// Runs one polling cycle; the loop is held again before the next one.
	void Cycle() { ASSERT_EQ(trvsim_step(1, STEP_TIMEOUT_MS), 1); }

	jstring Name() { return jni.newString("device"); }

	std::thread poller;
};

using Bytes = std::vector<std::uint8_t>;

// The cycle (counted from the first announcement) in which msrDataOccurred
// comes, with the Java side fetching every track from the callback.
TEST_F(PollingDataPathTest, SwipeReportTimingInPollingCycles)
{
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, Name()), 4660);
	const Bytes t1(20, '1'), t2(15, '2'), t3(30, '3');
	const struct {
		const char *name;
		int attachment;
		std::vector<std::pair<int, int>> swipes; // (cycle, track)
		int reportCycle;
	} cases[] = {
		{"USB tracks 1 and 2 in one cycle", TRVSIM_USB, {{0, 1}, {0, 2}}, 5},
		{"USB track 1, track 2 two cycles later", TRVSIM_USB, {{0, 1}, {2, 2}}, 7},
		{"USB tracks 1 and 2, then track 3", TRVSIM_USB, {{0, 1}, {0, 2}, {3, 3}}, 3},
		{"PS/2 tracks 1 and 2 in one cycle", TRVSIM_PS2, {{0, 1}, {0, 2}}, 5},
		{"PS/2 track 3 alone", TRVSIM_PS2, {{0, 3}}, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<Bytes> fetched;
		jni.onCallback(MSR_CALLBACK, [&](JNIEnv *e, jobject o) {
			fetched = {jni.bytes(TRV_JNI(getMsrTrack1Data)(e, o)), jni.bytes(TRV_JNI(getMsrTrack2Data)(e, o)),
				   jni.bytes(TRV_JNI(getMsrTrack3Data)(e, o))};
		});
		const int before = jni.callbackCount(MSR_CALLBACK);
		int reported = -1;
		for (int cycle = 0; cycle < 10 && reported < 0; ++cycle) {
			for (const auto &[when, track] : c.swipes) {
				if (when != cycle)
					continue;
				// PS/2 tracks arrive as make codes: 0x02 is "1".
				const Bytes &usb = track == 1 ? t1 : track == 2 ? t2 : t3;
				const Bytes bytes = c.attachment == TRVSIM_USB ? usb : Bytes(usb.size(), 0x02);
				trvsim_swipe_track(c.attachment, track, bytes.data(), bytes.size());
			}
			Cycle();
			if (jni.callbackCount(MSR_CALLBACK) > before)
				reported = cycle;
		}
		EXPECT_EQ(reported, c.reportCycle);
		EXPECT_EQ(jni.callbackCount(MSR_CALLBACK) - before, 1);
		ASSERT_EQ(fetched.size(), 3u);
		for (const auto &[when, track] : c.swipes) {
			const Bytes &usb = track == 1 ? t1 : track == 2 ? t2 : t3;
			Bytes expected = usb;
			if (c.attachment == TRVSIM_PS2) {
				expected.assign(usb.size() + 3, '1');
				expected.front() = 0x00;
				expected[1] = track == 1 ? '%' : ';';
				expected.back() = '?';
			}
			EXPECT_EQ(fetched[track - 1], expected) << "track " << track;
		}
		// Nothing more is reported once the swipe has been handed out.
		for (int i = 0; i < 7; ++i)
			Cycle();
		EXPECT_EQ(jni.callbackCount(MSR_CALLBACK) - before, 1);
		jni.onCallback(MSR_CALLBACK, nullptr);
	}
}

TEST_F(PollingDataPathTest, Ps2KeysReachJavaAsOneEntryPerByte)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, Name()), 4660);
	std::vector<std::int32_t> keys;
	jni.onCallback(KBD_CALLBACK, [&](JNIEnv *e, jobject o) { keys = jni.ints(TRV_JNI(getKbdData)(e, o)); });
	const Bytes typed{0x2A, 0x1E, 0x9E, 0xAA};
	trvsim_ps2_type(typed.data(), typed.size());
	Cycle();
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 1);
	EXPECT_EQ(keys, (std::vector<std::int32_t>{0x2A, 0x1E, 0x9E, 0xAA}));
	Cycle();
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 1);
}

// The USB keyboard never stalls: each cycle reads as many whole entries as
// fit (at most 128, and never past the 255th pending one), the driver keeps
// the rest, and they are read once getKbdData (here from the test's own
// thread) has made room. Nothing is lost, and the order holds.
TEST_F(PollingDataPathTest, UsbKeysAreReadAsRoomAllowsAndNeverStall)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, Name()), 4660);
	std::vector<std::int32_t> typed(300);
	for (std::size_t i = 0; i < typed.size(); ++i)
		typed[i] = static_cast<std::int32_t>(0x1000 + i);
	trvsim_usb_type(reinterpret_cast<const std::uint32_t *>(typed.data()), typed.size());
	Cycle(); // 128 entries
	Cycle(); // 127 more: 255 pending
	Cycle(); // no room
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 2);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 45u);

	EXPECT_EQ(jni.ints(TRV_JNI(getKbdData)(env, obj)),
		  std::vector<std::int32_t>(typed.begin(), typed.begin() + 255));
	Cycle();
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 3);
	EXPECT_EQ(jni.ints(TRV_JNI(getKbdData)(env, obj)),
		  std::vector<std::int32_t>(typed.begin() + 255, typed.end()));
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 0u);
}

TEST_F(PollingDataPathTest, KeylockChangeIsReportedOnceAndTheByteStays)
{
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, Name()), 4660);
	Bytes seen;
	jni.onCallback(KLK_CALLBACK, [&](JNIEnv *e, jobject o) { seen = jni.bytes(TRV_JNI(getKeyLockData)(e, o)); });
	trvsim_set_keylock(TRVSIM_USB, 2);
	Cycle();
	Cycle();
	EXPECT_EQ(jni.callbackCount(KLK_CALLBACK), 1);
	EXPECT_EQ(seen, Bytes{2});
	EXPECT_EQ(jni.bytes(TRV_JNI(getKeyLockData)(env, obj)), Bytes{2});
	EXPECT_EQ(TRV_JNI(getKeyLockPosition)(env, obj), 2);
}

} // namespace
} // namespace datapaths
