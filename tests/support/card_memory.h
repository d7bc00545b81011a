// Looks for card data left in the library's memory: the writable segments
// (.data and .bss) of a loaded object, and heap blocks the library holds.
// A card counts as found where any run of `window` consecutive bytes of one
// of its tracks appears; runs shorter than a track's start and end sentinels
// plus a few characters would match by chance, so the window defaults to 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cardmem {

inline constexpr std::size_t DEFAULT_WINDOW = 8;

// The writable segments of the loaded object whose path ends in
// objectSuffix, or of the main program when objectSuffix is empty.
struct Region {
	const std::uint8_t *begin;
	std::size_t size;
};
std::vector<Region> WritableSegments(const std::string &objectSuffix);

// Places in the regions where a window of the card's bytes appears. The
// memory is read through /proc/self/mem, so a sanitizer does not object to
// reading memory the program does not own in its eyes.
std::size_t CountCardBytes(std::span<const Region> regions, std::span<const std::uint8_t> card,
			   std::size_t window = DEFAULT_WINDOW);

// The same for many cards at once (a whole run's swipes): places in the
// regions where a window of any of the cards appears, each place counted
// once. The windows are sorted once, so the cost grows with the bytes of
// the cards plus the regions, not with their product. window is 1 to 8.
std::size_t CountCardBytes(std::span<const Region> regions, std::span<const std::vector<std::uint8_t>> cards,
			   std::size_t window = DEFAULT_WINDOW);

} // namespace cardmem
