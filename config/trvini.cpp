// Reader of the configuration file trvpos.ini.
//
// Every call of parseini opens the file, looks for the section header and
// then for the key from there on, and closes the file again. The file is
// read one byte per read call into one fixed token buffer on the stack; the
// reader allocates nothing and keeps nothing between calls.
//
// Library build: parseini returns the value as read (-1 when no file opens).
// Tool build (TRVINI_TOOL_BUILD): parseini returns the HID usage that the key
// table gives for the value taken as a set-1 code (0 when no row carries it,
// 1 when no file opens).
#include "trvini.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "hid2ps2.h"

namespace {

// Bytes in the token buffer: a bracket content, a key token with its '=',
// or a value with its terminating white space must fit.
constexpr std::size_t TOKEN_MAX = 256;

// The configuration file in the working directory, then the system one.
constexpr const char *INI_PATHS[] = { "./trvpos.ini", "/etc/tarvel/pos/trvpos.ini" };

#ifdef TRVINI_TOOL_BUILD
constexpr std::int32_t NO_FILE_RESULT = TRVINI_TOOL_NO_FILE;
#else
constexpr std::int32_t NO_FILE_RESULT = TRVINI_LIBRARY_NO_FILE;
#endif

// Read one byte from fd into *pc; return false at end of file or on a read
// error (an interrupted read is retried).
bool readbyte(int fd, char *pc)
{
	for (;;) {
		const ssize_t n = read(fd, pc, 1);
		if (n == 1)
			return true;
		if (n < 0 && errno == EINTR)
			continue;
		return false;
	}
}

// Return true if c is white space in the POSIX locale (space, \t \n \v \f \r),
// whatever locale the process has set.
bool iswhite(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// Return the value of hex digit c (0-9, a-f, A-F), or -1 if c is none.
int hexdigit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Return true if name is a prefix of the first nStored bytes of the token;
// a name longer than what was stored never matches.
bool tokenstartswith(const char *token, std::size_t nStored, const char *name)
{
	const std::size_t nName = std::strlen(name);
	return nName <= nStored && std::memcmp(token, name, nName) == 0;
}

// Return hex text s read as 32-bit base-16 strtoul (sign, "0x", saturation).
std::uint32_t hextou32(const char *s)
{
	bool bNegative = false;
	if (*s == '+' || *s == '-') {
		bNegative = *s == '-';
		++s;
	}
	// "0x" counts as a prefix only when a hex digit follows; otherwise the
	// '0' is the number and the 'x' ends it.
	if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && hexdigit(s[2]) >= 0)
		s += 2;
	std::uint64_t ullValue = 0;
	bool bOverflow = false;
	for (int nDigit; (nDigit = hexdigit(*s)) >= 0; ++s) {
		ullValue = ullValue * 16 + static_cast<unsigned>(nDigit);
		if (ullValue > 0xFFFFFFFFu) {
			bOverflow = true;
			ullValue = 0xFFFFFFFFu; // keep it bounded; the result is fixed now
		}
	}
	if (bOverflow)
		return 0xFFFFFFFFu;
	const auto ulValue = static_cast<std::uint32_t>(ullValue);
	return bNegative ? static_cast<std::uint32_t>(0u - ulValue) : ulValue;
}

// Return what parseini hands out for a value found in the file.
std::int32_t valueresult(std::uint32_t ulValue)
{
#ifdef TRVINI_TOOL_BUILD
	return toolusage(ulValue);
#else
	return static_cast<std::int32_t>(ulValue);
#endif
}

} // namespace

std::int32_t toolusage(std::uint32_t ulValue)
{
	std::uint16_t ushUsage = 0;
	std::uint16_t ushUsageSize = 0;
	if (!PS2ToHID(static_cast<std::int32_t>(ulValue), &ushUsage, &ushUsageSize))
		return 0;
	return ushUsage;
}

int findkey(const char *key, int fd)
{
	char token[TOKEN_MAX];
	std::size_t nStored = 0;
	char c = 0;
	for (;;) {
		if (!readbyte(fd, &c))
			return 0;
		if (nStored == TOKEN_MAX)
			return 0;
		token[nStored++] = c;
		if (c == '=') {
			// Section headers after the one found are ordinary tokens:
			// the search runs on to the end of the file.
			if (tokenstartswith(token, nStored, key))
				return 1;
			nStored = 0;
		} else if (iswhite(c)) {
			nStored = 0;
		}
	}
}

int readvalue(int fd, std::uint32_t *pulValue)
{
	// The value runs up to the next white space, which must be there.
	char token[TOKEN_MAX];
	std::size_t nStored = 0;
	char c = 0;
	do {
		if (!readbyte(fd, &c))
			return 0;
		if (nStored == TOKEN_MAX)
			return 0;
		token[nStored++] = c;
	} while (!iswhite(c));
	token[nStored - 1] = '\0'; // the white space ends the text
	*pulValue = hextou32(token);
	return 1;
}

int getrawvalue(const char *key, int fd, std::uint32_t *pulValue)
{
	return findkey(key, fd) && readvalue(fd, pulValue);
}

int openini(const char **ppszPath)
{
	for (const char *pszPath : INI_PATHS) {
		int fd;
		do {
			fd = open(pszPath, O_RDONLY | O_CLOEXEC);
		} while (fd < 0 && errno == EINTR);
		if (fd >= 0) {
			if (ppszPath != nullptr)
				*ppszPath = pszPath;
			return fd;
		}
	}
	return -1;
}

extern "C" {

// Search fd onwards for a header whose content begins with section; 0 when
// found (position just past its ']') or after an overlong header, -1 at EOF.
int getsection(const char *section, int fd)
{
	char token[TOKEN_MAX];
	for (;;) {
		char c = 0;
		do {
			if (!readbyte(fd, &c))
				return -1;
		} while (c != '[');

		std::size_t nStored = 0;
		for (;;) {
			if (nStored == TOKEN_MAX) {
				// No ']' in a full buffer: the section search ends
				// after one more byte, without a comparison.
				return readbyte(fd, &c) ? 0 : -1;
			}
			if (!readbyte(fd, &c))
				return -1;
			token[nStored++] = c;
			if (c == ']')
				break;
		}
		// The header matches when its content begins with the name.
		if (tokenstartswith(token, nStored, section))
			return 0;
	}
}

// Search fd onwards for a token beginning with key and ending in '=', and
// return its value (converted in the tool build); -1 at EOF or overlong token.
int getvalue(const char *key, int fd)
{
	std::uint32_t ulValue = 0;
	if (!getrawvalue(key, fd, &ulValue))
		return -1;
	return valueresult(ulValue);
}

// Open the configuration file and return the value of key after section.
std::int32_t parseini(const char *section, const char *key)
{
	if (section == nullptr || key == nullptr)
		return -1;
	const int fd = openini(nullptr);
	if (fd < 0)
		return NO_FILE_RESULT;

	// A missing section leaves the position at the end of the file, where
	// the value search fails in turn.
	(void)getsection(section, fd);
	const std::int32_t nResult = getvalue(key, fd);
	close(fd);
	return nResult;
}

} // extern "C"
