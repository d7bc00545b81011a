#include "card_memory.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace cardmem {

namespace {

struct Search {
	const std::string *suffix;
	std::vector<Region> *out;
};

bool EndsWith(const char *name, const std::string &suffix)
{
	const std::size_t n = std::strlen(name);
	return n >= suffix.size() && std::memcmp(name + n - suffix.size(), suffix.data(), suffix.size()) == 0;
}

int Visit(dl_phdr_info *info, std::size_t, void *data)
{
	auto *s = static_cast<Search *>(data);
	const char *name = info->dlpi_name != nullptr ? info->dlpi_name : "";
	// The main program comes first, with an empty name.
	const bool match = s->suffix->empty() ? name[0] == '\0' : EndsWith(name, *s->suffix);
	if (!match)
		return 0;
	for (int i = 0; i < info->dlpi_phnum; ++i) {
		const ElfW(Phdr) &ph = info->dlpi_phdr[i];
		if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) != 0)
			s->out->push_back({reinterpret_cast<const std::uint8_t *>(info->dlpi_addr + ph.p_vaddr),
					   static_cast<std::size_t>(ph.p_memsz)});
	}
	return 1;
}

// The window bytes at p as one number (window <= 8).
std::uint64_t Pack(const std::uint8_t *p, std::size_t window)
{
	std::uint64_t v = 0;
	for (std::size_t i = 0; i < window; ++i)
		v = v << 8 | p[i];
	return v;
}

// Copies a region out of /proc/self/mem; empty when it cannot be read.
std::vector<std::uint8_t> ReadRegion(int fd, const Region &r)
{
	std::vector<std::uint8_t> copy(r.size, 0);
	const ssize_t n = ::pread(fd, copy.data(), r.size, reinterpret_cast<off_t>(r.begin));
	copy.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
	return copy;
}

} // namespace

std::vector<Region> WritableSegments(const std::string &objectSuffix)
{
	std::vector<Region> out;
	Search s{&objectSuffix, &out};
	dl_iterate_phdr(Visit, &s);
	return out;
}

std::size_t CountCardBytes(std::span<const Region> regions, std::span<const std::uint8_t> card, std::size_t window)
{
	if (card.size() < window || window == 0)
		return 0;
	const int fd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	std::size_t found = 0;
	std::vector<std::uint8_t> copy;
	for (const Region &r : regions) {
		copy.assign(r.size, 0);
		const ssize_t n = ::pread(fd, copy.data(), r.size, reinterpret_cast<off_t>(r.begin));
		if (n <= 0)
			continue;
		copy.resize(static_cast<std::size_t>(n));
		for (std::size_t at = 0; at + window <= card.size(); ++at) {
			const auto needle = card.subspan(at, window);
			auto it = copy.begin();
			while ((it = std::search(it, copy.end(), needle.begin(), needle.end())) != copy.end()) {
				++found;
				++it;
			}
		}
	}
	::close(fd);
	return found;
}

std::size_t CountCardBytes(std::span<const Region> regions, std::span<const std::vector<std::uint8_t>> cards,
			   std::size_t window)
{
	if (window == 0 || window > 8)
		return 0;
	std::vector<std::uint64_t> windows;
	for (const auto &card : cards)
		for (std::size_t at = 0; at + window <= card.size(); ++at)
			windows.push_back(Pack(card.data() + at, window));
	std::sort(windows.begin(), windows.end());
	windows.erase(std::unique(windows.begin(), windows.end()), windows.end());
	if (windows.empty())
		return 0;
	const int fd = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	std::size_t found = 0;
	for (const Region &r : regions) {
		const std::vector<std::uint8_t> copy = ReadRegion(fd, r);
		for (std::size_t at = 0; at + window <= copy.size(); ++at)
			found += std::binary_search(windows.begin(), windows.end(), Pack(copy.data() + at, window));
	}
	::close(fd);
	return found;
}

} // namespace cardmem
