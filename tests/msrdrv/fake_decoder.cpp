// A scripted track decoder that records how swipetype calls it.
#include "fake_decoder.h"

#include <algorithm>
#include <cstring>

namespace fake_decoder {

State state;

void reset()
{
	state = State{};
}

}  // namespace fake_decoder

using fake_decoder::state;

extern "C" {

int CDecode_CDecode(void)
{
	state.calls.push_back({fake_decoder::Call::Reset, 0, 0, {}, 0});
	return 0;
}

unsigned char CDecode_InterpreteSingleTrack(int track, unsigned char length,
					    const unsigned char *data,
					    unsigned char *startSentinel,
					    unsigned char *endSentinel, int format,
					    char *cardType)
{
	state.calls.push_back({fake_decoder::Call::Interpret, track, length,
			       std::vector<uint8_t>(data, data + length), format});
	*startSentinel = state.start_sentinel;
	*endSentinel = state.end_sentinel;
	*cardType = 0;
	if (state.results.empty())
		return 0;
	unsigned char rc = state.results.front();
	state.results.erase(state.results.begin());
	return rc;
}

int CDecode_GetTrackData(unsigned char *decoded)
{
	state.calls.push_back({fake_decoder::Call::GetData, 0, 0, {}, 0});
	std::memcpy(decoded, state.chars.data(), std::min<size_t>(state.chars.size(), 256));
	return state.count;
}

}  // extern "C"
