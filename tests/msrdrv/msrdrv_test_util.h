// Helpers for the swipetype tests: an ISO/IEC 7811 track encoder written
// independently of the driver's decoder, and views of the recorded events.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <linux/input.h>

#include "kstub.h"

extern "C" {
#include "cdecode.h"
#include "swipetype.h"
}

namespace msrtest {

using Bits = std::vector<bool>;
using Bytes = std::vector<uint8_t>;

// Bits per character including parity, and the code of data value 0.
inline unsigned char_bits(int track) { return track == 1 ? 7 : 5; }
inline unsigned char_base(int track) { return track == 1 ? 0x20 : 0x30; }

// Appends one character: data bits least significant first, then odd parity.
inline void put_char(Bits &bits, int track, unsigned value, bool bad_parity = false)
{
	unsigned width = char_bits(track) - 1, ones = 0;
	for (unsigned i = 0; i < width; ++i) {
		bool b = (value >> i) & 1;
		bits.push_back(b);
		ones += b;
	}
	bits.push_back(((ones & 1) == 0) != bad_parity);
}

struct Encoding {
	unsigned lead = 10;	// clock zeros before the start sentinel
	unsigned trail = 10;	// clock zeros after the LRC
	bool with_lrc = true;
	int lrc_flip = 0;	// xor into the LRC value (0: correct)
	int bad_parity_at = -1;	// index into text whose parity bit is wrong
};

// Bit stream of @text, which includes its sentinels, followed by the LRC.
inline Bits encode_bits(int track, const std::string &text, const Encoding &e = {})
{
	Bits bits(e.lead, false);
	unsigned lrc = 0;
	for (size_t i = 0; i < text.size(); ++i) {
		unsigned v = static_cast<unsigned char>(text[i]) - char_base(track);
		lrc ^= v;
		put_char(bits, track, v, static_cast<int>(i) == e.bad_parity_at);
	}
	if (e.with_lrc)
		put_char(bits, track, lrc ^ e.lrc_flip);
	bits.insert(bits.end(), e.trail, false);
	return bits;
}

// Packs a stream, first bit into bit 0 of the first byte.
inline Bytes pack(const Bits &bits)
{
	Bytes out((bits.size() + 7) / 8, 0);
	for (size_t i = 0; i < bits.size(); ++i)
		if (bits[i])
			out[i / 8] |= 1u << (i % 8);
	return out;
}

// The same stream read from its other end, as a backwards swipe delivers it.
inline Bytes pack_reversed(Bits bits)
{
	bits.resize((bits.size() + 7) / 8 * 8, false);
	return pack(Bits(bits.rbegin(), bits.rend()));
}

// A SwipeRecord holding the given raw tracks, exactly as long as it needs.
inline Bytes make_record(const Bytes &t1, const Bytes &t2, const Bytes &t3)
{
	Bytes rec(SWIPE_TRACK3_OFFSET + t3.size(), 0);
	rec[0] = static_cast<uint8_t>(t1.size());
	rec[1] = static_cast<uint8_t>(t2.size());
	rec[2] = static_cast<uint8_t>(t3.size());
	std::copy(t1.begin(), t1.end(), rec.begin() + SWIPE_TRACK1_OFFSET);
	std::copy(t2.begin(), t2.end(), rec.begin() + SWIPE_TRACK2_OFFSET);
	std::copy(t3.begin(), t3.end(), rec.begin() + SWIPE_TRACK3_OFFSET);
	rec.resize(swipe_record_size(rec.data()));
	return rec;
}

// Reported key events as queued values (0x100 | code for a press), after
// checking that every key event is followed by a SYN_REPORT.
inline std::vector<uint16_t> reported_values()
{
	std::vector<uint16_t> out;
	auto ev = kstub::events();
	for (size_t i = 0; i < ev.size(); ++i) {
		const kstub::Event &key = ev[i];
		if (key.type != EV_KEY) {
			ADD_FAILURE() << "event " << i << " of type " << key.type
				      << " without a key event before it";
			continue;
		}
		out.push_back(static_cast<uint16_t>((key.value ? 0x100 : 0) | key.code));
		if (i + 1 < ev.size() && ev[i + 1].type == EV_SYN && ev[i + 1].code == SYN_REPORT &&
		    ev[i + 1].at == key.at)
			++i;
		else
			ADD_FAILURE() << "key event " << i << " not followed by SYN_REPORT";
	}
	return out;
}

// True when no key is pressed twice, released unpressed, or left pressed.
inline bool balanced(const std::vector<uint16_t> &values)
{
	std::set<unsigned> down;
	for (uint16_t v : values) {
		unsigned code = v & 0xff;
		if (v & 0x100) {
			if (!down.insert(code).second)
				return false;
		} else if (!down.erase(code)) {
			return false;
		}
	}
	return down.empty();
}

// Queue set up fresh for every test and drained and stopped afterwards.
class QueueFixture : public ::testing::Test {
protected:
	void SetUp() override
	{
		swipetype_init();
		kstub::reset();
	}
	void TearDown() override
	{
		kstub::drain();
		swipetype_exit();
		EXPECT_EQ(kstub::lock_depth(), 0);
	}
	input_dev dev{};
};

}  // namespace msrtest
