// swipetype with the real track decoder: what a swipe types, in which
// order, within the record's bounds and the ring's capacity.
#include "msrdrv_test_util.h"

#include <map>

using namespace msrtest;

namespace {

class Swipe : public QueueFixture {
protected:
	std::vector<uint16_t> type(const Bytes &record)
	{
		swipetype(&dev, record.data());
		kstub::drain();
		return reported_values();
	}
};

// kbd_scancode entries as published for the German layout, by character.
const std::map<char, uint16_t> kLayout = {
	{' ', 0x0039}, {'!', 0x0102}, {'"', 0x0103}, {'#', 0x002B}, {'$', 0x0105},
	{'%', 0x0106}, {'&', 0x0107}, {'\'', 0x000D}, {'(', 0x0109}, {')', 0x010A},
	{'*', 0x011B}, {'+', 0x001B}, {',', 0x0033}, {'-', 0x0035}, {'.', 0x0034},
	{'/', 0x0108}, {'0', 0x000B}, {'1', 0x0002}, {'2', 0x0003}, {'3', 0x0004},
	{'4', 0x0005}, {'5', 0x0006}, {'6', 0x0007}, {'7', 0x0008}, {'8', 0x0009},
	{'9', 0x000A}, {':', 0x0134}, {';', 0x0133}, {'<', 0x0056}, {'=', 0x010B},
	{'>', 0x0156}, {'?', 0x010C}, {'@', 0x0410}, {'A', 0x011E}, {'B', 0x0130},
	{'C', 0x012E}, {'D', 0x0120}, {'E', 0x0112}, {'F', 0x0121}, {'G', 0x0122},
	{'H', 0x0123}, {'I', 0x0117}, {'J', 0x0124}, {'K', 0x0125}, {'L', 0x0126},
	{'M', 0x0132}, {'N', 0x0131}, {'O', 0x0118}, {'P', 0x0119}, {'Q', 0x0110},
	{'R', 0x0113}, {'S', 0x011F}, {'T', 0x0114}, {'U', 0x0116}, {'V', 0x012F},
	{'W', 0x0111}, {'X', 0x012D}, {'Y', 0x012C}, {'Z', 0x0115}, {'[', 0x0409},
	{'\\', 0x040C}, {']', 0x040A}, {'^', 0x0029}, {'_', 0x0135}, {'~', 0x041B},
};

// Queued values that type @text (sentinels included) and Enter.
std::vector<uint16_t> typed(const std::string &text)
{
	std::vector<uint16_t> out;
	for (char ch : text) {
		uint16_t e = kLayout.at(ch), key = e & 0xff;
		if (e & 0x400)
			out.push_back(0x164);
		if (e & 0x100)
			out.push_back(0x12A);
		out.push_back(0x100 | key);
		out.push_back(key);
		if (e & 0x100)
			out.push_back(0x2A);
		if (e & 0x400)
			out.push_back(0x64);
	}
	out.push_back(0x11C);
	out.push_back(0x1C);
	return out;
}

TEST(KbdScancode, FollowsTheGermanLayoutCharacterForCharacter)
{
	for (int c = 0; c < 256; ++c) {
		auto it = kLayout.find(static_cast<char>(c));
		uint16_t want = (c < 0x80 && it != kLayout.end()) ? it->second : 0;
		EXPECT_EQ(kbd_scancode[c], want) << "character 0x" << std::hex << c;
	}
}

TEST(InvertTrack, ReversesTheBitStream)
{
	struct {
		Bytes in, out;
	} cases[] = {
		{{0x01, 0xC0}, {0x03, 0x80}},
		{{0x01}, {0x80}},
		{{0xA5, 0x0F, 0x12}, {0x48, 0xF0, 0xA5}},
		{{}, {}},
	};
	for (const auto &c : cases) {
		Bytes out(c.in.size() + 1, 0xEE);
		inverttrack(c.in.data(), out.data(), static_cast<unsigned char>(c.in.size()));
		EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.out);
		EXPECT_EQ(out.back(), 0xEE) << "wrote past the reversed track";
	}
}

TEST_F(Swipe, PresskeysQueuesModifiersAroundTheKey)
{
	struct {
		uint16_t kcode;
		std::vector<uint16_t> values;
	} cases[] = {
		{kbd_scancode['%'], {0x12A, 0x106, 0x06, 0x2A}},
		{kbd_scancode['@'], {0x164, 0x110, 0x10, 0x64}},
		{kbd_scancode['a'], {0x100, 0x00}},
		{kbd_scancode['7'], {0x108, 0x08}},
		{0x200 | KEY_C, {0x11D, 0x12E, 0x2E, 0x1D}},
		{0x700 | KEY_A, {0x164, 0x11D, 0x12A, 0x11E, 0x1E, 0x2A, 0x1D, 0x64}},
	};
	for (const auto &c : cases) {
		kstub::reset();
		presskeys(&dev, c.kcode);
		kstub::drain();
		EXPECT_EQ(reported_values(), c.values) << "entry 0x" << std::hex << c.kcode;
	}
}

TEST_F(Swipe, EmptyRecordStartsASwipeAndQueuesNothing)
{
	Bits bits = encode_bits(2, ";1?");
	unsigned char ss, es;
	char card;
	Bytes t = pack(bits);
	ASSERT_EQ(CDecode_InterpreteSingleTrack(2, t.size(), t.data(), &ss, &es, 1, &card), 0);

	Bytes rec = make_record({}, {}, {});
	ASSERT_EQ(rec.size(), 3u);
	EXPECT_TRUE(type(rec).empty());
	unsigned char out[CDECODE_MAX_CHARS];
	EXPECT_EQ(CDecode_GetTrackData(out), 0) << "the decoder was not told of the new swipe";
	EXPECT_FALSE(kstub::any_timer_pending());
}

TEST_F(Swipe, Track2TypesEighteenEventsInEitherSwipeDirection)
{
	const std::vector<uint16_t> expected = {
		0x12A, 0x133, 0x33, 0x2A, 0x102, 0x02, 0x103, 0x03, 0x104,
		0x04, 0x105, 0x05, 0x12A, 0x10C, 0x0C, 0x2A, 0x11C, 0x1C,
	};
	Bits bits = encode_bits(2, ";1234?");
	for (const Bytes &raw : {pack_reversed(bits), pack(bits)}) {
		kstub::reset();
		EXPECT_EQ(type(make_record({}, raw, {})), expected);
	}
}

TEST_F(Swipe, TracksAreTypedInOrderEachFollowedByEnter)
{
	struct {
		std::string t1, t2, t3;
	} cases[] = {
		{"%B4111111111111111^MUSTERMANN/ERIKA^2512101?", ";4111111111111111=2512101?",
		 ";011234567890=0123456789<>:?"},
		{"%A@[\\]_ #$&()*+,-./?", "", ""},
		{"", "", ";0?"},
		{"%?", ";?", ""},
	};
	for (const auto &c : cases) {
		kstub::reset();
		Bytes t1, t2, t3;
		std::vector<uint16_t> expected;
		if (!c.t1.empty()) {
			t1 = pack_reversed(encode_bits(1, c.t1));
			expected = typed(c.t1);
		}
		if (!c.t2.empty()) {
			t2 = pack(encode_bits(2, c.t2));
			auto more = typed(c.t2);
			expected.insert(expected.end(), more.begin(), more.end());
		}
		if (!c.t3.empty()) {
			t3 = pack_reversed(encode_bits(3, c.t3));
			auto more = typed(c.t3);
			expected.insert(expected.end(), more.begin(), more.end());
		}
		auto got = type(make_record(t1, t2, t3));
		EXPECT_EQ(got, expected) << c.t1 << " " << c.t2 << " " << c.t3;
		EXPECT_TRUE(balanced(got));
	}
}

TEST_F(Swipe, UndecodableTrackTypesItsSentinelsAndEnter)
{
	Encoding bad;
	bad.lrc_flip = 1;
	auto got = type(make_record({}, pack(encode_bits(2, ";1234?", bad)), {}));
	EXPECT_EQ(got, typed(";?"));
}

TEST_F(Swipe, LengthBytesBeyondTheirRegionAreClamped)
{
	Bytes t1 = pack(encode_bits(1, "%CLAMPED?"));
	t1.resize(SWIPE_TRACK1_ROOM, 0);
	Bytes t2 = pack(encode_bits(2, ";42?"));
	t2.resize(SWIPE_TRACK2_ROOM, 0);
	Bytes rec = make_record(t1, t2, {});
	rec[0] = 200;
	rec[1] = 255;
	ASSERT_EQ(swipe_record_size(rec.data()), rec.size());
	// The record ends where track 2's room ends: reading on would leave it.
	auto got = type(rec);
	auto expected = typed("%CLAMPED?");
	auto more = typed(";42?");
	expected.insert(expected.end(), more.begin(), more.end());
	EXPECT_EQ(got, expected);
}

TEST(SwipeRecordSize, CoversTheLastAnnouncedTrack)
{
	struct {
		uint8_t len[3];
		size_t size;
	} cases[] = {
		{{0, 0, 0}, 3},   {{10, 0, 0}, 13},  {{200, 0, 0}, 90}, {{0, 5, 0}, 95},
		{{9, 200, 0}, 139}, {{0, 0, 1}, 140}, {{87, 49, 255}, 394},
	};
	for (const auto &c : cases)
		EXPECT_EQ(swipe_record_size(c.len), c.size)
			<< int(c.len[0]) << "/" << int(c.len[1]) << "/" << int(c.len[2]);
}

TEST_F(Swipe, ASwipeIsQueuedWholeOrNotAtAll)
{
	auto record = [](const std::string &t1, const std::string &t3) {
		Encoding e{.lead = 4, .trail = 0};
		return make_record(t1.empty() ? Bytes{} : pack(encode_bits(1, t1, e)), {},
				   t3.empty() ? Bytes{} : pack(encode_bits(3, t3, e)));
	};
	std::string a = "%" + std::string(80, 'M') + "?";	// 330 events
	std::string b = ";" + std::string(180, '=') + "?";	// 730 events
	std::string c = ";" + std::string(250, '=') + "?";	// 1010 events

	ASSERT_EQ(swipetype(&dev, record(a, "").data()), 0);
	auto calls = kstub::timer_calls().size();
	EXPECT_EQ(swipetype(&dev, record("", b).data()), -ENOSPC) << "330 + 730 > 1023";
	EXPECT_EQ(kstub::timer_calls().size(), calls) << "the refused swipe touched the timer";
	EXPECT_EQ(swipetype(&dev, record(a, c).data()), -EMSGSIZE) << "can never fit";
	kstub::drain();
	EXPECT_EQ(reported_values(), typed(a)) << "the queued swipe whole, nothing of the others";

	kstub::reset();
	EXPECT_EQ(swipetype(&dev, record("", b).data()), 0) << "fits once the ring drained";
	kstub::drain();
	EXPECT_EQ(reported_values(), typed(b));
}

TEST_F(Swipe, SwipeIntoANearlyFullRingQueuesNothingOfIt)
{
	for (int i = 0; i < SWIPE_QUEUE_SIZE - 4; ++i)
		intobuffer(&dev, i & 1 ? 0x1E : 0x11E);
	// "%" needs four entries, only three are left; Enter would fit but
	// belongs to the dropped rest of the swipe.
	EXPECT_EQ(swipetype(&dev, make_record(pack(encode_bits(1, "%A?")), {}, {}).data()), -ENOSPC);
	kstub::drain();
	auto got = reported_values();
	EXPECT_EQ(got.size(), static_cast<size_t>(SWIPE_QUEUE_SIZE - 4));
	EXPECT_TRUE(balanced(got));
}

}  // namespace
