// The driver model: node presence and faults, the queues behind the data
// nodes, the status records derived from them, the write log, counters,
// step mode and the scenario clock. One mutex guards all of it; a reader
// held at the step gate waits on the condition variable, never on the mutex.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "status_records.h"
#include "trvsim.h"
#include "trvsim_internal.h"

namespace trvsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<const char *, TRVSIM_NODE_COUNT> kPaths = {
	"/dev/qkbd_stat",          "/dev/qkbd_keyboard",      "/dev/qkbd_keylock",
	"/dev/qkbd_msr1",          "/dev/qkbd_msr2",          "/dev/qkbd_msr3",
	"/dev/trvposusb_kbdstat",  "/dev/trvposusb_msrstat",  "/dev/trvposusb_keyboard",
	"/dev/trvposusb_keylock",  "/dev/trvposusb_msr1",     "/dev/trvposusb_msr2",
	"/dev/trvposusb_msr3",
};

constexpr std::array<const char *, TRVSIM_NODE_COUNT> kNames = {
	"ps2_stat",    "ps2_keyboard", "ps2_keylock",  "ps2_msr1", "ps2_msr2",
	"ps2_msr3",    "usb_kbdstat",  "usb_msrstat",  "usb_keyboard",
	"usb_keylock", "usb_msr1",     "usb_msr2",     "usb_msr3",
};

constexpr std::size_t kMaxRawStatus = 64;
// Largest track length a status record can announce for queued bytes;
// 0xFFFF itself means "no usable data".
constexpr std::size_t kMaxAnnouncedLen = 0xFFFE;

// Writes kept per node in the log (the count covers all of them).
constexpr std::size_t kMaxLoggedWrites = 256;

// Descriptor table: 0 for a descriptor that is not simulated, else
// (node + 1) | (access mode << 8), plus kDead once its node was unplugged.
// Zero-initialised before any constructor.
std::atomic<std::uint16_t> g_fd_table[kMaxFd];
constexpr std::uint16_t kDead = 0x1000;
// The entry of a node's descriptor once it is closed (until the number is
// handed out for a node again): no node, but a use of it is counted.
constexpr std::uint16_t kClosed = 0x2000;
std::atomic<long> g_closed_uses{0};

struct NodeState {
	bool present = true;
	int fail_open = 0;                       // errno of a failing open, 0: opens work
	unsigned perm_mode = 0660;               // what stat reports: permission bits,
	unsigned perm_uid = 0;                   // owner
	unsigned perm_gid = 0;                   // and group
	int fail_reads = 0;                      // > 0: that many, < 0: all
	std::size_t short_read = SIZE_MAX;
	std::size_t short_write = SIZE_MAX;
	std::vector<std::uint8_t> raw;           // raw status bytes
	int raw_count = 0;                       // reads left for raw (< 0: all)
	long reads = 0;
	int open_fds = 0;                        // survives reset
	long write_count = 0;
	std::deque<std::vector<std::uint8_t>> writes; // the newest kMaxLoggedWrites
};

struct Sim {
	std::mutex mu;
	std::condition_variable cv; // any read, any step-mode change

	std::array<NodeState, TRVSIM_NODE_COUNT> nodes;
	std::deque<std::uint8_t> ps2_keys;
	std::deque<std::uint32_t> usb_keys;
	// tracks[attachment][track - 1]: swipes queued one behind the other.
	std::array<std::array<std::deque<std::vector<std::uint8_t>>, 3>, 2> tracks;
	std::array<std::uint16_t, 2> keylock{};
	std::array<std::array<long, 3>, 2> forced_len{{{-1, -1, -1}, {-1, -1, -1}}};

	// Step mode.
	bool step_on = false;
	int gate = -1;
	long credits = 0; // cycles released and not yet begun
	long passes = 0;  // reads that went through the gate
	bool at_gate = false;

	// Blocking I/O: calls on a blocked node wait on entry; held counts them.
	std::array<bool, TRVSIM_NODE_COUNT> io_blocked{};
	std::array<int, TRVSIM_NODE_COUNT> io_held{};

	// Environment and scenario.
	bool loaded = false;
	int log_fd = -1;
	std::vector<ScenarioAction> scenario;
	Clock::time_point scenario_start{};
};

Sim &sim()
{
	// Never destroyed: interposed calls may arrive from other destructors
	// and atexit handlers while the process ends.
	static Sim *s = new Sim();
	return *s;
}

bool valid_node(int node)
{
	return node >= 0 && node < TRVSIM_NODE_COUNT;
}

bool is_status(int node)
{
	return node == TRVSIM_PS2_STAT || node == TRVSIM_USB_KBDSTAT ||
	       node == TRVSIM_USB_MSRSTAT;
}

bool valid_track(int attachment, int track)
{
	return (attachment == TRVSIM_PS2 || attachment == TRVSIM_USB) && track >= 1 &&
	       track <= 3;
}

// Appends one line to the TRVSIM_LOG file (one write, so that lines of
// several processes appending to the same file stay whole).
void log_line(Sim &s, const std::string &line)
{
	if (s.log_fd < 0)
		return;
	std::string l = line + "\n";
	(void)real::write(s.log_fd, l.data(), l.size());
}

std::string hex_bytes(const std::uint8_t *p, std::size_t n)
{
	std::string out;
	char b[4];
	for (std::size_t i = 0; i < n; ++i) {
		std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
		out += b;
	}
	return out;
}

// Reads a whole file through the real libc; false when it cannot be read.
bool read_file(const char *path, std::string &out)
{
	int fd = real::open(path, O_RDONLY | O_CLOEXEC, 0);
	if (fd < 0)
		return false;
	char buf[4096];
	for (;;) {
		ssize_t r = real::read(fd, buf, sizeof buf);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0) {
			real::close(fd);
			return r == 0;
		}
		out.append(buf, static_cast<std::size_t>(r));
	}
}

// Ends the process on a bad scenario or node list: where first (the
// scenario file and line, as "FILE:LINE: problem"), then what the status
// means, so that the run does not pass for a crash or a failed test.
[[noreturn]] void die(const std::string &where_and_problem)
{
	std::string l = where_and_problem + "\ntrvsim: bad scenario, nothing played; exit status " +
			std::to_string(TRVSIM_EXIT_BAD_SCENARIO) + "\n";
	(void)real::write(2, l.data(), l.size());
	_exit(TRVSIM_EXIT_BAD_SCENARIO);
}

// Reads TRVSIM_LOG, TRVSIM_SCENARIO and TRVSIM_NODES once per process.
// A scenario that cannot be read or parsed ends the process: running on
// without it would make the test that set it up fail in obscure ways.
void ensure_loaded(Sim &s)
{
	if (s.loaded)
		return;
	s.loaded = true;
	s.scenario_start = Clock::now();
	if (const char *log = std::getenv("TRVSIM_LOG"); log && *log)
		s.log_fd = real::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	bool present[TRVSIM_NODE_COUNT];
	for (bool &p : present)
		p = true;
	std::string error;
	if (const char *path = std::getenv("TRVSIM_SCENARIO"); path && *path) {
		std::string text, nodes_list;
		int line = 0;
		if (!read_file(path, text)) {
			const int e = errno;
			die(std::string(path) + ": cannot read the scenario (" + std::strerror(e) + ")");
		}
		if (!parse_scenario(text, s.scenario, nodes_list, error, line))
			die(std::string(path) + ":" + std::to_string(line) + ": " + error);
		// The nodes line was checked by the parser; this only applies it.
		(void)parse_nodes_list(nodes_list.empty() ? "all" : nodes_list, present, error);
	}
	if (const char *nodes_list = std::getenv("TRVSIM_NODES"); nodes_list && *nodes_list) {
		if (!parse_nodes_list(nodes_list, present, error))
			die("TRVSIM_NODES: " + error);
	}
	for (int i = 0; i < TRVSIM_NODE_COUNT; ++i)
		s.nodes[i].present = present[i];
}

std::unique_lock<std::mutex> lock_sim(Sim &s)
{
	std::unique_lock<std::mutex> lk(s.mu);
	ensure_loaded(s);
	return lk;
}

// ---- Model operations (called with the mutex held) ----

std::uint16_t track_len(const Sim &s, int attachment, int track)
{
	long forced = s.forced_len[attachment][track - 1];
	if (forced >= 0)
		return static_cast<std::uint16_t>(forced);
	const auto &q = s.tracks[attachment][track - 1];
	if (q.empty())
		return 0;
	return static_cast<std::uint16_t>(std::min(q.front().size(), kMaxAnnouncedLen));
}

void do_swipe(Sim &s, int attachment, int track, const std::uint8_t *p, std::size_t n)
{
	// An empty track announces nothing and could never be read off the
	// queue, so it is not queued.
	if (!valid_track(attachment, track) || n == 0)
		return;
	s.tracks[attachment][track - 1].emplace_back(p, p + n);
}

void do_set_present(Sim &s, int node, bool present)
{
	if (valid_node(node))
		s.nodes[node].present = present;
}

void do_raw_status(Sim &s, int node, const std::uint8_t *p, std::size_t n, int count)
{
	if (!valid_node(node) || !is_status(node))
		return;
	n = std::min(n, kMaxRawStatus);
	s.nodes[node].raw.assign(p, p + n);
	s.nodes[node].raw_count = count;
}

// The current status record of a status node.
std::vector<std::uint8_t> status_record(const Sim &s, int node)
{
	std::vector<std::uint8_t> out;
	auto put = [&out](const auto &rec) {
		const auto *p = reinterpret_cast<const std::uint8_t *>(&rec);
		out.assign(p, p + sizeof rec);
	};
	if (node == TRVSIM_PS2_STAT) {
		Ps2StatusRecord r{};
		r.uchKeyLockPos = static_cast<std::uint8_t>(s.keylock[TRVSIM_PS2]);
		r.uchKbdCount = static_cast<std::uint8_t>(std::min<std::size_t>(s.ps2_keys.size(), 255));
		r.ushTrack1Len = track_len(s, TRVSIM_PS2, 1);
		r.ushTrack2Len = track_len(s, TRVSIM_PS2, 2);
		r.ushTrack3Len = track_len(s, TRVSIM_PS2, 3);
		put(r);
	} else if (node == TRVSIM_USB_KBDSTAT) {
		UsbKbdStatusRecord r{};
		r.uchKbdCount = static_cast<std::uint8_t>(std::min<std::size_t>(s.usb_keys.size(), 255));
		put(r);
	} else {
		UsbMsrStatusRecord r{};
		r.ushTrack1Len = track_len(s, TRVSIM_USB, 1);
		r.ushTrack2Len = track_len(s, TRVSIM_USB, 2);
		r.ushTrack3Len = track_len(s, TRVSIM_USB, 3);
		r.ushKeyLockPos = s.keylock[TRVSIM_USB];
		put(r);
	}
	return out;
}

// What a successful read of n bytes of the node delivers; dequeues it.
std::size_t deliver(Sim &s, int node, std::uint8_t *buf, std::size_t n)
{
	NodeState &nd = s.nodes[node];
	switch (node) {
	case TRVSIM_PS2_STAT:
	case TRVSIM_USB_KBDSTAT:
	case TRVSIM_USB_MSRSTAT: {
		std::vector<std::uint8_t> rec;
		if (nd.raw_count != 0) {
			rec = nd.raw;
			if (nd.raw_count > 0)
				--nd.raw_count;
		} else {
			rec = status_record(s, node);
		}
		std::size_t k = std::min(n, rec.size());
		if (k > 0)
			std::memcpy(buf, rec.data(), k);
		return k;
	}
	case TRVSIM_PS2_KEYBOARD: {
		std::size_t k = std::min(n, s.ps2_keys.size());
		std::copy_n(s.ps2_keys.begin(), k, buf);
		s.ps2_keys.erase(s.ps2_keys.begin(), s.ps2_keys.begin() + static_cast<long>(k));
		return k;
	}
	case TRVSIM_USB_KEYBOARD: {
		// Whole 32-bit entries only, in the byte order of the machine.
		std::size_t k = std::min(n / 4, s.usb_keys.size());
		for (std::size_t i = 0; i < k; ++i) {
			std::uint32_t e = s.usb_keys.front();
			s.usb_keys.pop_front();
			std::memcpy(buf + 4 * i, &e, 4);
		}
		return 4 * k;
	}
	case TRVSIM_PS2_KEYLOCK:
	case TRVSIM_USB_KEYLOCK: {
		if (n == 0)
			return 0;
		int att = node == TRVSIM_PS2_KEYLOCK ? TRVSIM_PS2 : TRVSIM_USB;
		buf[0] = static_cast<std::uint8_t>(s.keylock[att] & 0xFF);
		return 1;
	}
	default: {
		// A track node hands out the front swipe's track and drops it
		// whole, also when the reader asked for less: the driver keeps
		// no partly read track. A read of 0 bytes takes nothing.
		int att = node >= TRVSIM_USB_MSR1 ? TRVSIM_USB : TRVSIM_PS2;
		int track = node - (att == TRVSIM_USB ? TRVSIM_USB_MSR1 : TRVSIM_PS2_MSR1) + 1;
		auto &q = s.tracks[att][track - 1];
		if (q.empty() || n == 0)
			return 0;
		std::size_t k = std::min(n, q.front().size());
		std::memcpy(buf, q.front().data(), k);
		q.pop_front();
		return k;
	}
	}
}

// Plays the scenario actions that are due. An exit action ends the process
// here, after the mutex is released and stdio is flushed.
void play(Sim &s, std::unique_lock<std::mutex> &lk);

void apply(Sim &s, const ScenarioAction &a, int &exit_status)
{
	using K = ScenarioAction::Kind;
	log_line(s, "scenario line " + std::to_string(a.line) + ": " + a.text);
	switch (a.kind) {
	case K::Swipe:
		do_swipe(s, a.attachment, a.track, a.bytes.data(), a.bytes.size());
		break;
	case K::Type:
		if (a.attachment == TRVSIM_PS2)
			s.ps2_keys.insert(s.ps2_keys.end(), a.bytes.begin(), a.bytes.end());
		else
			s.usb_keys.insert(s.usb_keys.end(), a.entries.begin(), a.entries.end());
		break;
	case K::Keylock:
		s.keylock[a.attachment] = static_cast<std::uint16_t>(a.value);
		break;
	case K::Present:
		for (int n : a.nodes)
			do_set_present(s, n, a.value != 0);
		break;
	case K::FailOpen:
		for (int n : a.nodes)
			s.nodes[n].fail_open = static_cast<int>(a.value);
		break;
	case K::Perm:
		for (int n : a.nodes) {
			s.nodes[n].perm_mode = static_cast<unsigned>(a.value);
			s.nodes[n].perm_uid = static_cast<unsigned>(a.count);
			s.nodes[n].perm_gid = static_cast<unsigned>(a.track);
		}
		break;
	case K::FailReads:
		for (int n : a.nodes)
			s.nodes[n].fail_reads = static_cast<int>(a.value);
		break;
	case K::ShortReads:
		for (int n : a.nodes)
			s.nodes[n].short_read = a.value < 0 ? SIZE_MAX : static_cast<std::size_t>(a.value);
		break;
	case K::ShortWrites:
		for (int n : a.nodes)
			s.nodes[n].short_write = a.value < 0 ? SIZE_MAX : static_cast<std::size_t>(a.value);
		break;
	case K::RawStatus:
		for (int n : a.nodes)
			do_raw_status(s, n, a.bytes.data(), a.bytes.size(), static_cast<int>(a.count));
		break;
	case K::ForceLen:
		s.forced_len[a.attachment][a.track - 1] = a.value;
		break;
	case K::ClearLen:
		s.forced_len[a.attachment][a.track - 1] = -1;
		break;
	case K::Log:
		break;
	case K::Exit:
		exit_status = static_cast<int>(a.value);
		break;
	}
}

void play(Sim &s, std::unique_lock<std::mutex> &lk)
{
	if (s.scenario.empty())
		return;
	int exit_status = -1;
	long elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
		Clock::now() - s.scenario_start).count();
	for (ScenarioAction &a : s.scenario) {
		if (a.fired)
			continue;
		bool due = a.trigger == ScenarioAction::Trigger::Ms
				   ? elapsed_ms >= a.trigger_count
				   : s.nodes[a.trigger_node].reads >= a.trigger_count;
		if (!due)
			continue;
		a.fired = true;
		apply(s, a, exit_status);
		if (exit_status >= 0)
			break;
	}
	if (exit_status < 0)
		return;
	lk.unlock();
	std::fflush(nullptr);
	_exit(exit_status);
}

int fd_entry_node(std::uint16_t e)
{
	return e ? (e & 0xFF) - 1 : -1;
}

} // namespace

int node_of_fd(int fd)
{
	if (fd < 0 || fd >= kMaxFd)
		return -1;
	return fd_entry_node(g_fd_table[fd].load(std::memory_order_acquire));
}

ssize_t note_closed_use(int fd, ssize_t result)
{
	if (result < 0 && errno == EBADF && fd >= 0 && fd < kMaxFd &&
	    g_fd_table[fd].load(std::memory_order_acquire) == kClosed)
		g_closed_uses.fetch_add(1, std::memory_order_relaxed);
	return result;
}

int node_of_name(std::string_view name)
{
	for (int i = 0; i < TRVSIM_NODE_COUNT; ++i)
		if (name == kNames[i] || name == kPaths[i])
			return i;
	return -1;
}

const char *node_name(int node)
{
	return valid_node(node) ? kNames[node] : nullptr;
}

int sim_open(int node, int flags)
{
	// The descriptor number is reserved before the mutex is taken, so that
	// no libc call (and no lazy symbol lookup) runs under it.
	int fd = real::open("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
	if (fd < 0)
		return -1;
	Sim &s = sim();
	auto lk = lock_sim(s);
	play(s, lk);
	NodeState &nd = s.nodes[node];
	int err = 0;
	if (!nd.present)
		err = ENOENT;
	else if (nd.fail_open)
		err = nd.fail_open;
	else if (fd >= kMaxFd)
		err = EMFILE;
	if (err) {
		const char *name = errno_name(err);
		log_line(s, std::string("open ") + kPaths[node] + " failed " +
				    (name ? name : std::to_string(err)));
		lk.unlock();
		real::close(fd);
		errno = err;
		return -1;
	}
	auto mode = static_cast<std::uint16_t>(flags & O_ACCMODE);
	g_fd_table[fd].store(static_cast<std::uint16_t>((node + 1) | (mode << 8)),
			     std::memory_order_release);
	++nd.open_fds;
	log_line(s, std::string("open ") + kPaths[node] + " fd=" + std::to_string(fd));
	return fd;
}

// A read or write on a node whose I/O is blocked waits here, on entry, until
// the node is released. The descriptor is looked up again afterwards, so a
// number closed (and reused) meanwhile is seen as such. The caller holds the
// simulator lock.
void hold_if_blocked(Sim &s, std::unique_lock<std::mutex> &lk, int fd)
{
	const int node = fd_entry_node(g_fd_table[fd].load(std::memory_order_acquire));
	if (node < 0 || !s.io_blocked[node])
		return;
	++s.io_held[node];
	s.cv.notify_all();
	s.cv.wait(lk, [&] { return !s.io_blocked[node]; });
	--s.io_held[node];
}

constexpr int kNotANode = -1;
constexpr int kRefused = -2;

// Node behind a descriptor, for a read or a write that a descriptor opened
// with refusedMode may not make. kNotANode when the number is not (or no
// longer: closed since the interposer looked) a node, so it may belong to an
// ordinary file; kRefused, with errno EBADF, when the access mode forbids it.
// The caller holds the simulator lock.
int node_of_descriptor(int fd, int refusedMode)
{
	const std::uint16_t e = g_fd_table[fd].load(std::memory_order_acquire);
	const int node = fd_entry_node(e);
	if (node < 0)
		return kNotANode;
	if (((e >> 8) & O_ACCMODE) == refusedMode) {
		errno = EBADF;
		return kRefused;
	}
	return node;
}

ssize_t sim_read(int fd, void *buf, size_t n)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	play(s, lk);
	hold_if_blocked(s, lk, fd);
	const int node = node_of_descriptor(fd, O_WRONLY);
	if (node == kNotANode) {
		lk.unlock();
		return note_closed_use(fd, real::read(fd, buf, n));
	}
	if (node == kRefused)
		return -1;
	if (s.step_on && node == s.gate) {
		s.at_gate = true;
		s.cv.notify_all();
		s.cv.wait(lk, [&] { return !s.step_on || s.gate != node || s.credits > 0; });
		s.at_gate = false;
		if (s.step_on && s.gate == node) {
			--s.credits;
			++s.passes;
		}
	}
	NodeState &nd = s.nodes[node];
	++nd.reads;
	s.cv.notify_all();
	if (g_fd_table[fd].load(std::memory_order_acquire) & kDead) {
		errno = ENODEV;
		return -1;
	}
	if (nd.fail_reads != 0) {
		if (nd.fail_reads > 0)
			--nd.fail_reads;
		errno = EIO;
		return -1;
	}
	return static_cast<ssize_t>(
		deliver(s, node, static_cast<std::uint8_t *>(buf), std::min(n, nd.short_read)));
}

ssize_t sim_write(int fd, const void *buf, size_t n)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	play(s, lk);
	hold_if_blocked(s, lk, fd);
	const int node = node_of_descriptor(fd, O_RDONLY);
	if (node == kNotANode) {
		lk.unlock();
		return note_closed_use(fd, real::write(fd, buf, n));
	}
	if (node == kRefused)
		return -1;
	if (g_fd_table[fd].load(std::memory_order_acquire) & kDead) {
		errno = ENODEV;
		return -1;
	}
	NodeState &nd = s.nodes[node];
	std::size_t k = std::min(n, nd.short_write);
	const auto *p = static_cast<const std::uint8_t *>(buf);
	++nd.write_count;
	nd.writes.emplace_back(p, p + k);
	if (nd.writes.size() > kMaxLoggedWrites)
		nd.writes.pop_front();
	log_line(s, std::string("write ") + kPaths[node] + " n=" + std::to_string(n) +
			    " ret=" + std::to_string(k) + " data=" + hex_bytes(p, k));
	return static_cast<ssize_t>(k);
}

int sim_stat(int node, struct stat *st)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	play(s, lk);
	const NodeState &nd = s.nodes[node];
	if (!nd.present) {
		errno = ENOENT;
		return -1;
	}
	std::memset(st, 0, sizeof(*st));
	st->st_mode = S_IFCHR | nd.perm_mode;
	st->st_uid = nd.perm_uid;
	st->st_gid = nd.perm_gid;
	st->st_nlink = 1;
	st->st_rdev = makedev(240, static_cast<unsigned>(node));
	st->st_blksize = 4096;
	return 0;
}

int sim_close(int fd)
{
	Sim &s = sim();
	{
		auto lk = lock_sim(s);
		play(s, lk);
		int node = fd_entry_node(g_fd_table[fd].exchange(kClosed, std::memory_order_acq_rel));
		if (node >= 0) {
			--s.nodes[node].open_fds;
			log_line(s, std::string("close ") + kPaths[node] + " fd=" + std::to_string(fd));
		}
	}
	return real::close(fd);
}

void sim_dup(int fd, int newfd)
{
	if (fd < 0 || fd >= kMaxFd || newfd < 0 || newfd >= kMaxFd)
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	const std::uint16_t e = g_fd_table[fd].load(std::memory_order_acquire);
	const int node = fd_entry_node(e);
	if (node < 0)
		return;
	g_fd_table[newfd].store(e, std::memory_order_release);
	++s.nodes[node].open_fds;
	log_line(s, std::string("dup ") + kPaths[node] + " fd=" + std::to_string(fd) + " to fd=" +
			    std::to_string(newfd));
}

} // namespace trvsim

using namespace trvsim;

extern "C" {

const char *trvsim_node_path(int node)
{
	return valid_node(node) ? kPaths[node] : nullptr;
}

int trvsim_node_of_path(const char *path)
{
	if (path == nullptr || std::strncmp(path, "/dev/", 5) != 0)
		return -1;
	for (int i = 0; i < TRVSIM_NODE_COUNT; ++i)
		if (std::strcmp(path, kPaths[i]) == 0)
			return i;
	return -1;
}

void trvsim_reset(void)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	for (NodeState &nd : s.nodes) {
		int open_fds = nd.open_fds;
		nd = NodeState{};
		nd.open_fds = open_fds;
	}
	s.ps2_keys.clear();
	s.usb_keys.clear();
	for (auto &att : s.tracks)
		for (auto &q : att)
			q.clear();
	s.keylock = {};
	for (auto &att : s.forced_len)
		att = {-1, -1, -1};
	s.step_on = false;
	s.gate = -1;
	s.credits = 0;
	s.passes = 0;
	s.scenario.clear();
	for (auto &e : g_fd_table)
		if (e.load(std::memory_order_relaxed) & kDead)
			e.fetch_and(static_cast<std::uint16_t>(~kDead));
	s.io_blocked = {};
	s.cv.notify_all();
}

void trvsim_set_present(int node, int present)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	do_set_present(s, node, present != 0);
}

void trvsim_set_all_present(int present)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	for (NodeState &nd : s.nodes)
		nd.present = present != 0;
}

void trvsim_ps2_type(const uint8_t *bytes, size_t n)
{
	if (bytes == nullptr)
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	s.ps2_keys.insert(s.ps2_keys.end(), bytes, bytes + n);
}

void trvsim_usb_type(const uint32_t *entries, size_t n)
{
	if (entries == nullptr)
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	s.usb_keys.insert(s.usb_keys.end(), entries, entries + n);
}

void trvsim_set_keylock(int attachment, uint16_t position)
{
	if (attachment != TRVSIM_PS2 && attachment != TRVSIM_USB)
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	s.keylock[attachment] = position;
}

void trvsim_swipe_track(int attachment, int track, const uint8_t *bytes, size_t n)
{
	if (bytes == nullptr)
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	do_swipe(s, attachment, track, bytes, n);
}

void trvsim_fail_open(int node, int on)
{
	trvsim_fail_open_errno(node, on ? EIO : 0);
}

void trvsim_fail_open_errno(int node, int err)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (valid_node(node))
		s.nodes[node].fail_open = err;
}

void trvsim_set_perm(int node, unsigned mode, unsigned uid, unsigned gid)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (valid_node(node)) {
		s.nodes[node].perm_mode = mode & 07777;
		s.nodes[node].perm_uid = uid;
		s.nodes[node].perm_gid = gid;
	}
}

void trvsim_fail_reads(int node, int count)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (valid_node(node))
		s.nodes[node].fail_reads = count;
}

void trvsim_short_reads(int node, size_t max)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (valid_node(node))
		s.nodes[node].short_read = max;
}

void trvsim_short_writes(int node, size_t max)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (valid_node(node))
		s.nodes[node].short_write = max;
}

void trvsim_raw_status(int node, const uint8_t *bytes, size_t n, int count)
{
	if (bytes == nullptr && n != 0)
		return;
	static const std::uint8_t none[1] = {0};
	Sim &s = sim();
	auto lk = lock_sim(s);
	do_raw_status(s, node, bytes ? bytes : none, n, count);
}

void trvsim_force_track_len(int attachment, int track, uint16_t length)
{
	if (!valid_track(attachment, track))
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	s.forced_len[attachment][track - 1] = length;
}

void trvsim_clear_track_len(int attachment, int track)
{
	if (!valid_track(attachment, track))
		return;
	Sim &s = sim();
	auto lk = lock_sim(s);
	s.forced_len[attachment][track - 1] = -1;
}

void trvsim_unplug(int node, int on)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (!valid_node(node))
		return;
	s.nodes[node].present = on == 0;
	if (on == 0)
		return;
	for (auto &e : g_fd_table) {
		const std::uint16_t v = e.load(std::memory_order_relaxed);
		if (fd_entry_node(v) == node)
			e.store(v | kDead, std::memory_order_release);
	}
}

void trvsim_block_io(int node, int on)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (!valid_node(node))
		return;
	s.io_blocked[node] = on != 0;
	s.cv.notify_all();
}

int trvsim_wait_blocked(int node, int count, int timeout_ms)
{
	if (!valid_node(node))
		return 0;
	Sim &s = sim();
	auto lk = lock_sim(s);
	return s.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
			     [&] { return s.io_held[node] >= count; })
		       ? 1
		       : 0;
}

long trvsim_reads(int node)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	return valid_node(node) ? s.nodes[node].reads : 0;
}

int trvsim_open_descriptors(int node)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (valid_node(node))
		return s.nodes[node].open_fds;
	if (node >= TRVSIM_NODE_COUNT)
		return 0;
	int total = 0;
	for (const NodeState &nd : s.nodes)
		total += nd.open_fds;
	return total;
}

int trvsim_dead_descriptors(int node)
{
	if (!valid_node(node))
		return 0;
	Sim &s = sim();
	auto lk = lock_sim(s);
	int dead = 0;
	for (const auto &e : g_fd_table) {
		const std::uint16_t v = e.load(std::memory_order_relaxed);
		dead += fd_entry_node(v) == node && (v & kDead) != 0;
	}
	return dead;
}

long trvsim_closed_uses(void)
{
	return g_closed_uses.load(std::memory_order_relaxed);
}

int trvsim_write_count(int node)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	return valid_node(node) ? static_cast<int>(s.nodes[node].write_count) : 0;
}

long trvsim_written(int node, int index, uint8_t *buf, size_t cap)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (!valid_node(node))
		return -1;
	const auto &w = s.nodes[node].writes;
	long count = static_cast<long>(w.size());
	long i = index < 0 ? count + index : index;
	if (i < 0 || i >= count)
		return -1;
	const auto &rec = w[static_cast<std::size_t>(i)];
	if (buf != nullptr && !rec.empty())
		std::memcpy(buf, rec.data(), std::min(cap, rec.size()));
	return static_cast<long>(rec.size());
}

size_t trvsim_queued(int node)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	switch (node) {
	case TRVSIM_PS2_KEYBOARD:
		return s.ps2_keys.size();
	case TRVSIM_USB_KEYBOARD:
		return s.usb_keys.size();
	case TRVSIM_PS2_MSR1: case TRVSIM_PS2_MSR2: case TRVSIM_PS2_MSR3:
	case TRVSIM_USB_MSR1: case TRVSIM_USB_MSR2: case TRVSIM_USB_MSR3: {
		int att = node >= TRVSIM_USB_MSR1 ? TRVSIM_USB : TRVSIM_PS2;
		int t = node - (att == TRVSIM_USB ? TRVSIM_USB_MSR1 : TRVSIM_PS2_MSR1);
		std::size_t total = 0;
		for (const auto &sw : s.tracks[att][t])
			total += sw.size();
		return total;
	}
	default:
		return 0;
	}
}

int trvsim_wait_reads(int node, long count, int timeout_ms)
{
	if (!valid_node(node))
		return 0;
	Sim &s = sim();
	auto lk = lock_sim(s);
	return s.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
			     [&] { return s.nodes[node].reads >= count; })
		       ? 1
		       : 0;
}

void trvsim_step_mode(int gate_node, int on)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (on && valid_node(gate_node)) {
		s.step_on = true;
		s.gate = gate_node;
	} else {
		s.step_on = false;
		s.gate = -1;
	}
	s.credits = 0;
	s.cv.notify_all();
}

int trvsim_step(int count, int timeout_ms)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	if (!s.step_on || count < 0)
		return 0;
	s.credits += count;
	long target = s.passes + s.credits;
	s.cv.notify_all();
	bool ok = s.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
		return !s.step_on || (s.passes >= target && s.at_gate && s.credits == 0);
	});
	if (!ok || !s.step_on) {
		// Cycles not begun by now are withdrawn, so that a late loop
		// does not run ahead of the test.
		s.credits = 0;
		return 0;
	}
	return 1;
}

int trvsim_scenario_load(const char *text, char *error, size_t error_cap)
{
	std::vector<ScenarioAction> actions;
	std::string nodes_list, err;
	bool present[TRVSIM_NODE_COUNT];
	for (bool &p : present)
		p = true;
	int line = 0;
	bool ok = text != nullptr && parse_scenario(text, actions, nodes_list, err, line) &&
		  (nodes_list.empty() || parse_nodes_list(nodes_list, present, err));
	if (!ok) {
		if (text == nullptr)
			err = "no scenario text";
		else if (line > 0)
			err = "line " + std::to_string(line) + ": " + err;
		if (error != nullptr && error_cap > 0)
			std::snprintf(error, error_cap, "%s", err.c_str());
		return -1;
	}
	Sim &s = sim();
	auto lk = lock_sim(s);
	s.scenario = std::move(actions);
	s.scenario_start = Clock::now();
	if (!nodes_list.empty())
		for (int i = 0; i < TRVSIM_NODE_COUNT; ++i)
			s.nodes[i].present = present[i];
	return 0;
}

int trvsim_scenario_pending(void)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	int n = 0;
	for (const ScenarioAction &a : s.scenario)
		n += a.fired ? 0 : 1;
	return n;
}

int trvsim_scenario_poll(void)
{
	Sim &s = sim();
	auto lk = lock_sim(s);
	play(s, lk);
	int n = 0;
	for (const ScenarioAction &a : s.scenario)
		n += a.fired ? 0 : 1;
	return n;
}

} // extern "C"
