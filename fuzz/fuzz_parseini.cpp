// libFuzzer target for the trvpos.ini reader (library build): the input
// becomes ./trvpos.ini in a private temporary working directory, and the
// reader is asked for the sixteen section/key pairs of one configuration
// plus one pair taken from the input itself.
#include "trvini.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *kSections[] = { "GH", "GT", "H1", "T1", "H2", "T2", "H3", "T3" };
constexpr const char *kKeys[] = { "modifierflag", "set1code" };

char g_szDir[] = "/tmp/fuzz_parseini-XXXXXX";
int g_fdScratch = -1; // the scratch directory
int g_fdHome = -1;    // the working directory libFuzzer started in

// Remove the scratch file and directory when the fuzzer exits.
void RemoveScratch()
{
	std::string ini = std::string(g_szDir) + "/trvpos.ini";
	unlink(ini.c_str());
	rmdir(g_szDir);
}

// Return the bytes of data[*pos..] up to a NUL, a '\n' or maxLen bytes as a
// string, and advance *pos past them (and past the separator).
std::string TakeName(const std::uint8_t *data, std::size_t size, std::size_t *pos, std::size_t maxLen)
{
	std::string name;
	while (*pos < size && name.size() < maxLen) {
		const char c = static_cast<char>(data[(*pos)++]);
		if (c == '\0' || c == '\n')
			break;
		name.push_back(c);
	}
	return name;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// The reader looks for ./trvpos.ini, so each input runs inside the
	// scratch directory; libFuzzer's own relative paths (corpus, crash
	// artifacts) stay relative to the directory it was started in.
	if (mkdtemp(g_szDir) == nullptr) {
		std::perror("fuzz_parseini: scratch directory");
		std::abort();
	}
	g_fdScratch = open(g_szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	g_fdHome = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (g_fdScratch < 0 || g_fdHome < 0)
		std::abort();
	std::atexit(RemoveScratch);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (fchdir(g_fdScratch) != 0)
		std::abort();
	const int fd = open("trvpos.ini", O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (fd < 0)
		std::abort();
	for (std::size_t done = 0; done < size;) {
		const ssize_t n = write(fd, data + done, size - done);
		if (n <= 0)
			std::abort();
		done += static_cast<std::size_t>(n);
	}
	close(fd);

	for (const char *section : kSections)
		for (const char *key : kKeys)
			(void)parseini(section, key);

	// Names longer than the token buffer are allowed on purpose.
	std::size_t pos = 0;
	const std::string section = TakeName(data, size, &pos, 300);
	const std::string key = TakeName(data, size, &pos, 300);
	(void)parseini(section.c_str(), key.c_str());

	if (fchdir(g_fdHome) != 0)
		std::abort();
	return 0;
}
