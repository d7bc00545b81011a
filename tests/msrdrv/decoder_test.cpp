// The ISO/IEC 7811 track decoder on encoded streams, sound and damaged.
#include "msrdrv_test_util.h"

using namespace msrtest;

namespace {

struct Result {
	unsigned char rc, ss, es;
	char card;
	std::string chars;
};

Result decode(int track, const Bytes &raw, int format = CDECODE_FORMAT_ISO)
{
	Result r{0xEE, 0xEE, 0xEE, 'x', {}};
	r.rc = CDecode_InterpreteSingleTrack(track, static_cast<unsigned char>(raw.size()),
					     raw.data(), &r.ss, &r.es, format, &r.card);
	unsigned char out[CDECODE_MAX_CHARS];
	int n = CDecode_GetTrackData(out);
	EXPECT_GE(n, 0);
	EXPECT_LE(n, CDECODE_MAX_CHARS);
	r.chars.assign(reinterpret_cast<char *>(out), static_cast<size_t>(std::max(n, 0)));
	return r;
}

TEST(Decoder, DecodesEachTrackFormatAfterAnyNumberOfClockZeros)
{
	struct {
		int track;
		std::string text;
		unsigned lead, trail;
	} cases[] = {
		{1, "%B4111111111111111^MUSTERMANN/ERIKA^2512101000?", 20, 20},
		{1, "%?", 0, 0},
		{1, "% !\"#$&'()*+,-./0123456789:;<=>@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_?", 1, 3},
		{2, ";4111111111111111=2512101?", 13, 7},
		{2, ";0123456789:<=>?", 0, 0},
		{3, ";011234567890123=0=?", 7, 1},
		{3, ";?", 30, 0},
	};
	for (const auto &c : cases) {
		Encoding e;
		e.lead = c.lead;
		e.trail = c.trail;
		Result r = decode(c.track, pack(encode_bits(c.track, c.text, e)));
		EXPECT_EQ(r.rc, CDECODE_OK) << c.text;
		EXPECT_EQ(r.ss, static_cast<unsigned char>(c.text.front())) << c.text;
		EXPECT_EQ(r.es, '?') << c.text;
		EXPECT_EQ(r.card, CDECODE_CARD_ISO) << c.text;
		EXPECT_EQ(r.chars, c.text.substr(1, c.text.size() - 2)) << c.text;
	}
}

TEST(Decoder, RejectsDamagedStreamsButStillReportsTheSentinels)
{
	auto with = [](auto change) {
		Encoding e;
		change(e);
		return e;
	};
	struct {
		const char *what;
		int track;
		Bytes raw;
		unsigned char rc;
	} cases[] = {
		{"parity of a data character", 2,
		 pack(encode_bits(2, ";1234?", with([](Encoding &e) { e.bad_parity_at = 2; }))),
		 CDECODE_ERR_PARITY},
		{"parity of the start sentinel", 1,
		 pack(encode_bits(1, "%AB?", with([](Encoding &e) { e.bad_parity_at = 0; }))),
		 CDECODE_ERR_START},
		{"wrong LRC", 1,
		 pack(encode_bits(1, "%AB?", with([](Encoding &e) { e.lrc_flip = 4; }))),
		 CDECODE_ERR_LRC},
		{"missing LRC", 3,
		 pack(encode_bits(3, ";12?", with([](Encoding &e) {
			e.with_lrc = false;
			e.trail = 0;
		 }))),
		 CDECODE_ERR_LRC},
		{"no end sentinel", 2, pack(encode_bits(2, ";1234", with([](Encoding &e) {
			e.with_lrc = false;
			e.trail = 0;
		 }))),
		 CDECODE_ERR_END},
		{"only clock zeros", 2, Bytes(12, 0), CDECODE_ERR_START},
		{"no data at all", 2, Bytes{}, CDECODE_ERR_START},
		{"track 1 stream read as track 2", 2, pack(encode_bits(1, "%AB?")), CDECODE_ERR_START},
		{"backwards stream", 2, pack_reversed(encode_bits(2, ";1234?")), CDECODE_ERR_START},
	};
	for (const auto &c : cases) {
		Result r = decode(c.track, c.raw);
		EXPECT_EQ(r.rc, c.rc) << c.what;
		EXPECT_EQ(r.ss, c.track == 1 ? '%' : ';') << c.what;
		EXPECT_EQ(r.es, '?') << c.what;
		EXPECT_EQ(r.card, CDECODE_CARD_NONE) << c.what;
		EXPECT_EQ(r.chars, "") << c.what;
	}
}

TEST(Decoder, RefusesUnknownTracksAndFormats)
{
	Bytes raw = pack(encode_bits(2, ";1?"));
	struct {
		int track, format;
		unsigned char ss;
	} cases[] = {{0, 1, 0}, {4, 1, 0}, {-1, 1, 0}, {2, 0, ';'}, {2, 2, ';'}};
	for (const auto &c : cases) {
		Result r = decode(c.track, raw, c.format);
		EXPECT_EQ(r.rc, CDECODE_ERR_ARGS) << c.track << "/" << c.format;
		EXPECT_EQ(r.ss, c.ss);
		EXPECT_EQ(r.chars, "");
	}
}

TEST(Decoder, HoldsAtMost256Characters)
{
	for (size_t n : {255u, 256u, 257u}) {
		std::string text = ";" + std::string(n, '5') + "?";
		Encoding e;
		e.lead = 2;
		e.trail = 0;
		Bytes raw = pack(encode_bits(3, text, e));
		ASSERT_LE(raw.size(), 255u);
		Result r = decode(3, raw);
		if (n <= CDECODE_MAX_CHARS) {
			EXPECT_EQ(r.rc, CDECODE_OK) << n;
			EXPECT_EQ(r.chars.size(), n);
		} else {
			EXPECT_EQ(r.rc, CDECODE_ERR_LENGTH) << n;
			EXPECT_EQ(r.chars, "");
		}
	}
}

TEST(Decoder, ANewSwipeForgetsTheLastTrack)
{
	ASSERT_EQ(decode(2, pack(encode_bits(2, ";99?"))).chars, "99");
	CDecode_CDecode();
	unsigned char out[CDECODE_MAX_CHARS];
	EXPECT_EQ(CDecode_GetTrackData(out), 0);
}

}  // namespace
