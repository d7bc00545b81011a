// A node that goes away and comes back (a bumped cable) while the service
// does nothing about it: the library heals the device by itself.
#include <algorithm>

#include "polling_fixture.h"

namespace datapaths {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The newest write recorded on a node; empty when none.
Bytes Written(int node)
{
	const long len = trvsim_written(node, -1, nullptr, 0);
	Bytes bytes(len > 0 ? static_cast<std::size_t>(len) : 0);
	if (len > 0)
		trvsim_written(node, -1, bytes.data(), bytes.size());
	return bytes;
}

// Nodes go away, the loop polls on for two seconds, they come back, and a
// key, a swipe and a keylock turn follow on the USB attachment: all reach
// Java within a second of the return, with no Java call in between; what the
// service had sent (the POS key table, the header record) reaches the new
// nodes; the PS/2 attachment works throughout.
TEST_F(PollingDataPathTest, ReplugIsHealedWithNoJavaCall)
{
	const std::vector<int> usbNodes{TRVSIM_USB_KBDSTAT, TRVSIM_USB_MSRSTAT, TRVSIM_USB_KEYBOARD,
					TRVSIM_USB_KEYLOCK, TRVSIM_USB_MSR1,    TRVSIM_USB_MSR2,
					TRVSIM_USB_MSR3};
	const struct {
		const char *name;
		std::vector<int> gone;
	} cases[] = {
		{"the whole USB attachment", usbNodes},
		{"the USB keyboard node alone", {TRVSIM_USB_KEYBOARD}},
		{"the USB MSR status node alone", {TRVSIM_USB_MSRSTAT}},
	};
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, Name()), 4660);
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, Name()), 4660);
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, Name()), 4660);
	ASSERT_EQ(TRV_JNI(writeKeyboardConfig)(env, obj), 0);
	ASSERT_EQ(TRV_JNI(writeMSRConfig)(env, obj, 0, jni.newByteArray({0x10})), 0);
	const Bytes table = Written(TRVSIM_USB_KEYBOARD), header = Written(TRVSIM_USB_MSRSTAT);

	std::vector<std::int32_t> keys;
	Bytes track3, keylock;
	jni.onCallback(KBD_CALLBACK, [&](JNIEnv *e, jobject o) {
		const auto k = jni.ints(TRV_JNI(getKbdData)(e, o));
		keys.insert(keys.end(), k.begin(), k.end());
	});
	jni.onCallback(MSR_CALLBACK, [&](JNIEnv *e, jobject o) { track3 = jni.bytes(TRV_JNI(getMsrTrack3Data)(e, o)); });
	jni.onCallback(KLK_CALLBACK, [&](JNIEnv *e, jobject o) { keylock = jni.bytes(TRV_JNI(getKeyLockData)(e, o)); });

	std::uint16_t position = 1;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		const auto gone = [&c](int node) { return std::find(c.gone.begin(), c.gone.end(), node) != c.gone.end(); };
		const int tables = trvsim_write_count(TRVSIM_USB_KEYBOARD);
		const int headers = trvsim_write_count(TRVSIM_USB_MSRSTAT);
		for (int node : c.gone)
			trvsim_unplug(node, 1);
		// A key on each attachment while the nodes are away: the PS/2 one
		// arrives at once, the USB one once its nodes are there.
		const std::uint8_t ps2Key = 0x1E;
		const std::uint32_t usbKey = 0x2004;
		trvsim_ps2_type(&ps2Key, 1);
		trvsim_usb_type(&usbKey, 1);
		keys.clear();
		for (int cycle = 0; cycle < 40; ++cycle)
			Cycle();
		ASSERT_FALSE(keys.empty());
		EXPECT_EQ(keys[0], ps2Key);
		// The dead descriptors the loop reads are closed at once.
		for (int node : {TRVSIM_USB_KBDSTAT, TRVSIM_USB_MSRSTAT}) {
			if (gone(node)) {
				EXPECT_EQ(trvsim_open_descriptors(node), 0) << "a dead descriptor kept on node " << node;
			}
		}

		for (int node : c.gone)
			trvsim_unplug(node, 0);
		const Bytes card(24, static_cast<std::uint8_t>('0' + position));
		trvsim_swipe_track(TRVSIM_USB, 3, card.data(), card.size());
		trvsim_set_keylock(TRVSIM_USB, ++position);
		int cycles = 0;
		while (cycles < 30 && (keys.size() < 2 || track3.empty() || keylock != Bytes{static_cast<std::uint8_t>(position)})) {
			Cycle();
			++cycles;
		}
		EXPECT_LE(cycles, 21) << "data after the replug took too long";
		EXPECT_EQ(keys, (std::vector<std::int32_t>{ps2Key, static_cast<std::int32_t>(usbKey)}));
		EXPECT_EQ(track3, card);
		track3.clear();

		EXPECT_EQ(g_bKeyboardOpened.load() + g_bMsrOpened.load() + g_bKeylockOpened.load(), 3);
		// A keyboard node opened anew gets the table: its own return, or the
		// return of the status node that carries its news.
		const bool statusBack = gone(TRVSIM_USB_MSRSTAT);
		const bool keyboardBack = gone(TRVSIM_USB_KEYBOARD) || gone(TRVSIM_USB_KBDSTAT);
		EXPECT_EQ(trvsim_write_count(TRVSIM_USB_KEYBOARD) - tables, keyboardBack ? 1 : 0);
		EXPECT_EQ(trvsim_write_count(TRVSIM_USB_MSRSTAT) - headers, statusBack ? 1 : 0);
		if (keyboardBack) {
			EXPECT_EQ(Written(TRVSIM_USB_KEYBOARD), table) << "the POS key table was not sent again";
		}
		if (statusBack) {
			EXPECT_EQ(Written(TRVSIM_USB_MSRSTAT), header) << "the header record was not sent again";
		}
	}
	jni.onCallback(KBD_CALLBACK, nullptr);
	jni.onCallback(MSR_CALLBACK, nullptr);
	jni.onCallback(KLK_CALLBACK, nullptr);
	TRV_JNI(closeKeyBoard)(env, obj);
	TRV_JNI(closeMSR)(env, obj);
	TRV_JNI(closeKeyLock)(env, obj);
}

// A swipe read just before the cable goes is still reported on time while
// the status nodes are away: the wait goes on counting without them.
TEST_F(PollingDataPathTest, SwipeReadBeforeTheCableWentIsReportedOnTime)
{
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, Name()), 4660);
	Bytes track1;
	jni.onCallback(MSR_CALLBACK, [&](JNIEnv *e, jobject o) { track1 = jni.bytes(TRV_JNI(getMsrTrack1Data)(e, o)); });
	const Bytes card(30, '4');
	trvsim_swipe_track(TRVSIM_USB, 1, card.data(), card.size());
	Cycle(); // read; reported five cycles later
	trvsim_unplug(TRVSIM_USB_KBDSTAT, 1);
	trvsim_unplug(TRVSIM_USB_MSRSTAT, 1);
	for (int cycle = 0; cycle < 6; ++cycle)
		Cycle();
	EXPECT_EQ(jni.callbackCount(MSR_CALLBACK), 1);
	EXPECT_EQ(track1, card);
	jni.onCallback(MSR_CALLBACK, nullptr);
	trvsim_unplug(TRVSIM_USB_KBDSTAT, 0);
	trvsim_unplug(TRVSIM_USB_MSRSTAT, 0);
	TRV_JNI(closeMSR)(env, obj);
}

// A service that restarts polling while the cable is out heals too: a
// status node that the new run opens after it went away is treated as one
// the loop reopened (the header record is sent again, the keyboard node
// whose news it carries is renewed and gets its table), and status nodes
// that a run finds away at its start are retried like those it loses.
TEST_F(PollingDataPathTest, RestartDuringAnOutageHealsToo)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, Name()), 4660);
	ASSERT_EQ(TRV_JNI(writeKeyboardConfig)(env, obj), 0);
	ASSERT_EQ(TRV_JNI(writeMSRConfig)(env, obj, 0, jni.newByteArray({0x10})), 0);
	const Bytes header = Written(TRVSIM_USB_MSRSTAT), table = Written(TRVSIM_USB_KEYBOARD);
	const int headers = trvsim_write_count(TRVSIM_USB_MSRSTAT);
	const int tables = trvsim_write_count(TRVSIM_USB_KEYBOARD);
	auto restart = [this](bool stepped) {
		trvsim_step_mode(TRVSIM_PS2_STAT, 0);
		TRV_JNI(stopPolling)(env, obj);
		poller.join();
		if (stepped)
			trvsim_step_mode(TRVSIM_PS2_STAT, 1);
		poller = std::thread([this] { TRV_JNI(startPolling)(jni.env(), jni.service()); });
	};

	const int usb[] = {TRVSIM_USB_KBDSTAT, TRVSIM_USB_MSRSTAT, TRVSIM_USB_KEYBOARD};
	for (int node : usb)
		trvsim_unplug(node, 1);
	Cycle(); // the status nodes are found gone; the keyboard's is not read
	for (int node : usb)
		trvsim_unplug(node, 0);
	restart(true);
	ASSERT_EQ(trvsim_step(0, STEP_TIMEOUT_MS), 1);
	EXPECT_EQ(trvsim_write_count(TRVSIM_USB_MSRSTAT) - headers, 1);
	EXPECT_EQ(Written(TRVSIM_USB_MSRSTAT), header);
	EXPECT_EQ(trvsim_dead_descriptors(TRVSIM_USB_KEYBOARD), 0) << "the keyboard node was not renewed";
	EXPECT_EQ(trvsim_write_count(TRVSIM_USB_KEYBOARD) - tables, 1);
	EXPECT_EQ(Written(TRVSIM_USB_KEYBOARD), table);
	TRV_JNI(closeKeyBoard)(env, obj);

	const int stat[] = {TRVSIM_USB_KBDSTAT, TRVSIM_USB_MSRSTAT};
	for (int node : stat)
		trvsim_unplug(node, 1);
	restart(true);
	ASSERT_EQ(trvsim_step(0, STEP_TIMEOUT_MS), 1);
	Cycle(); // the new run found them away
	const long reads = trvsim_reads(TRVSIM_USB_MSRSTAT);
	for (int node : stat)
		trvsim_unplug(node, 0);
	int cycles = 0;
	while (cycles < 30 && trvsim_reads(TRVSIM_USB_MSRSTAT) == reads) {
		Cycle();
		++cycles;
	}
	EXPECT_LE(cycles, 21) << "the USB status nodes were not reopened";
	EXPECT_EQ(trvsim_write_count(TRVSIM_USB_MSRSTAT) - headers, 2);
}

} // namespace
} // namespace datapaths
