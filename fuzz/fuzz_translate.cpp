// Feeds arbitrary scan-code streams to the PS/2 track translation. The output
// buffer is exactly one byte per raw byte, so that AddressSanitizer reports
// any write beyond what the translation promises.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "nativelayer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size > 0x7FFFFFFF)
		return 0;
	const auto n = static_cast<std::int32_t>(size);
	// A separate heap block of exactly size bytes (at least one, so the
	// pointer is real) for the output.
	std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[size == 0 ? 1 : size]);
	std::int32_t count = -1;
	const std::uint32_t ret = TranslateRawToAscii(data, n, out.get(), &count);
	if (static_cast<std::int32_t>(ret) != count || count < 0 || count > n)
		std::abort();
	// Only make codes of keys in the character map produce output.
	std::int32_t makes = 0;
	for (std::size_t i = 0; i < size; ++i)
		if ((data[i] & 0x80) == 0)
			++makes;
	if (count > makes)
		std::abort();
	return 0;
}
