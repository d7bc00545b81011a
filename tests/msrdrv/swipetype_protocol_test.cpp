// How swipetype drives the track decoder: call order, reading direction,
// arguments, and the bounds it keeps whatever the decoder reports.
#include "fake_decoder.h"
#include "msrdrv_test_util.h"

using namespace msrtest;
using fake_decoder::Call;
using fake_decoder::state;

namespace {

class Protocol : public QueueFixture {
protected:
	void SetUp() override
	{
		QueueFixture::SetUp();
		fake_decoder::reset();
	}
	std::vector<uint16_t> type(const Bytes &record)
	{
		swipetype(&dev, record.data());
		kstub::drain();
		return reported_values();
	}
	static std::vector<Call> interprets()
	{
		std::vector<Call> out;
		for (const auto &c : state.calls)
			if (c.kind == Call::Interpret)
				out.push_back(c);
		return out;
	}
};

const std::vector<uint16_t> kSentinelsAndEnter = {0x12A, 0x133, 0x33, 0x2A, 0x12A,
						  0x10C, 0x0C, 0x2A, 0x11C, 0x1C};

TEST_F(Protocol, ReversedReadingFirstForwardReadingOnlyWhenItFails)
{
	struct {
		std::vector<unsigned char> results;
		size_t calls;
	} cases[] = {{{0}, 1}, {{1}, 2}, {{7, 0}, 2}, {{1, 1}, 2}};
	for (const auto &c : cases) {
		fake_decoder::reset();
		state.results = c.results;
		type(make_record({}, {0x01, 0xC0}, {}));
		auto calls = interprets();
		ASSERT_EQ(calls.size(), c.calls);
		EXPECT_EQ(calls[0].data, (Bytes{0x03, 0x80})) << "reversed reading first";
		for (const auto &call : calls) {
			EXPECT_EQ(call.track, 2);
			EXPECT_EQ(call.length, 2u);
			EXPECT_EQ(call.format, 1);
		}
		if (c.calls == 2) {
			EXPECT_EQ(calls[1].data, (Bytes{0x01, 0xC0})) << "then the forward reading";
		}
	}
}

TEST_F(Protocol, OneResetPerSwipeThenEachPresentTrackInOrder)
{
	struct {
		Bytes t1, t2, t3;
		std::vector<int> tracks;
	} cases[] = {
		{{}, {}, {}, {}},
		{{}, {0x0B}, {}, {2}},
		{{0x01}, {0x02}, {0x03}, {1, 2, 3}},
		{{0x01}, {}, {0x03, 0x04}, {1, 3}},
	};
	for (const auto &c : cases) {
		fake_decoder::reset();
		kstub::reset();
		auto got = type(make_record(c.t1, c.t2, c.t3));
		ASSERT_FALSE(state.calls.empty());
		EXPECT_EQ(state.calls.front().kind, Call::Reset);
		std::vector<int> tracks;
		for (size_t i = 1; i < state.calls.size(); ++i) {
			EXPECT_NE(state.calls[i].kind, Call::Reset);
			if (state.calls[i].kind == Call::Interpret)
				tracks.push_back(state.calls[i].track);
		}
		EXPECT_EQ(tracks, c.tracks);
		EXPECT_EQ(got.size(), kSentinelsAndEnter.size() * c.tracks.size())
			<< "sentinels and one Enter per present track, nothing for absent ones";
	}
}

TEST_F(Protocol, TypesWhatTheDecoderDeliversEvenWhenBothReadingsFail)
{
	state.results = {1, 1};
	state.chars = "1a";
	state.count = 2;
	auto got = type(make_record({}, {0x55}, {}));
	const std::vector<uint16_t> expected = {0x12A, 0x133, 0x33, 0x2A, 0x102, 0x02, 0x100,
						0x00,  0x12A, 0x10C, 0x0C, 0x2A, 0x11C, 0x1C};
	EXPECT_EQ(got, expected) << "the lower-case letter is key code 0";
}

TEST_F(Protocol, DecodedCountOutsideItsRangeIsClamped)
{
	struct {
		int count;
		size_t chars;
	} cases[] = {{-5, 0}, {0, 0}, {256, 256}, {300, 256}, {1 << 30, 256}};
	for (const auto &c : cases) {
		fake_decoder::reset();
		kstub::reset();
		state.chars = std::string(256, '0');
		state.count = c.count;
		state.start_sentinel = state.end_sentinel = '0';
		auto got = type(make_record({}, {}, {0x01}));
		EXPECT_EQ(got.size(), 2 * (c.chars + 2) + 2) << "count " << c.count;
	}
}

TEST_F(Protocol, OversizedLengthBytesReachTheDecoderClampedToTheirRoom)
{
	Bytes rec = make_record(Bytes(SWIPE_TRACK1_ROOM, 0x11), Bytes(SWIPE_TRACK2_ROOM, 0x22),
				Bytes(3, 0x33));
	rec[0] = 255;
	rec[1] = 50;
	type(rec);
	auto calls = interprets();
	ASSERT_EQ(calls.size(), 3u);
	EXPECT_EQ(calls[0].length, static_cast<unsigned>(SWIPE_TRACK1_ROOM));
	EXPECT_EQ(calls[0].data, Bytes(SWIPE_TRACK1_ROOM, 0x88)) << "only track 1's own bytes";
	EXPECT_EQ(calls[1].length, static_cast<unsigned>(SWIPE_TRACK2_ROOM));
	EXPECT_EQ(calls[1].data, Bytes(SWIPE_TRACK2_ROOM, 0x44)) << "only track 2's own bytes";
	EXPECT_EQ(calls[2].data, Bytes(3, 0xCC));
}

}  // namespace
