// MSR data path: swipe aggregation counted in handler calls (one call per
// poll), the USB and PS/2 track readers, the PS/2 text frame and the fetches.
#include <string>

#include "card_memory.h"
#include "datapaths_fixture.h"

namespace datapaths {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Str(const std::string &s)
{
	return {s.begin(), s.end()};
}

// The frame the PS/2 reader builds around a track's characters.
Bytes Ps2Frame(int track, const std::string &chars)
{
	std::string f(1, '\0');
	f += track == 1 ? '%' : ';';
	f += chars;
	f += '?';
	return Str(f);
}

class MsrDataTest : public DataPathTest {
protected:
	void SetUp() override
	{
		DataPathTest::SetUp();
		OpenMsr();
	}

	Bytes Fetch(int track)
	{
		jbyteArray (*const getters[])(JNIEnv *, jobject) = {
			TRV_JNI(getMsrTrack1Data), TRV_JNI(getMsrTrack2Data), TRV_JNI(getMsrTrack3Data),
			TRV_JNI(getMsrTrack4Data)};
		return jni.bytes(getters[track - 1](env, obj));
	}

	// One poll of an attachment's data handler with these announced lengths.
	int Poll(int attachment, std::uint16_t l1, std::uint16_t l2, std::uint16_t l3)
	{
		if (attachment == TRVSIM_USB)
			return HandleMSRDataUSB(env, obj, msrMethod, UsbMsrStatusRecord{l1, l2, l3, 0});
		return HandleMSRDataPS2(env, obj, msrMethod, Ps2StatusRecord{0, 0, l1, l2, l3, 0});
	}
};

// Queues a track of n bytes that yields n characters on either attachment:
// USB stores bytes as read; on PS/2, 0x1E is the make code of "a".
void QueueTrack(int attachment, int track, std::size_t n)
{
	const Bytes bytes(n, attachment == TRVSIM_USB ? 'a' : 0x1E);
	trvsim_swipe_track(attachment, track, bytes.data(), bytes.size());
}

struct Announce {
	int poll;
	int track;
	std::uint16_t length;
};

// Each case lists the announcements (queued on the node when the length is
// readable) and the handler's result per poll; "R" marks the poll in which
// msrDataOccurred is called, "1"/"0" the result of the other polls.
TEST_F(MsrDataTest, SwipeIsReportedByTrack3OrAfterFivePollsWithoutNews)
{
	const struct {
		const char *name;
		std::vector<Announce> announce;
		std::string polls;
	} cases[] = {
		{"tracks 1 and 2 in one poll", {{0, 1, 20}, {0, 2, 15}}, "11111R00"},
		{"track 1 then track 2 two polls later", {{0, 1, 20}, {2, 2, 15}}, "1111111R00"},
		{"track 3 alone", {{0, 3, 30}}, "R00"},
		{"tracks 1 and 3 in one poll", {{0, 1, 20}, {0, 3, 30}}, "R00"},
		{"track 1, then track 3", {{0, 1, 20}, {3, 3, 30}}, "111R00"},
		{"0xFFFF restarts the wait", {{0, 1, 20}, {3, 2, 0xFFFF}}, "11111111R00"},
		{"0xFFFF alone holds nothing", {{0, 1, 0xFFFF}, {0, 2, 0xFFFF}}, "000"},
		{"a second read of track 1 that yields nothing clears it", {{0, 1, 20}, {2, 1, 513}}, "110000"},
	};
	for (int attachment : {TRVSIM_USB, TRVSIM_PS2}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(attachment == TRVSIM_USB ? "USB: " : "PS/2: ") + c.name);
			ResetLibraryState();
			trvsim_reset();
			OpenMsr();
			std::string got;
			for (int poll = 0; poll < static_cast<int>(c.polls.size()); ++poll) {
				std::uint16_t len[3] = {0, 0, 0};
				for (const auto &a : c.announce) {
					if (a.poll != poll)
						continue;
					len[a.track - 1] = a.length;
					if (a.length <= 255)
						QueueTrack(attachment, a.track, a.length);
				}
				const int before = jni.callbackCount(MSR_CALLBACK);
				const int result = Poll(attachment, len[0], len[1], len[2]);
				const int calls = jni.callbackCount(MSR_CALLBACK) - before;
				ASSERT_LE(calls, 1);
				if (calls == 1) {
					EXPECT_EQ(result, 0);
				}
				got += calls == 1 ? 'R' : static_cast<char>('0' + result);
			}
			EXPECT_EQ(got, c.polls);
		}
	}
}

TEST_F(MsrDataTest, ReportedSwipeHandsOutEveryTrackReadOnce)
{
	Bytes t1 = Str("%B4111111111111111^DOE/J^2512?");
	Bytes t2 = Str(";4111111111111111=2512?");
	Bytes t3 = Str(";0123456789?");
	trvsim_swipe_track(TRVSIM_USB, 1, t1.data(), t1.size());
	trvsim_swipe_track(TRVSIM_USB, 2, t2.data(), t2.size());
	trvsim_swipe_track(TRVSIM_USB, 3, t3.data(), t3.size());
	Bytes got1, got2, got3, got4;
	jni.onCallback(MSR_CALLBACK, [&](JNIEnv *, jobject) {
		got1 = Fetch(1);
		got2 = Fetch(2);
		got3 = Fetch(3);
		got4 = Fetch(4);
	});
	const auto n = [](const Bytes &b) { return static_cast<std::uint16_t>(b.size()); };
	EXPECT_EQ(Poll(TRVSIM_USB, n(t1), n(t2), 0), 1);
	EXPECT_EQ(Poll(TRVSIM_USB, 0, 0, n(t3)), 0);
	EXPECT_EQ(jni.callbackCount(MSR_CALLBACK), 1);
	EXPECT_EQ(got1, t1);
	EXPECT_EQ(got2, t2);
	EXPECT_EQ(got3, t3);
	EXPECT_TRUE(got4.empty());
	for (int track = 1; track <= 4; ++track)
		EXPECT_TRUE(Fetch(track).empty()) << "second fetch of track " << track;
}

TEST_F(MsrDataTest, UsbTrackReader)
{
	const struct {
		const char *name;
		std::uint8_t track;
		std::uint16_t length;  // announced
		std::size_t queued;    // bytes queued on the node
		bool fail;
		int result;
		std::int32_t trackLength; // afterwards; -1: unchanged from 5
	} cases[] = {
		{"whole track", 2, 40, 40, false, 1, 40},
		{"largest track", 3, 255, 255, false, 1, 255},
		{"256 is read off and discarded", 1, 256, 256, false, 1, 0},
		{"0xFFFE is read off and discarded", 2, 0xFFFE, 0xFFFE, false, 1, 0},
		{"0xFFFF is no length: nothing read", 1, 0xFFFF, 0, false, 0, -1},
		{"short read keeps what came", 1, 40, 10, false, 1, 10},
		{"failed read empties the track", 1, 40, 40, true, 0, 0},
		{"track 0", 0, 10, 0, false, 0, -1},
		{"track 4", 4, 10, 0, false, 0, -1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenMsr();
		std::uint8_t *bufs[] = {g_puchTrack1Data, g_puchTrack2Data, g_puchTrack3Data};
		std::int32_t *lens[] = {&g_nTrack1DataLength, &g_nTrack2DataLength, &g_nTrack3DataLength};
		for (int t = 0; t < 3; ++t) {
			std::fill_n(bufs[t], 5, 'x');
			*lens[t] = 5;
		}
		if (c.track >= 1 && c.track <= 3) {
			const Bytes bytes(c.queued, 'd');
			trvsim_swipe_track(TRVSIM_USB, c.track, bytes.data(), bytes.size());
		}
		if (c.fail)
			trvsim_fail_reads(TRVSIM_USB_MSR1 + c.track - 1, 1);

		EXPECT_EQ(HandleMSRTrackUSB(env, obj, msrMethod, c.track, c.length), c.result);
		if (c.track >= 1 && c.track <= 3 && !c.fail) {
			EXPECT_EQ(trvsim_queued(TRVSIM_USB_MSR1 + c.track - 1), 0u) << "the driver still holds it";
		}
		for (int t = 1; t <= 3; ++t) {
			const Bytes got = Fetch(t);
			if (t == c.track && c.trackLength >= 0) {
				EXPECT_EQ(got, Bytes(static_cast<std::size_t>(c.trackLength), 'd')) << "track " << t;
			}
			else
				EXPECT_EQ(got, Bytes(5, 'x')) << "track " << t;
		}
		EXPECT_TRUE(Fetch(4).empty());
	}
}

TEST_F(MsrDataTest, Ps2TrackIsFramedAsText)
{
	const struct {
		const char *name;
		std::uint8_t track;
		Bytes raw;
		int result;
		Bytes frame;
	} cases[] = {
		{"left Shift over b, then 1", 1, {0x2A, 0x30, 0xB0, 0xAA, 0x02, 0x82}, 1, Ps2Frame(1, "B1")},
		{"track 2 sentinel", 2, {0x1E, 0x9E}, 1, Ps2Frame(2, "a")},
		{"track 3 sentinel", 3, {0x0B, 0x8B, 0x39}, 1, Ps2Frame(3, "0 ")},
		{"break codes only", 2, {0xB0, 0x82, 0x9E}, 0, {}},
		{"no character keys", 1, {0x1C, 0x9C, 0x0F}, 0, {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenMsr();
		trvsim_swipe_track(TRVSIM_PS2, c.track, c.raw.data(), c.raw.size());
		EXPECT_EQ(HandleMSRTrackPS2(env, obj, msrMethod, c.track, static_cast<std::uint16_t>(c.raw.size())),
			  c.result);
		EXPECT_EQ(Fetch(c.track), c.frame);
	}
}

// A failed PS/2 track read empties that track, as the USB reader does: a
// swipe whose track 2 could not be read reports no track 2, never the one of
// an earlier card that was read and not fetched.
TEST_F(MsrDataTest, FailedPs2TrackReadEmptiesTheTrack)
{
	QueueTrack(TRVSIM_PS2, 2, 5);
	ASSERT_EQ(HandleMSRTrackPS2(env, obj, msrMethod, 2, 5), 1); // card A's track 2, never fetched

	std::vector<Bytes> reported;
	jni.onCallback(MSR_CALLBACK, [&](JNIEnv *, jobject) { reported = {Fetch(1), Fetch(2), Fetch(3)}; });
	QueueTrack(TRVSIM_PS2, 1, 4);
	QueueTrack(TRVSIM_PS2, 2, 6);
	QueueTrack(TRVSIM_PS2, 3, 3);
	trvsim_fail_reads(TRVSIM_PS2_MSR2, 1);
	EXPECT_EQ(Poll(TRVSIM_PS2, 4, 6, 3), 0);
	EXPECT_EQ(jni.callbackCount(MSR_CALLBACK), 1);
	EXPECT_EQ(reported, (std::vector<Bytes>{Ps2Frame(1, "aaaa"), {}, Ps2Frame(3, "aaa")}));
}

TEST_F(MsrDataTest, BreakOnlyPs2TrackCausesNoCallback)
{
	const Bytes raw{0xB0, 0x82};
	trvsim_swipe_track(TRVSIM_PS2, 2, raw.data(), raw.size());
	for (int poll = 0; poll < 8; ++poll)
		EXPECT_EQ(Poll(TRVSIM_PS2, 0, poll == 0 ? 2 : 0, 0), 0);
	EXPECT_EQ(jni.callbackCount(MSR_CALLBACK), 0);
	EXPECT_EQ(g_nTrack2DataLength, 0);
}

// A translation longer than the buffer can frame keeps its first 252
// characters; the frame always ends with '?' inside the 255-byte buffer.
TEST_F(MsrDataTest, LongPs2TranslationIsCutTo252Characters)
{
	const struct {
		std::size_t makes;
		std::size_t chars;
	} cases[] = {{251, 251}, {252, 252}, {253, 252}, {512, 252}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.makes);
		ResetLibraryState();
		trvsim_reset();
		OpenMsr();
		// Digits 1..9 in turn, so a cut at the wrong place shows.
		Bytes raw(c.makes);
		std::string expected;
		for (std::size_t i = 0; i < raw.size(); ++i) {
			raw[i] = static_cast<std::uint8_t>(0x02 + i % 9);
			if (i < c.chars)
				expected += static_cast<char>('1' + i % 9);
		}
		trvsim_swipe_track(TRVSIM_PS2, 1, raw.data(), raw.size());
		EXPECT_EQ(HandleMSRTrackPS2(env, obj, msrMethod, 1, static_cast<std::uint16_t>(raw.size())), 1);
		EXPECT_EQ(Fetch(1), Ps2Frame(1, expected));
	}
	EXPECT_EQ(HandleMSRTrackPS2(env, obj, msrMethod, 1, 513), 0);
}

// Both attachments fill the same track buffers; a failed read on either
// empties the track, whichever attachment filled it.
TEST_F(MsrDataTest, AttachmentsShareTheTrackBuffers)
{
	const Bytes usb = Str("USBTRACK");
	const Bytes ps2{0x30, 0xB0};
	trvsim_swipe_track(TRVSIM_PS2, 1, ps2.data(), ps2.size());
	trvsim_swipe_track(TRVSIM_USB, 1, usb.data(), usb.size());

	ASSERT_EQ(Poll(TRVSIM_PS2, 2, 0, 0), 1);
	EXPECT_EQ(g_nTrack1DataLength, 4);
	ASSERT_EQ(Poll(TRVSIM_USB, 8, 0, 0), 1);
	EXPECT_EQ(Fetch(1), usb);

	trvsim_swipe_track(TRVSIM_USB, 1, usb.data(), usb.size());
	ASSERT_EQ(HandleMSRTrackUSB(env, obj, msrMethod, 1, 8), 1);
	trvsim_swipe_track(TRVSIM_PS2, 1, ps2.data(), ps2.size());
	trvsim_fail_reads(TRVSIM_PS2_MSR1, 1);
	EXPECT_EQ(HandleMSRTrackPS2(env, obj, msrMethod, 1, 2), 0);
	EXPECT_TRUE(Fetch(1).empty());

	// The two aggregation states are independent: each reports its own
	// swipe in the fifth poll after its own announcement.
	int usbReport = -1;
	int ps2Report = -1;
	for (int poll = 0; poll < 8; ++poll) {
		const int before = jni.callbackCount(MSR_CALLBACK);
		Poll(TRVSIM_PS2, 0, 0, 0);
		if (jni.callbackCount(MSR_CALLBACK) > before)
			ps2Report = poll;
		const int mid = jni.callbackCount(MSR_CALLBACK);
		Poll(TRVSIM_USB, 0, 0, 0);
		if (jni.callbackCount(MSR_CALLBACK) > mid)
			usbReport = poll;
	}
	EXPECT_EQ(ps2Report, 4);
	EXPECT_EQ(usbReport, 4);
}

TEST_F(MsrDataTest, NothingIsReadWhileTheMsrIsClosed)
{
	QueueTrack(TRVSIM_USB, 1, 10);
	QueueTrack(TRVSIM_PS2, 1, 10);
	g_bMsrOpened = 0;
	EXPECT_EQ(Poll(TRVSIM_USB, 10, 0, 0), 0);
	EXPECT_EQ(Poll(TRVSIM_PS2, 10, 0, 0), 0);
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_MSR1) + trvsim_reads(TRVSIM_PS2_MSR1), 0);
	EXPECT_EQ(jni.callbackCount(MSR_CALLBACK), 0);
}

TEST_F(MsrDataTest, FailedArrayCreationKeepsTheTrackPending)
{
	QueueTrack(TRVSIM_USB, 2, 12);
	ASSERT_EQ(HandleMSRTrackUSB(env, obj, msrMethod, 2, 12), 1);
	jni.failNewArrays(true);
	EXPECT_EQ(TRV_JNI(getMsrTrack2Data)(env, obj), nullptr);
	EXPECT_FALSE(jni.exceptionPending());
	EXPECT_EQ(g_nTrack2DataLength, 12);
	jni.failNewArrays(false);
	EXPECT_EQ(Fetch(2), Bytes(12, 'a'));
}

// Every report carries the tracks of one swipe only: a track of the last
// report that Java did not fetch is dropped when the next swipe begins.
TEST_F(MsrDataTest, TracksNotFetchedAreDroppedWhenTheNextSwipeBegins)
{
	const Bytes a1 = Str("%B4000123412341234^A/CARD^29?"), a2 = Str(";4000123412341234=29?");
	const Bytes b2 = Str(";5100999988887777=31?");
	Bytes got1, got2;
	jni.onCallback(MSR_CALLBACK, [&](JNIEnv *, jobject) { got2 = Fetch(2); }); // wants track 2 only
	trvsim_swipe_track(TRVSIM_USB, 1, a1.data(), a1.size());
	trvsim_swipe_track(TRVSIM_USB, 2, a2.data(), a2.size());
	Poll(TRVSIM_USB, static_cast<std::uint16_t>(a1.size()), static_cast<std::uint16_t>(a2.size()), 0);
	for (int i = 0; i < 5; ++i)
		Poll(TRVSIM_USB, 0, 0, 0);
	ASSERT_EQ(jni.callbackCount(MSR_CALLBACK), 1);
	EXPECT_EQ(got2, a2);

	jni.onCallback(MSR_CALLBACK, [&](JNIEnv *, jobject) {
		got1 = Fetch(1);
		got2 = Fetch(2);
	});
	trvsim_swipe_track(TRVSIM_USB, 2, b2.data(), b2.size());
	Poll(TRVSIM_USB, 0, static_cast<std::uint16_t>(b2.size()), 0);
	for (int i = 0; i < 5; ++i)
		Poll(TRVSIM_USB, 0, 0, 0);
	ASSERT_EQ(jni.callbackCount(MSR_CALLBACK), 2);
	EXPECT_TRUE(got1.empty()) << "card A's track 1 came with card B";
	EXPECT_EQ(got2, b2);
}

// Card data does not linger in the library: once a track has been handed to
// Java, discarded or dropped, none of its bytes is left in the library's
// writable memory (its static buffers) or in a staging copy it holds.
TEST_F(MsrDataTest, CardBytesAreWipedOnceHandedOutDiscardedOrDropped)
{
	enum Step { FETCH_ALL, NEXT_SWIPE, REOPEN };
	const struct {
		const char *name;
		int attachment;
		Bytes raw;    // what the node delivers
		Bytes card;   // what must not be found afterwards
		Step after;
	} cases[] = {
		{"USB, fetched", TRVSIM_USB, Str("%B4929000011112222^HOLDER/A^2712?"),
		 Str("%B4929000011112222^HOLDER/A^2712?"), FETCH_ALL},
		// 0x02..0x0A are the make codes of "1".."9".
		{"PS/2, fetched", TRVSIM_PS2, {0x05, 0x0A, 0x03, 0x0A, 0x02, 0x02, 0x02, 0x02, 0x03, 0x03},
		 Str("4929111122"), FETCH_ALL},
		{"USB, dropped when the next swipe begins", TRVSIM_USB, Str(";4929333344445555=27120?"),
		 Str(";4929333344445555=27120?"), NEXT_SWIPE},
		{"USB, oversize, discarded", TRVSIM_USB, Bytes(300, '7'), Bytes(300, '7'), FETCH_ALL},
		{"USB, dropped when the MSR opens", TRVSIM_USB, Str(";4929666677778888=27120?"),
		 Str(";4929666677778888=27120?"), REOPEN},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenMsr();
		std::vector<std::pair<const std::uint8_t *, std::size_t>> staged;
		jni.onCallback(MSR_CALLBACK, [&](JNIEnv *, jobject) {
			if (c.after != FETCH_ALL)
				return;
			for (int t = 1; t <= 3; ++t)
				(void)Fetch(t);
			for (std::uint8_t *p : {g_pJavaTrack1Data, g_pJavaTrack2Data, g_pJavaTrack3Data})
				if (p != nullptr)
					staged.emplace_back(p, c.card.size());
		});
		const int before = jni.callbackCount(MSR_CALLBACK);
		trvsim_swipe_track(c.attachment, 3, c.raw.data(), c.raw.size());
		Poll(c.attachment, 0, 0, static_cast<std::uint16_t>(c.raw.size()));
		ASSERT_EQ(jni.callbackCount(MSR_CALLBACK) - before, 1);
		if (c.after == NEXT_SWIPE) {
			const Bytes other = Str(";1111=1?");
			trvsim_swipe_track(c.attachment, 2, other.data(), other.size());
			Poll(c.attachment, 0, static_cast<std::uint16_t>(other.size()), 0);
		} else if (c.after == REOPEN) {
			TRV_JNI(closeMSR)(env, obj);
			ASSERT_EQ(TRV_JNI(openMSR)(env, obj, nullptr), 4660);
		}
		const auto regions = cardmem::WritableSegments("");
		EXPECT_EQ(cardmem::CountCardBytes(regions, c.card), 0u) << "in the library's static memory";
		for (const auto &[p, n] : staged) {
			const cardmem::Region block{p, n};
			EXPECT_EQ(cardmem::CountCardBytes({&block, 1}, c.card), 0u) << "in a staging copy";
		}
		jni.onCallback(MSR_CALLBACK, nullptr);
		TRV_JNI(closeMSR)(env, obj);
	}
}

} // namespace
} // namespace datapaths
