// A scripted stand-in for the track decoder, for tests of how swipetype
// drives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_decoder {

struct Call {
	enum Kind { Reset, Interpret, GetData } kind;
	int track;
	unsigned length;
	std::vector<uint8_t> data;	// the bytes handed over
	int format;
};

struct State {
	std::vector<Call> calls;
	std::vector<unsigned char> results;	// per Interpret call; 0 once used up
	unsigned char start_sentinel = ';';
	unsigned char end_sentinel = '?';
	std::string chars;			// delivered by GetTrackData
	int count = 0;				// its result
};

extern State state;
void reset();

}  // namespace fake_decoder
