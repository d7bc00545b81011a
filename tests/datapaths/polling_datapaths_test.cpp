// The data paths behind the real polling loop, stepped one cycle at a time.
// The Java side is played by callbacks that fetch the data from within the
// callback, as the service does.
#include <string>
#include <thread>

#include "polling_fixture.h"

namespace datapaths {
namespace {

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
	Cycle(); // no room: a reminder
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 3);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 45u);

	EXPECT_EQ(jni.ints(TRV_JNI(getKbdData)(env, obj)),
		  std::vector<std::int32_t>(typed.begin(), typed.begin() + 255));
	Cycle();
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 4);
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

// A client that fetches only in its callbacks and is busy for a while (its
// callbacks return without fetching) is reminded in every cycle while the
// pending list is full, once a cycle even when both attachments have keys
// waiting, and then drains everything in order.
TEST_F(PollingDataPathTest, CallbackOnlyClientIsRemindedWhileTheListIsFull)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, Name()), 4660);
	bool busy = true;
	std::vector<std::int32_t> got;
	jni.onCallback(KBD_CALLBACK, [&](JNIEnv *e, jobject o) {
		if (busy)
			return;
		const auto keys = jni.ints(TRV_JNI(getKbdData)(e, o));
		got.insert(got.end(), keys.begin(), keys.end());
	});
	std::vector<std::uint32_t> usb(261);
	for (std::size_t i = 0; i < usb.size(); ++i)
		usb[i] = static_cast<std::uint32_t>(0x2000 + i);
	trvsim_usb_type(usb.data(), usb.size());
	Cycle();
	Cycle(); // 255 pending, 6 left in the driver
	const Bytes ps2{0x1E, 0x9E};
	trvsim_ps2_type(ps2.data(), ps2.size());
	for (int cycle = 0; cycle < 20; ++cycle) {
		const int before = jni.callbackCount(KBD_CALLBACK);
		Cycle();
		ASSERT_EQ(jni.callbackCount(KBD_CALLBACK) - before, 1) << "cycle " << cycle;
	}
	busy = false;
	for (int cycle = 0; cycle < 3; ++cycle)
		Cycle();
	std::vector<std::int32_t> expected(usb.begin(), usb.end());
	expected.insert(expected.end(), {0x1E, 0x9E});
	EXPECT_EQ(got, expected);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD) + trvsim_queued(TRVSIM_PS2_KEYBOARD), 0u);
}

// What a client that fetches every track in msrDataOccurred receives.
struct Reports {
	std::vector<std::vector<Bytes>> swipes;
	void Listen(fakejni::FakeJni &jni)
	{
		jni.onCallback(MSR_CALLBACK, [this, &jni](JNIEnv *e, jobject o) {
			swipes.push_back({jni.bytes(TRV_JNI(getMsrTrack1Data)(e, o)),
					  jni.bytes(TRV_JNI(getMsrTrack2Data)(e, o)),
					  jni.bytes(TRV_JNI(getMsrTrack3Data)(e, o))});
		});
	}
};

// PS/2 make codes of "1" and "2"; their frames read "%1..1?" and ";2..2?".
Bytes Ps2Digits(std::uint8_t code, std::size_t n)
{
	return Bytes(n, code);
}

Bytes Frame(char sentinel, char c, std::size_t n)
{
	Bytes f{0x00, static_cast<std::uint8_t>(sentinel)};
	f.insert(f.end(), n, static_cast<std::uint8_t>(c));
	f.push_back('?');
	return f;
}

// A track too long for its buffer is read off the node whole and discarded,
// so that the driver gives it up: the swipe is reported with that track
// empty, and the next swipe flows as usual.
TEST_F(PollingDataPathTest, OversizeTrackIsReadOffAndTheSwipeReportedWithoutIt)
{
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, Name()), 4660);
	const struct {
		const char *name;
		int attachment;
		Bytes oversize, track2a, track2b;
		Bytes expectA, expectB;
	} cases[] = {
		{"USB, 300 bytes", TRVSIM_USB, Bytes(300, 'x'), Bytes(20, 'a'), Bytes(12, 'b'), Bytes(20, 'a'),
		 Bytes(12, 'b')},
		{"PS/2, 600 bytes", TRVSIM_PS2, Bytes(600, 0x02), Ps2Digits(0x02, 20), Ps2Digits(0x03, 12),
		 Frame(';', '1', 20), Frame(';', '2', 12)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Reports reports;
		reports.Listen(jni);
		const int track1 = c.attachment == TRVSIM_USB ? TRVSIM_USB_MSR1 : TRVSIM_PS2_MSR1;
		trvsim_swipe_track(c.attachment, 1, c.oversize.data(), c.oversize.size());
		trvsim_swipe_track(c.attachment, 2, c.track2a.data(), c.track2a.size());
		for (int cycle = 0; cycle < 10 && reports.swipes.empty(); ++cycle)
			Cycle();
		ASSERT_EQ(reports.swipes.size(), 1u) << "swipe A was not reported";
		EXPECT_EQ(reports.swipes[0], (std::vector<Bytes>{{}, c.expectA, {}}));
		EXPECT_EQ(trvsim_queued(track1), 0u) << "the driver still holds the oversize track";

		trvsim_swipe_track(c.attachment, 2, c.track2b.data(), c.track2b.size());
		for (int cycle = 0; cycle < 10 && reports.swipes.size() < 2; ++cycle)
			Cycle();
		ASSERT_EQ(reports.swipes.size(), 2u) << "swipe B was not reported";
		EXPECT_EQ(reports.swipes[1], (std::vector<Bytes>{{}, c.expectB, {}}));
		jni.onCallback(MSR_CALLBACK, nullptr);
	}
}

// Opening the MSR starts with no swipe in progress. Swipe A is read on one
// attachment, the MSR is closed before A's report is due and opened again,
// and swipe B comes on the other attachment: the reopened session reports B
// once, whole, and nothing of A.
TEST_F(PollingDataPathTest, SwipeOfAClosedSessionIsDroppedWhenTheMsrOpens)
{
	const struct {
		const char *name;
		int first, second;
		Bytes a, b1, b2;
		Bytes expect1, expect2;
	} cases[] = {
		{"A on USB, B on PS/2", TRVSIM_USB, TRVSIM_PS2, Bytes(16, 'A'), Ps2Digits(0x02, 9), Ps2Digits(0x03, 7),
		 Frame('%', '1', 9), Frame(';', '2', 7)},
		{"A on PS/2, B on USB", TRVSIM_PS2, TRVSIM_USB, Ps2Digits(0x04, 16), Bytes(9, 'b'), Bytes(7, 'c'),
		 Bytes(9, 'b'), Bytes(7, 'c')},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_EQ(TRV_JNI(openMSR)(env, obj, Name()), 4660);
		Reports reports;
		reports.Listen(jni);
		trvsim_swipe_track(c.first, 1, c.a.data(), c.a.size());
		Cycle(); // A's track 1 is read; its report would come five cycles later
		TRV_JNI(closeMSR)(env, obj);
		ASSERT_EQ(TRV_JNI(openMSR)(env, obj, Name()), 4660);
		EXPECT_TRUE(jni.bytes(TRV_JNI(getMsrTrack1Data)(env, obj)).empty()) << "A was not dropped at the open";
		trvsim_swipe_track(c.second, 1, c.b1.data(), c.b1.size());
		trvsim_swipe_track(c.second, 2, c.b2.data(), c.b2.size());
		for (int cycle = 0; cycle < 12; ++cycle)
			Cycle();
		ASSERT_EQ(reports.swipes.size(), 1u);
		EXPECT_EQ(reports.swipes[0], (std::vector<Bytes>{c.expect1, c.expect2, {}}));
		jni.onCallback(MSR_CALLBACK, nullptr);
		TRV_JNI(closeMSR)(env, obj);
	}
}

// A keylock position counts as reported only once klkDataOccurred was made
// for it: a turn whose keylock read failed is reported in the next cycle.
TEST_F(PollingDataPathTest, KeylockTurnIsReportedAfterAFailedRead)
{
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, Name()), 4660);
	Bytes seen;
	jni.onCallback(KLK_CALLBACK, [&](JNIEnv *e, jobject o) { seen = jni.bytes(TRV_JNI(getKeyLockData)(e, o)); });
	trvsim_set_keylock(TRVSIM_USB, 3);
	trvsim_fail_reads(TRVSIM_USB_KEYLOCK, 1);
	Cycle();
	EXPECT_EQ(jni.callbackCount(KLK_CALLBACK), 0);
	Cycle();
	EXPECT_EQ(jni.callbackCount(KLK_CALLBACK), 1);
	EXPECT_EQ(seen, Bytes{3});
	Cycle();
	EXPECT_EQ(jni.callbackCount(KLK_CALLBACK), 1);
}

} // namespace
} // namespace datapaths
