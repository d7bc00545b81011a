// tarvel-pos-check: tells, line by line, whether this terminal is ready for
// the POS keyboard service and hdrcfg, run as the service's user: the device
// nodes, the group, the udev rule, the kernel object, and trvpos.ini as the
// configuration reader reads it, with the 17 bytes that writeMSRConfig and
// hdrcfg would send. The last line is the verdict; exit status 0 when
// everything needed works, 1 otherwise, 2 for a bad command line.
//
// It never writes to a node and never reads one (a read consumes data): each
// node is opened read-write, non-blocking, and closed at once.
//
// Each line begins with a mark: "ok" (works), "FAIL" (counts against the
// verdict), "--" (noted: not needed, or only for information).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "header_record.h"
#include "hid2ps2.h"
#include "trvini.h"

extern char **environ;

namespace {

constexpr const char *GROUP_NAME = "tarvel-pos";
constexpr const char *UDEV_RULE = "60-tarvel-pos.rules";
constexpr const char *UDEV_DIRS[] = { "/etc/udev/rules.d", "/usr/lib/udev/rules.d",
				      "/lib/udev/rules.d", "/usr/local/lib/udev/rules.d" };
constexpr const char *MODULE_NAME = "msrdrv";
constexpr const char *DKMS_NAME = "tarvel-msrdrv";
constexpr const char *SWIPE_NODE = "/dev/trvposusb_swipe";
constexpr const char *INI_PATHS[] = { "./trvpos.ini", "/etc/tarvel/pos/trvpos.ini" };

struct Attachment {
	const char *pszName;
	std::vector<const char *> nodes;
};

// The nodes that the service (and, of the USB MSR ones, hdrcfg) opens
// read-write, by attachment, in the order of the device channel record.
const Attachment ATTACHMENTS[] = {
	{ "PS/2", { "/dev/qkbd_stat", "/dev/qkbd_keyboard", "/dev/qkbd_keylock", "/dev/qkbd_msr1",
		    "/dev/qkbd_msr2", "/dev/qkbd_msr3" } },
	{ "USB", { "/dev/trvposusb_kbdstat", "/dev/trvposusb_msrstat", "/dev/trvposusb_keyboard",
		   "/dev/trvposusb_keylock", "/dev/trvposusb_msr1", "/dev/trvposusb_msr2",
		   "/dev/trvposusb_msr3" } },
};

int g_nProblems = 0;

// Print one line with its mark; a FAIL line counts against the verdict.
void line(const char *pszMark, const std::string &text)
{
	if (std::strcmp(pszMark, "FAIL") == 0)
		++g_nProblems;
	std::printf("%-4s %s\n", pszMark, text.c_str());
}

std::string hex(std::uint32_t ul, int nWidth = 2)
{
	char sz[16];
	std::snprintf(sz, sizeof(sz), "%0*X", nWidth, ul);
	return sz;
}

// ---- Facts of the machine ------------------------------------------------------

struct Facts {
	std::string user;
	uid_t uid = 0;
	bool bGroupExists = false;
	gid_t groupGid = 0;
	bool bInGroupDb = false;      // the group database lists the user
	bool bInProcess = false;      // this process has the group
	std::string udevRule;         // path found, empty for none
	bool bModuleLoaded = false;
	std::string kernel;
	std::string dkms;             // dkms status line(s), "" for none, "-" no dkms
};

// Output of a program run without a shell, or "-" when it cannot run.
std::string runprogram(std::vector<std::string> argv)
{
	int rgfd[2];
	if (pipe(rgfd) != 0)
		return "-";
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, rgfd[1], 1);
	posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addclose(&fa, rgfd[0]);
	std::vector<char *> args;
	for (auto &a : argv)
		args.push_back(a.data());
	args.push_back(nullptr);
	pid_t pid = 0;
	const int nErr = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
	posix_spawn_file_actions_destroy(&fa);
	close(rgfd[1]);
	std::string out;
	if (nErr == 0) {
		char buf[512];
		ssize_t n;
		while ((n = read(rgfd[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
			if (n > 0)
				out.append(buf, static_cast<std::size_t>(n));
	}
	close(rgfd[0]);
	if (nErr != 0)
		return "-";
	int nStatus = 0;
	while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
	}
	if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) == 127)
		return "-";
	while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
		out.pop_back();
	return out;
}

Facts realfacts()
{
	Facts f;
	f.uid = geteuid();
	const passwd *pw = getpwuid(f.uid);
	f.user = pw ? pw->pw_name : std::to_string(f.uid);
	if (const group *gr = getgrnam(GROUP_NAME)) {
		f.bGroupExists = true;
		f.groupGid = gr->gr_gid;
		if (pw) {
			int n = 64;
			std::vector<gid_t> groups(static_cast<std::size_t>(n));
			if (getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) {
				groups.resize(static_cast<std::size_t>(n));
				getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n);
			}
			for (int i = 0; i < n; ++i)
				f.bInGroupDb |= groups[static_cast<std::size_t>(i)] == f.groupGid;
		}
		const int n = getgroups(0, nullptr);
		std::vector<gid_t> own(static_cast<std::size_t>(n > 0 ? n : 0));
		const int m = n > 0 ? getgroups(n, own.data()) : 0;
		f.bInProcess = getegid() == f.groupGid;
		for (int i = 0; i < m; ++i)
			f.bInProcess |= own[static_cast<std::size_t>(i)] == f.groupGid;
	}
	for (const char *pszDir : UDEV_DIRS) {
		const std::string path = std::string(pszDir) + "/" + UDEV_RULE;
		struct stat st;
		if (stat(path.c_str(), &st) == 0) {
			f.udevRule = path;
			break;
		}
	}
	struct stat st;
	f.bModuleLoaded = stat((std::string("/sys/module/") + MODULE_NAME).c_str(), &st) == 0;
	utsname un{};
	uname(&un);
	f.kernel = un.release;
	f.dkms = runprogram({ "dkms", "status", "-m", DKMS_NAME, "-k", f.kernel });
	return f;
}

// Test hook: TRVCHECK_FACTS names a file that states the machine's facts
// (user, group, udev rule, kernel object, DKMS) instead of asking the system,
// so that the golden tests read the same on every machine. Lines:
//   user NAME UID | group GID [db] [process] | group none | udev PATH | udev none
//   module loaded|absent | kernel RELEASE | dkms TEXT... | dkms none
bool filefacts(const char *pszPath, Facts &f)
{
	std::ifstream in(pszPath);
	if (!in)
		return false;
	for (std::string l; std::getline(in, l);) {
		std::istringstream ws(l);
		std::string word;
		ws >> word;
		if (word == "user") {
			ws >> f.user >> f.uid;
		} else if (word == "group") {
			std::string gid;
			ws >> gid;
			f.bGroupExists = gid != "none";
			if (f.bGroupExists)
				f.groupGid = static_cast<gid_t>(std::strtoul(gid.c_str(), nullptr, 10));
			for (std::string w; ws >> w;) {
				f.bInGroupDb |= w == "db";
				f.bInProcess |= w == "process";
			}
		} else if (word == "udev") {
			ws >> f.udevRule;
			if (f.udevRule == "none")
				f.udevRule.clear();
		} else if (word == "module") {
			ws >> word;
			f.bModuleLoaded = word == "loaded";
		} else if (word == "kernel") {
			ws >> f.kernel;
		} else if (word == "dkms") {
			std::getline(ws >> std::ws, f.dkms);
			if (f.dkms == "none")
				f.dkms.clear();
		}
	}
	return true;
}

// ---- Device nodes ---------------------------------------------------------------

std::string ownername(uid_t uid)
{
	const passwd *pw = getpwuid(uid);
	return pw ? pw->pw_name : std::to_string(uid);
}

std::string groupname(gid_t gid, const Facts &f)
{
	if (f.bGroupExists && gid == f.groupGid)
		return GROUP_NAME;
	const group *gr = getgrgid(gid);
	return gr ? gr->gr_name : std::to_string(gid);
}

std::string describe(const struct stat &st, const Facts &f)
{
	char szMode[8];
	std::snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
	const char *pszType = S_ISCHR(st.st_mode)    ? "character device"
			      : S_ISREG(st.st_mode) ? "regular file, not a character device"
			      : S_ISDIR(st.st_mode) ? "directory, not a character device"
						    : "not a character device";
	return std::string(pszType) + ", " + ownername(st.st_uid) + ":" + groupname(st.st_gid, f) +
	       " " + szMode;
}

struct NodeResult {
	bool bPresent = false;
	bool bOpens = false;
	std::string text;
	bool bWrongType = false;
};

NodeResult checknode(const char *path, const Facts &f)
{
	NodeResult r;
	struct stat st;
	if (stat(path, &st) != 0) {
		r.text = std::string("node ") + path + ": missing (" + std::strerror(errno) + ")";
		return r;
	}
	r.bPresent = true;
	r.bWrongType = !S_ISCHR(st.st_mode);
	// Asked for read-write as the service opens it, without blocking, and
	// closed at once: nothing is read or written.
	int fd;
	do
		fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	while (fd < 0 && errno == EINTR);
	const int nErr = errno;
	if (fd >= 0)
		close(fd);
	r.bOpens = fd >= 0;
	r.text = std::string("node ") + path + ": " + describe(st, f) + ", open read-write: " +
		 (r.bOpens ? "ok" : std::strerror(nErr));
	return r;
}

// Each node is opened once; returns whether an attachment has all its nodes
// open read-write.
bool checknodes(const Facts &f)
{
	bool bComplete = false;
	for (const Attachment &a : ATTACHMENTS) {
		std::vector<NodeResult> results;
		int nPresent = 0, nOpen = 0;
		for (const char *path : a.nodes) {
			results.push_back(checknode(path, f));
			nPresent += results.back().bPresent;
			nOpen += results.back().bOpens && !results.back().bWrongType;
		}
		// An attachment the terminal does not have shows no node at all:
		// its missing nodes are expected.
		for (const NodeResult &r : results) {
			const char *pszMark = !r.bPresent      ? (nPresent == 0 ? "--" : "FAIL")
					      : r.bWrongType || !r.bOpens ? "FAIL"
									 : "ok";
			line(pszMark, r.text);
		}
		const int nNodes = static_cast<int>(a.nodes.size());
		std::string text = std::string(a.pszName) + " attachment: ";
		if (nPresent == 0)
			text += "no node present (not attached, or its driver is not loaded)";
		else
			text += std::to_string(nOpen) + " of " + std::to_string(nNodes) +
				" nodes open read-write";
		line(nOpen == nNodes ? "ok" : "--", text);
		bComplete |= nOpen == nNodes;
	}
	return bComplete;
}

void checkswipe(const Facts &f)
{
	struct stat st;
	const std::string head = std::string("swipe device ") + SWIPE_NODE + ": ";
	if (stat(SWIPE_NODE, &st) != 0) {
		line("--", head + "missing (the kernel object creates it when it is loaded)");
		return;
	}
	const bool bRootOnly = st.st_uid == 0 && (st.st_mode & 077) == 0;
	line(bRootOnly ? "ok" : "FAIL",
	     head + describe(st, f) +
		     (bRootOnly ? ", root only" : ", not root only: whoever may write to it types into the "
						 "terminal's session"));
}

// ---- User, group, udev, kernel object ---------------------------------------------

bool checkuser(const Facts &f)
{
	line("--", "user " + f.user + " (uid " + std::to_string(f.uid) + ")");
	if (!f.bGroupExists) {
		line(f.uid == 0 ? "--" : "FAIL",
		     std::string("group ") + GROUP_NAME +
			     ": does not exist (libtarvel-jpos-jni creates it when it is installed)");
		return f.uid == 0;
	}
	const std::string head = std::string("group ") + GROUP_NAME + ": ";
	if (f.uid == 0)
		line("--", head + "root opens the nodes without it");
	else if (f.bInProcess)
		line("ok", head + f.user + " is a member, and this login has it");
	else if (f.bInGroupDb)
		line("FAIL", head + f.user +
				     " is a member in the group database, but this login does not have it "
				     "yet: log in again (or restart the service)");
	else
		line("FAIL", head + f.user + " is not a member: adduser " + f.user + " " + GROUP_NAME +
				     ", then log in again");
	return f.uid == 0 || f.bInProcess;
}

void checksystem(const Facts &f)
{
	if (!f.udevRule.empty())
		line("ok", "udev rule: " + f.udevRule);
	else
		line(f.uid == 0 ? "--" : "FAIL",
		     std::string("udev rule: ") + UDEV_RULE +
			     " is not installed: the nodes are not given to the group " + GROUP_NAME);
	line("--", std::string("kernel object ") + MODULE_NAME + ": " +
			   (f.bModuleLoaded ? "loaded" : "not loaded"));
	const std::string head = std::string("dkms, kernel ") + f.kernel + ": ";
	if (f.dkms == "-")
		line("--", head + "dkms is not installed");
	else if (f.dkms.empty())
		line("--", head + "no " + DKMS_NAME + " module for this kernel");
	else
		line("--", head + f.dkms);
}

// ---- trvpos.ini --------------------------------------------------------------------

struct IniFile {
	std::string content;
	// 1-based line of byte offset pos.
	int lineof(long pos) const
	{
		int n = 1;
		for (long i = 0; i < pos && i < static_cast<long>(content.size()); ++i)
			n += content[static_cast<std::size_t>(i)] == '\n';
		return n;
	}
	// The text of line n, without its line end.
	std::string linetext(int n) const
	{
		std::size_t start = 0;
		for (int i = 1; i < n && start != std::string::npos; ++i) {
			start = content.find('\n', start);
			if (start != std::string::npos)
				++start;
		}
		if (start == std::string::npos || start > content.size())
			return "";
		const std::size_t end = content.find('\n', start);
		return content.substr(start, end == std::string::npos ? std::string::npos : end - start);
	}
};

bool iswhite(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// What the reader finds for one key after one section.
struct Lookup {
	bool bSection = false;  // getsection stopped at a header
	long lSectionEnd = 0;   // position after the header
	bool bFound = false;    // getrawvalue found the key
	long lValueStart = 0;   // first byte of the value
	long lValueEnd = 0;     // its terminating white space
	std::uint32_t ulValue = 0;
};

Lookup lookup(const char *section, const char *key)
{
	Lookup r;
	const int fd = openini(nullptr);
	if (fd < 0)
		return r;
	r.bSection = getsection(section, fd) == 0;
	r.lSectionEnd = lseek(fd, 0, SEEK_CUR);
	r.bFound = findkey(key, fd) != 0;
	r.lValueStart = lseek(fd, 0, SEEK_CUR);
	r.bFound = r.bFound && readvalue(fd, &r.ulValue) != 0;
	r.lValueEnd = lseek(fd, 0, SEEK_CUR) - 1;
	close(fd);
	return r;
}

// Lines from..to (byte offsets) where key stands with blanks around '='.
void blanksaround(const IniFile &ini, long from, long to, const char *key, const std::string &what)
{
	const int nFirst = ini.lineof(from), nLast = ini.lineof(to);
	for (int n = nFirst; n <= nLast; ++n) {
		const std::string l = ini.linetext(n);
		std::size_t i = 0;
		while (i < l.size() && iswhite(l[i]))
			++i;
		if (l.compare(i, std::strlen(key), key) != 0)
			continue;
		std::size_t j = i + std::strlen(key);
		const std::size_t eq = l.find('=', j);
		if (eq == std::string::npos || eq == j)
			continue;
		bool bBlanksOnly = true;
		for (std::size_t k = j; k < eq; ++k)
			bBlanksOnly &= iswhite(l[k]);
		if (bBlanksOnly)
			line("FAIL", "trvpos.ini line " + std::to_string(n) + ": " + what +
					     ": blanks before '=': the reader skips this key");
	}
}

bool plainhex(const std::string &s)
{
	std::size_t i = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 2 : 0;
	if (i == s.size())
		return false;
	for (; i < s.size(); ++i)
		if (!std::isxdigit(static_cast<unsigned char>(s[i])))
			return false;
	return true;
}

void checkkey(const IniFile &ini, const char *section, const char *key, const Lookup &r)
{
	const std::string what = std::string("[") + section + "] " + key;
	const std::size_t nextHeader = ini.content.find('[', static_cast<std::size_t>(r.lSectionEnd));
	const long lOwnEnd = nextHeader == std::string::npos ? static_cast<long>(ini.content.size())
							     : static_cast<long>(nextHeader);
	if (!r.bFound || r.lValueStart > lOwnEnd)
		blanksaround(ini, r.lSectionEnd, lOwnEnd, key, what);
	if (!r.bFound) {
		// A value that runs up to the end of the file is not seen.
		const std::size_t lastEnd = ini.content.find_last_of(" \t\n\v\f\r");
		const std::string tail = ini.content.substr(lastEnd == std::string::npos ? 0 : lastEnd + 1);
		const std::size_t eq = tail.find('=');
		if (!tail.empty() && eq != std::string::npos && tail.compare(0, std::strlen(key), key) == 0)
			line("FAIL", "trvpos.ini line " + std::to_string(ini.lineof(static_cast<long>(ini.content.size()))) +
					     ": " + what + ": the file ends right after this value, with no line "
						       "end: the reader does not see it");
		line("FAIL", "trvpos.ini: " + what + ": not found in [" + section +
				     "] or after it: read as missing (writeMSRConfig sends 03, hdrcfg ff)");
		return;
	}
	const int nLine = ini.lineof(r.lValueStart);
	const std::string at = "trvpos.ini line " + std::to_string(nLine) + ": " + what + ": ";
	if (r.lValueStart > lOwnEnd) {
		const std::size_t hdr = ini.content.rfind('[', static_cast<std::size_t>(r.lValueStart));
		const std::size_t close = ini.content.find(']', hdr);
		const std::string other = ini.content.substr(hdr, close == std::string::npos ? 1 : close - hdr + 1);
		line("FAIL", at + "missing in [" + section + "]; the reader takes this one, under " + other);
	}
	const std::string text = ini.content.substr(static_cast<std::size_t>(r.lValueStart),
						    static_cast<std::size_t>(r.lValueEnd - r.lValueStart));
	if (text.empty())
		line("FAIL", at + "no value after '=' (a blank there ends it): read as 0");
	else if (!plainhex(text))
		line("FAIL", at + "\"" + text + "\" is not hexadecimal: read as " + hex(r.ulValue));
	if (r.ulValue == 0)
		return;
	std::uint16_t ushUsage = 0, ushSize = 0;
	if (!PS2ToHID(static_cast<std::int32_t>(r.ulValue), &ushUsage, &ushSize))
		line("FAIL", at + "no key table row has the set-1 code " + hex(r.ulValue) +
				     ": both send 00");
	else if (ushSize != 1)
		line("FAIL", at + "set-1 code " + hex(r.ulValue) + " is the two-byte usage " +
				     hex(ushUsage, 4) + ": writeMSRConfig sends 00, hdrcfg " +
				     hex(ushUsage & 0xFF));
}

// Describes which trvpos.ini the reader opens; false when none opens.
bool whichfile(IniFile &ini, bool &bReadable)
{
	bReadable = false;
	const char *pszUsed = nullptr;
	const int fd = openini(&pszUsed);
	for (const char *path : INI_PATHS) {
		if (pszUsed != nullptr && std::strcmp(path, pszUsed) == 0)
			break;
		// The reader goes on silently when a file exists but will not open.
		const int fdTry = open(path, O_RDONLY | O_CLOEXEC);
		const int nErr = errno;
		if (fdTry >= 0)
			close(fdTry);
		else if (nErr != ENOENT)
			line("FAIL", std::string("trvpos.ini: ") + path + ": " + std::strerror(nErr) +
					     ": the reader skips it");
	}
	if (fd < 0) {
		line("FAIL", "trvpos.ini: neither ./trvpos.ini nor /etc/tarvel/pos/trvpos.ini opens: "
			     "writeMSRConfig sends 03 for every key, hdrcfg 01");
		return false;
	}
	std::string where = std::string("trvpos.ini: the library and hdrcfg read ") + pszUsed;
	if (std::strcmp(pszUsed, INI_PATHS[0]) == 0) {
		char cwd[4096];
		if (getcwd(cwd, sizeof(cwd)))
			where += std::string(" (in ") + cwd + ", the working directory)";
	}
	line("--", where);
	struct stat st;
	if (std::strcmp(pszUsed, INI_PATHS[0]) == 0 && stat(INI_PATHS[1], &st) == 0)
		line("--", std::string("trvpos.ini: ") + INI_PATHS[1] + " is not read while " +
				   INI_PATHS[0] + " exists");
	fstat(fd, &st);
	char buf[4096];
	ssize_t n;
	int nErr = 0;
	while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			ini.content.append(buf, static_cast<std::size_t>(n));
	if (n < 0)
		nErr = errno;
	close(fd);
	if (S_ISDIR(st.st_mode)) {
		line("FAIL", std::string("trvpos.ini: ") + pszUsed +
				     " is a directory: the reader reads nothing (every key as missing)");
		return true;
	}
	if (nErr != 0) {
		line("FAIL", std::string("trvpos.ini: ") + pszUsed + ": " + std::strerror(nErr) +
				     ": the reader takes it as the end of the file");
		return true;
	}
	if (ini.content.empty()) {
		line("FAIL", std::string("trvpos.ini: ") + pszUsed + " is empty (every key read as missing)");
		return true;
	}
	bReadable = true;
	return true;
}

void checkini()
{
	IniFile ini;
	bool bReadable = false;
	if (whichfile(ini, bReadable) && bReadable) {
		for (const char *section : HEADER_SECTIONS) {
			const Lookup mod = lookup(section, HEADER_KEY_MODIFIER);
			if (!mod.bSection) {
				line("FAIL", std::string("trvpos.ini: no section [") + section +
						     "]: both its keys read as missing (writeMSRConfig sends "
						     "03, hdrcfg ff)");
				continue;
			}
			checkkey(ini, section, HEADER_KEY_MODIFIER, mod);
			checkkey(ini, section, HEADER_KEY_SET1CODE, lookup(section, HEADER_KEY_SET1CODE));
		}
	}

	// The library's record, as writeMSRConfig builds it from the command
	// byte that the Java side passes, through the library's own code.
	const std::uint8_t uchCommand = HEADER_CONFIG_COMMAND;
	std::uint8_t rguchLibrary[HEADER_CONFIG_RECORD_SIZE] = {};
	const int nLibrary = BuildHeaderConfigRecord(&uchCommand, 1, rguchLibrary);
	// hdrcfg's record: the tool build of the reader gives 1 when no file
	// opens, -1 for a missing value, else the key table's usage (0: none).
	std::uint8_t rguchTool[HEADER_CONFIG_RECORD_SIZE] = {};
	BuildToolHeaderRecord(
		[](const char *section, const char *key) -> std::int32_t {
			const int fd = openini(nullptr);
			if (fd < 0)
				return TRVINI_TOOL_NO_FILE;
			close(fd);
			const Lookup r = lookup(section, key);
			return r.bFound ? toolusage(r.ulValue) : -1;
		},
		rguchTool);
	std::string lib, tool;
	char sz[4];
	for (int i = 0; i < nLibrary; ++i) {
		std::snprintf(sz, sizeof(sz), " %02x", rguchLibrary[i]);
		lib += sz;
	}
	for (std::uint8_t b : rguchTool) {
		std::snprintf(sz, sizeof(sz), " %02x", b);
		tool += sz;
	}
	line("--", "record writeMSRConfig sends (Java command byte 10):" + lib);
	line("--", "record hdrcfg sends:                              " + tool);
}

} // namespace

int main(int argc, char **)
{
	if (argc > 1) {
		std::fprintf(stderr, "usage: tarvel-pos-check (no arguments; see tarvel-pos-check(1))\n");
		return 2;
	}
	Facts f;
	const char *pszFacts = std::getenv("TRVCHECK_FACTS");
	if (pszFacts != nullptr) {
		if (!filefacts(pszFacts, f)) {
			std::fprintf(stderr, "tarvel-pos-check: %s: %s\n", pszFacts, std::strerror(errno));
			return 2;
		}
		// Said on every run, so that nobody takes such a verdict for the
		// machine's own.
		std::fprintf(stderr, "tarvel-pos-check: the user, group, udev, module and DKMS facts come from %s "
				     "(TRVCHECK_FACTS), not from this machine\n", pszFacts);
	} else {
		f = realfacts();
	}

	const bool bAttachment = checknodes(f);
	if (!bAttachment)
		line("FAIL", "no attachment has all its nodes open read-write: the service cannot open "
			     "its devices");
	checkswipe(f);
	checkuser(f);
	checksystem(f);
	checkini();

	if (g_nProblems == 0)
		std::printf("verdict: ready: %s can run the service and hdrcfg here\n", f.user.c_str());
	else
		std::printf("verdict: not ready: %d problem%s (FAIL lines above)\n", g_nProblems,
			    g_nProblems == 1 ? "" : "s");
	return g_nProblems == 0 ? 0 : 1;
}
