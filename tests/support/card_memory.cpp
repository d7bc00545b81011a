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

} // namespace cardmem
