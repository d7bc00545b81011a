// The soak. A seeded generator drives the simulated drivers one polling
// cycle at a time: the loop runs in the simulator's step mode, so keys,
// keylock turns, swipes and faults land between two cycles and the model
// knows what each cycle can deliver. Meanwhile session threads open, claim,
// release and close the devices and write configuration, a stopper thread
// stops polling for restarts, and every callback checks what it fetches
// against the model. Threads other than the generator are free-running, so
// the seed replays the input and each thread's calls, not the interleaving.
//
// The world is modelled as it is, and nothing the library leaves broken is
// mended: a track too long for the library stays announced until the
// library reads it off; most unplugs get no reaction from Java at all (no
// close, no reopen, no restart); in callback-only phases nobody fetches key
// entries outside the callbacks, which now and then ignore the news or
// throw; callbacks stop polling and have it started again on a new thread;
// the MSR is closed while a swipe is being gathered.
//
// Invariants (each violation is counted and the first ones are printed):
// - key entries, keylock changes and tracks reach Java once, in order, with
//   their bytes, and all of them once the run drains; a report never mixes
//   two swipes; a swipe no fault touched comes in one report, whole; a
//   report is never empty unless the swipe's only tracks were too long;
// - a track too long for the library is read off the driver by the library;
// - tracks read in an MSR session and not reported are dropped at the next
//   openMSR and never reported;
// - with 255 entries pending and more waiting in a sound driver, a
//   callback-only client gets kbdDataOccurred in every cycle, once;
// - a node unplugged while the library held it and plugged back in with no
//   reaction from Java is reopened by the library within 25 cycles of the
//   first cycle that needs it, and the configuration it had is sent again;
// - at the end no card byte is left in the library's writable memory;
// - a keylock change made while the keylock is open and its nodes are sound
//   is reported in the cycle that sees it, and nothing is reported twice;
// - each result of an open, claim, release, close or configuration write is
//   what the state of the nodes gives, and the descriptors the simulator
//   counts match after it; writes reach only the nodes meant for them;
// - stopPolling returns within two cycles; the loop comes round every cycle;
// - resident memory after warm-up grows no more than the bound.
#include "soak.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "card_memory.h"
#include "trvsim.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int OPENED = 4660;
constexpr int GATE = TRVSIM_PS2_STAT;        // first status node the loop reads
// The gate of the cycles: GATE, or the USB keyboard status while GATE is
// unplugged (a library that closes a dead descriptor no longer reads GATE).
std::atomic<int> g_gate{GATE};
constexpr std::uint32_t USB_KEY_TAG = 0x5A000000; // USB entry: tag | 24-bit sequence
constexpr std::size_t ID_DIGITS = 7;          // every track starts with its swipe id
constexpr std::size_t DRIVER_QUEUE_MAX = 200; // keys the generator lets queue up
constexpr long LOST_AFTER_CYCLES = 200;       // open MSR cycles a read swipe may wait
constexpr long REOPEN_WITHIN_CYCLES = 25;     // a replugged node, from the cycle that needs it
constexpr std::uint16_t MAX_ANNOUNCED = 0xFFFE; // longest track a status can announce
constexpr long KBD_PENDING_MAX = 255;         // key entries the library holds at most
constexpr int STEP_TIMEOUT_MS = 10000;

// ---- Violations --------------------------------------------------------------

struct Violations {
	std::mutex mu;
	std::map<std::string, long> count;
	std::map<std::string, std::vector<std::string>> examples;
} g_violations;

std::atomic<long> g_cycle{0};

void Violate(const char *invariant, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Violate(const char *invariant, const char *fmt, ...)
{
	char msg[512];
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(msg, sizeof msg, fmt, ap);
	va_end(ap);
	std::lock_guard lk(g_violations.mu);
	auto &ex = g_violations.examples[invariant];
	if (g_violations.count[invariant]++ < 3) {
		ex.push_back("cycle " + std::to_string(g_cycle.load()) + ": " + msg);
		std::fprintf(stderr, "soak: VIOLATION [%s] cycle %ld: %s\n", invariant, g_cycle.load(), msg);
	}
}

// ---- Nodes and devices -----------------------------------------------------

constexpr int KBD_NODE[2] = {TRVSIM_PS2_KEYBOARD, TRVSIM_USB_KEYBOARD};
constexpr int KLK_NODE[2] = {TRVSIM_PS2_KEYLOCK, TRVSIM_USB_KEYLOCK};
constexpr int MSR_NODE[2][3] = {{TRVSIM_PS2_MSR1, TRVSIM_PS2_MSR2, TRVSIM_PS2_MSR3},
				{TRVSIM_USB_MSR1, TRVSIM_USB_MSR2, TRVSIM_USB_MSR3}};
constexpr int STATUS_NODES[3] = {TRVSIM_PS2_STAT, TRVSIM_USB_KBDSTAT, TRVSIM_USB_MSRSTAT};
constexpr int KLK_STATUS[2] = {TRVSIM_PS2_STAT, TRVSIM_USB_MSRSTAT};

bool IsStatus(int node)
{
	return node == TRVSIM_PS2_STAT || node == TRVSIM_USB_KBDSTAT || node == TRVSIM_USB_MSRSTAT;
}

// Device and attachment of a data node.
void DeviceOf(int node, Device &d, int &att)
{
	att = node >= TRVSIM_USB_KBDSTAT ? TRVSIM_USB : TRVSIM_PS2;
	if (node == KBD_NODE[att])
		d = KEYBOARD;
	else if (node == KLK_NODE[att])
		d = KEYLOCK;
	else
		d = MSR;
}

// What the soak knows of one device; guarded by mu, which is held around
// every session call of the device and every change of its nodes' faults.
struct DeviceState {
	std::mutex mu;
	bool open = false, claimed = false;
	bool held[2] = {}; // the attachment's node (MSR: whole chain) is held
};

struct Model {
	DeviceState dev[3];
	std::mutex statusMu; // status nodes: their faults, starts and stops
	bool statusHeld[TRVSIM_NODE_COUNT] = {};

	// Per node, guarded by the lock of its device (statusMu for status nodes).
	bool unplugged[TRVSIM_NODE_COUNT] = {};
	bool failOpen[TRVSIM_NODE_COUNT] = {};
	bool shortWrite[TRVSIM_NODE_COUNT] = {};
	// The library holds a dead descriptor of it. Written under the lock of the
	// node's device, read by the generator under g.mu too: atomic.
	std::atomic<bool> dead[TRVSIM_NODE_COUNT] = {};

	// Deliveries; guarded by mu (the getters run under it, so that fetches
	// of several threads are recorded in the order they were made).
	std::mutex mu;
	long usbTyped = 0, usbGot = 0, ps2Typed = 0, ps2Got = 0;
	// Keylock changes are numbered; their values cycle through 1..255. A
	// change seen late (its status node was down) may come after a newer
	// change of the other attachment, so order is kept per attachment.
	long klkIndex = 0, klkGot[2] = {}, klkReports = 0;
	int klkAttOf[256] = {}; // attachment of change index % 256
	std::uint16_t klkPos[2] = {};
	struct Swipe {
		long id;
		int att;
		std::vector<std::uint8_t> want[3]; // empty: no such track, or too long
		bool got[3];
		bool oversize[3];  // too long for the library: read off, reported empty
		bool readOff[3];   // ... and the library has read it off the driver
		bool faulted;      // a fault touched its nodes: it may come in parts
		long openCyclesWaited = 0;
	};
	// At most one swipe is out at a time (one card at a time).
	std::deque<Swipe> swipes;
	long lastTrackId[3] = {};
	long swipesMade = 0, swipesExpected = 0, swipesGot = 0, tracksGot = 0, emptyReports = 0;
	long swipesDropped = 0, reportsIgnored = 0;
	bool lastReportIgnored = false;
	// Every card byte a driver delivered or the library stores, on the heap
	// so that the search of the writable segments finds only the library's.
	std::vector<std::vector<std::uint8_t>> cards;
} g;

// What Java does this phase and this cycle. A callback-only client fetches
// key entries only in its callbacks; busy, its key callbacks return without
// fetching. Set under g.mu, so that a fetch outside a callback that saw the
// phase as mixed is over before a callback-only cycle begins.
std::atomic<bool> g_callbackOnly{false};
std::atomic<bool> g_busy{false};
// Device whose sessions Java leaves alone while a replug waits for the
// library to reopen a node of it by itself.
std::atomic<bool> g_handsOff[3] = {};
std::atomic<bool> g_statusHandsOff{false};
// Restarts from callbacks: allowed by the generator between two cycles; a
// callback that stops polling and has it started anew raises g_restarted.
std::atomic<bool> g_callbackRestartOk{false}, g_restarted{false};
// The keyboard configuration was sent in this keyboard session; a header
// record was written once.
std::atomic<bool> g_kbdConfigSent{false}, g_msrHeaderSent{false};

std::mutex &LockOf(int node)
{
	if (IsStatus(node))
		return g.statusMu;
	Device d;
	int att;
	DeviceOf(node, d, att);
	return g.dev[d].mu;
}

bool Available(int node)
{
	return !g.unplugged[node] && !g.failOpen[node];
}

bool HeldByLibrary(int node)
{
	if (IsStatus(node))
		return g.statusHeld[node];
	Device d;
	int att;
	DeviceOf(node, d, att);
	return g.dev[d].open && g.dev[d].held[att];
}

// ---- Counters for the report ------------------------------------------------

struct Counters {
	std::atomic<long> callbacks{0}, opens{0}, closes{0}, claims{0}, configWrites{0};
	std::atomic<long> readFaults{0}, shortReads{0}, shortWrites{0}, failedOpens{0}, unplugs{0},
		recoveries{0}, noDataTracks{0}, oversize{0}, restarts{0}, quickRestarts{0}, busySpells{0};
	std::atomic<long> healedReplugs{0}, silentReplugs{0}, callbackOnlyBusy{0}, busySurvived{0},
		oversizeReadOff{0}, callbackRestarts{0}, callbackStarts{0}, midSwipeCloses{0}, throws{0},
		reminders{0}, kbdCallbacks{0}, kbdFetches{0};
	std::size_t cardBytesFound = 0;
	std::atomic<long> maxStopCycles{0};
	int peakDescriptors = 0;
	double idleCpuUs = 0, unpluggedCpuUs = 0;
	long idleCycles = 0, unpluggedCycles = 0;
	long rssStart = 0, rssWarm = 0, rssEnd = 0;
} g_count;

long RssKiB()
{
	long pages = 0, resident = 0;
	if (FILE *f = std::fopen("/proc/self/statm", "r")) {
		if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
			resident = 0;
		std::fclose(f);
	}
	return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// ---- Content of the input ----------------------------------------------------

std::uint8_t Ps2Byte(long seq)
{
	return static_cast<std::uint8_t>(1 + seq % 255);
}

std::uint8_t KeylockValue(long index)
{
	return static_cast<std::uint8_t>(1 + (index - 1) % 255);
}

// Set-1 make code of a digit; its break code has bit 7 set.
std::uint8_t DigitMake(char c)
{
	return c == '0' ? 0x0B : static_cast<std::uint8_t>(0x02 + (c - '1'));
}

std::string IdDigits(long id)
{
	char buf[16];
	std::snprintf(buf, sizeof buf, "%07ld", id % 10000000);
	return buf;
}

// Swipe id at the start of a fetched track: USB bytes start with it, a PS/2
// frame (0x00, sentinel, characters, '?') after two bytes. -1 if none.
long IdOf(const std::vector<std::uint8_t> &t)
{
	const std::size_t at = !t.empty() && t[0] == 0x00 ? 2 : 0;
	if (t.size() < at + ID_DIGITS)
		return -1;
	long id = 0;
	for (std::size_t i = at; i < at + ID_DIGITS; ++i) {
		if (t[i] < '0' || t[i] > '9')
			return -1;
		id = id * 10 + (t[i] - '0');
	}
	return id;
}

// ---- Recording what Java fetched -----------------------------------------------

void RecordKeys(const std::vector<std::int32_t> &keys)
{
	for (std::int32_t k : keys) {
		const auto e = static_cast<std::uint32_t>(k);
		if ((e & 0xFF000000) == USB_KEY_TAG) {
			const long want = g.usbGot & 0xFFFFFF;
			if (static_cast<long>(e & 0xFFFFFF) != want)
				Violate("key entries once, in order", "USB entry %06x, want %06lx", e & 0xFFFFFF, want);
			g.usbGot += ((static_cast<long>(e & 0xFFFFFF) - want) & 0xFFFFFF) + 1;
		} else if (e <= 0xFF) {
			const std::uint8_t want = Ps2Byte(g.ps2Got);
			if (e != want)
				Violate("key entries once, in order", "PS/2 byte %02x, want %02x", e, want);
			g.ps2Got += e == want ? 1 : (static_cast<long>(e) - want + 255) % 255 + 1;
		} else {
			Violate("key entries once, in order", "entry %08x was never typed", e);
		}
	}
}

// A callback-only busy spell is over; survived once a callback fetches.
std::atomic<bool> g_busyEnded{false};

// Fetches key entries; outside a callback not in a callback-only phase.
void FetchKeys(Api &api, bool inCallback)
{
	std::lock_guard lk(g.mu);
	if (!inCallback && g_callbackOnly)
		return;
	if (inCallback && g_busyEnded.exchange(false))
		++g_count.busySurvived;
	++g_count.kbdFetches;
	bool failed = false;
	RecordKeys(api.GetKbdData(&failed));
	if (failed)
		Violate("getters return arrays", "getKbdData returned null");
}

// Tracks too long for the library leave the driver only by its reads (one
// card at a time: an empty track node holds none of the swipe out). The
// caller holds g.mu.
void NoteReadOffLocked()
{
	for (Model::Swipe &s : g.swipes)
		for (int t = 0; t < 3; ++t)
			if (s.oversize[t] && !s.readOff[t] && trvsim_queued(MSR_NODE[s.att][t]) == 0) {
				s.readOff[t] = true;
				++g_count.oversizeReadOff;
			}
}

bool Complete(const Model::Swipe &s)
{
	for (int i = 0; i < 3; ++i)
		if (!s.want[i].empty() && !s.got[i])
			return false;
	return true;
}

void RecordSwipe(Api &api)
{
	std::vector<std::uint8_t> t[4];
	bool failed = false;
	for (int i = 0; i < 4; ++i)
		t[i] = api.GetTrack(i + 1, &failed);
	if (failed)
		Violate("getters return arrays", "a track getter returned null");
	if (!t[3].empty())
		Violate("tracks once, in order, intact", "track 4 holds %zu bytes", t[3].size());
	std::lock_guard lk(g.mu);
	g.lastReportIgnored = false;
	NoteReadOffLocked(); // read off in this cycle, maybe
	Model::Swipe *reported = nullptr;
	int tracks = 0;
	for (int i = 0; i < 3; ++i) {
		if (t[i].empty())
			continue;
		++tracks;
		const long id = IdOf(t[i]);
		auto it = std::find_if(g.swipes.begin(), g.swipes.end(), [&](const Model::Swipe &s) {
			return s.id % 10000000 == id && !s.want[i].empty() && !s.got[i];
		});
		if (it == g.swipes.end()) {
			Violate("tracks once, in order, intact", "track %d (%zu bytes, id %ld) is no pending swipe's",
				i + 1, t[i].size(), id);
			continue;
		}
		if (t[i] != it->want[i])
			Violate("tracks once, in order, intact", "track %d of swipe %ld: %zu bytes, want %zu",
				i + 1, it->id, t[i].size(), it->want[i].size());
		if (it->id <= g.lastTrackId[i])
			Violate("tracks once, in order, intact", "track %d of swipe %ld after swipe %ld's", i + 1,
				it->id, g.lastTrackId[i]);
		if (reported != nullptr && reported != &*it)
			Violate("a report holds one swipe", "swipes %ld and %ld in one report", reported->id, it->id);
		reported = &*it;
		g.lastTrackId[i] = it->id;
		it->got[i] = true;
		++g.tracksGot;
	}
	if (tracks == 0) {
		// Only a swipe whose every track was too long (and is read off)
		// is reported with no track.
		auto it = std::find_if(g.swipes.begin(), g.swipes.end(), [](const Model::Swipe &s) {
			for (int i = 0; i < 3; ++i)
				if (!s.want[i].empty() || (s.oversize[i] && !s.readOff[i]))
					return false;
			return std::any_of(std::begin(s.oversize), std::end(s.oversize), [](bool o) { return o; });
		});
		// A faulted swipe whose readable tracks failed and whose oversize
		// track was read off is reported empty too; the rest may follow.
		if (it == g.swipes.end() &&
		    std::any_of(g.swipes.begin(), g.swipes.end(), [](const Model::Swipe &s) {
			    for (int i = 0; i < 3; ++i)
				    if (s.faulted && s.oversize[i] && s.readOff[i])
					    return true;
			    return false;
		    })) {
			++g.emptyReports;
			return;
		}
		if (it == g.swipes.end()) {
			std::string out;
			for (const Model::Swipe &w : g.swipes) {
				char line[160];
				std::snprintf(line, sizeof line, " [swipe %ld %s: want %zu/%zu/%zu got %d%d%d oversize %d%d%d%s]",
					      w.id, w.att == TRVSIM_USB ? "USB" : "PS/2", w.want[0].size(), w.want[1].size(),
					      w.want[2].size(), w.got[0], w.got[1], w.got[2], w.oversize[0], w.oversize[1],
					      w.oversize[2], w.faulted ? " faulted" : "");
				out += line;
			}
			Violate("a report carries one whole swipe, none empty", "msrDataOccurred with no track;%s",
				out.empty() ? " no swipe pending" : out.c_str());
		} else {
			++g.emptyReports;
			++g.swipesGot;
			g.swipes.erase(it);
		}
		return;
	}
	if (reported != nullptr && !reported->faulted && !Complete(*reported))
		Violate("a report carries one whole swipe, none empty",
			"swipe %ld (%s) reported in parts: tracks %zu/%zu/%zu wanted, %d%d%d got, oversize %d%d%d",
			reported->id, reported->att == TRVSIM_USB ? "USB" : "PS/2", reported->want[0].size(),
			reported->want[1].size(), reported->want[2].size(), reported->got[0], reported->got[1],
			reported->got[2], reported->oversize[0], reported->oversize[1], reported->oversize[2]);
	// Swipes whose every track arrived leave the model; a swipe that no
	// fault touched leaves with its one report, whole or not.
	std::erase_if(g.swipes, [reported](const Model::Swipe &s) {
		if (!Complete(s) && !(&s == reported && !s.faulted))
			return false;
		for (int t = 0; t < 3; ++t)
			if (s.oversize[t] && !s.readOff[t])
				return false; // until the library reads it off
		++g.swipesGot;
		return true;
	});
}

// msrDataOccurred that Java ignores (it fetches nothing): the tracks of the
// swipe it reported are dropped when the next swipe begins, and must never
// come.
void IgnoreSwipe()
{
	std::lock_guard lk(g.mu);
	++g.reportsIgnored;
	g.lastReportIgnored = true;
	g.swipesDropped += static_cast<long>(g.swipes.size());
	g.swipes.clear();
}

bool IgnoreSwipeAllowed()
{
	std::lock_guard lk(g.mu);
	if (g.swipes.size() != 1 || g.swipes.front().faulted)
		return false;
	for (int n : {0, 1, 2})
		if (trvsim_queued(MSR_NODE[g.swipes.front().att][n]) != 0)
			return false;
	return true;
}

void RecordKeylock(Api &api)
{
	bool failed = false;
	const auto data = api.GetKeyLockData(&failed);
	const int pos = api.GetKeyLockPosition();
	std::lock_guard lk(g.mu);
	++g.klkReports;
	if (failed || data.size() != 1) {
		Violate("keylock changes once, in order", "getKeyLockData gave %zu bytes", data.size());
		return;
	}
	// Index of the newest change that set this value.
	const long back = (KeylockValue(g.klkIndex) - data[0] + 255) % 255;
	const long index = g.klkIndex - back;
	long &got = g.klkGot[g.klkAttOf[index % 256]];
	if (data[0] == 0 || index <= got)
		Violate("keylock changes once, in order", "position %u (change %ld) after change %ld was reported",
			data[0], index, got);
	else
		got = index;
	if (pos != 0 && pos != (g.klkPos[TRVSIM_USB] & 0xFF) && pos != g.klkPos[TRVSIM_PS2])
		Violate("keylock changes once, in order", "getKeyLockPosition %d, positions are %u and %u", pos,
			g.klkPos[TRVSIM_PS2], g.klkPos[TRVSIM_USB]);
}

// ---- Session calls, checked against the state of the nodes -------------------

void CheckDescriptors(Device d, const char *after)
{
	const DeviceState &ds = g.dev[d];
	for (int att = 0; att < 2; ++att) {
		std::vector<int> nodes;
		if (d == KEYBOARD)
			nodes = {KBD_NODE[att]};
		else if (d == KEYLOCK)
			nodes = {KLK_NODE[att]};
		else
			nodes = {MSR_NODE[att][0], MSR_NODE[att][1], MSR_NODE[att][2]};
		for (int n : nodes) {
			const int want = ds.open && ds.held[att] ? 1 : 0;
			const int got = trvsim_open_descriptors(n);
			if (got != want)
				Violate("descriptors as expected", "%s holds %d descriptors after %s, want %d",
					trvsim_node_path(n), got, after, want);
		}
	}
}

// Drops the (swipe, track) pairs read in the MSR session before this open:
// a swipe with nothing left in the driver leaves the model; one with tracks
// still there comes in parts.
void DropAtOpen(const std::vector<std::pair<long, int>> &read)
{
	std::lock_guard lk(g.mu);
	for (const auto &[id, t] : read) {
		auto it = std::find_if(g.swipes.begin(), g.swipes.end(), [id](const Model::Swipe &s) { return s.id == id; });
		if (it == g.swipes.end())
			continue;
		it->want[t].clear();
		it->oversize[t] = false;
		it->faulted = true;
	}
	std::erase_if(g.swipes, [](const Model::Swipe &s) {
		for (int t = 0; t < 3; ++t)
			if (!s.got[t] && (!s.want[t].empty() || s.oversize[t]))
				return false;
		++g.swipesDropped;
		return true;
	});
}

const char *NameOf(Device d)
{
	return d == KEYBOARD ? "KeyBoard" : d == MSR ? "MSR" : "KeyLock";
}

// Open, close, claim or release (op 0..3) of a device; the caller holds its lock.
void SessionCall(Api &api, Device d, int op)
{
	DeviceState &ds = g.dev[d];
	char what[64];
	if (op == 0) {
		bool avail[2];
		for (int att = 0; att < 2; ++att)
			avail[att] = d == KEYBOARD  ? Available(KBD_NODE[att])
				     : d == KEYLOCK ? Available(KLK_NODE[att])
						    : Available(MSR_NODE[att][0]) && Available(MSR_NODE[att][1]) &&
							      Available(MSR_NODE[att][2]);
		const int want = !ds.open && (avail[0] || avail[1]) ? OPENED : -1;
		// Tracks the library read and did not report are dropped at the
		// open (nothing reads a track node while the MSR is closed).
		std::vector<std::pair<long, int>> read;
		if (d == MSR && !ds.open) {
			std::lock_guard lk(g.mu);
			for (const Model::Swipe &s : g.swipes)
				for (int t = 0; t < 3; ++t)
					if (trvsim_queued(MSR_NODE[s.att][t]) == 0 && !s.got[t])
						read.emplace_back(s.id, t);
		}
		const int got = api.Open(d);
		++g_count.opens;
		std::snprintf(what, sizeof what, "open%s", NameOf(d));
		if (got != want)
			Violate("results as the nodes give", "%s returned %d, want %d", what, got, want);
		if (!ds.open && got == OPENED) {
			ds.open = true;
			ds.held[0] = avail[0];
			ds.held[1] = avail[1];
			if (!read.empty())
				DropAtOpen(read);
		}
	} else if (op == 1) {
		const int got = api.Close(d);
		++g_count.closes;
		std::snprintf(what, sizeof what, "close%s", NameOf(d));
		if (d == KEYLOCK && got != (ds.open ? 0 : -1))
			Violate("results as the nodes give", "closeKeyLock returned %d with the keylock %s", got,
				ds.open ? "open" : "closed");
		ds.open = false;
		ds.held[0] = ds.held[1] = false;
		if (d == KEYBOARD)
			g_kbdConfigSent = false;
		for (int n = 0; n < TRVSIM_NODE_COUNT; ++n)
			if (!IsStatus(n) && &LockOf(n) == &ds.mu)
				g.dead[n] = false;
	} else {
		if (d == KEYLOCK)
			return;
		const bool claim = op == 2;
		const int want = claim ? (ds.open && !ds.claimed ? 0 : -1) : (ds.claimed ? 0 : -1);
		const int got = claim ? api.Claim(d) : api.Release(d);
		++g_count.claims;
		if (got != want)
			Violate("results as the nodes give", "%s %s returned %d, want %d", claim ? "claim" : "release",
				NameOf(d), got, want);
		if (got == 0)
			ds.claimed = claim;
		return;
	}
	CheckDescriptors(d, what);
}

void WriteKeyboardConfigChecked(Api &api)
{
	std::lock_guard lk(g.dev[KEYBOARD].mu);
	const DeviceState &ds = g.dev[KEYBOARD];
	bool sent = false;
	for (int att = 0; att < 2; ++att)
		sent |= ds.open && ds.held[att] && !g.dead[KBD_NODE[att]] && !g.shortWrite[KBD_NODE[att]];
	// A node back after an unplug may be reopened by the library at any
	// time: the result is then either.
	bool settled = true;
	for (int att = 0; att < 2; ++att)
		settled &= !(g.dead[KBD_NODE[att]] && !g.unplugged[KBD_NODE[att]]);
	const int got = api.WriteKeyboardConfig();
	++g_count.configWrites;
	if (got == 0 && ds.open)
		g_kbdConfigSent = true;
	if (settled && got != (sent ? 0 : -1))
		Violate("results as the nodes give", "writeKeyboardConfig returned %d, want %d", got, sent ? 0 : -1);
}

// Checked when no start or stop is under way; otherwise it races a restart.
void WriteMsrConfigChecked(Api &api)
{
	std::unique_lock lk(g.statusMu, std::try_to_lock);
	const int n = TRVSIM_USB_MSRSTAT;
	const bool sent = lk.owns_lock() && g.statusHeld[n] && !g.dead[n] && !g.shortWrite[n];
	const bool settled = lk.owns_lock() && !(g.dead[n] && !g.unplugged[n]) && !g_restarted;
	const int got = api.WriteMsrConfig({0x10});
	++g_count.configWrites;
	if (got == 0)
		g_msrHeaderSent = true;
	if (settled && !g_restarted && got != (sent ? 0 : -1))
		Violate("results as the nodes give", "writeMSRConfig returned %d, want %d", got, sent ? 0 : -1);
}

// Writes must land where the library means them: the POS key tables on the
// keyboard nodes, the header record on the USB MSR status node.
void CheckWrites()
{
	static int seen[TRVSIM_NODE_COUNT];
	for (int n = 0; n < TRVSIM_NODE_COUNT; ++n) {
		const int total = trvsim_write_count(n);
		const int kept = std::min(total, 256);
		for (int i = std::max(0, kept - (total - seen[n])); i < kept; ++i) {
			const long len = trvsim_written(n, i, nullptr, 0);
			const long whole = n == TRVSIM_PS2_KEYBOARD ? 385 : n == TRVSIM_USB_KEYBOARD ? 1024
								    : n == TRVSIM_USB_MSRSTAT  ? 17 : 0;
			// A short write takes at most 16 bytes of a whole record.
			if (whole == 0 || (len != whole && len > 16))
				Violate("writes reach their node", "%ld bytes written to %s", len, trvsim_node_path(n));
		}
		seen[n] = total;
	}
}

// ---- Threads ------------------------------------------------------------------

// The polling threads: startPolling whenever asked, and at once again after
// it returns when a quick restart is asked for. There are two, so that a
// callback can stop polling and have it started on a thread that is not
// the one its callback runs on.
struct Poller {
	std::mutex mu;
	std::condition_variable cv;
	int startsAsked = 0;
	bool quit = false;
	std::atomic<bool> quick{false};
	std::atomic<long> returns{0}, returnReads{0};

	void Body(Api &api)
	{
		for (;;) {
			{
				std::unique_lock lk(mu);
				cv.wait(lk, [&] { return startsAsked > 0 || quit; });
				if (quit)
					return;
				--startsAsked;
			}
			do {
				api.StartPolling();
				returnReads = trvsim_reads(g_gate);
				++returns;
			} while (quick.exchange(false));
		}
	}
	void Start()
	{
		std::lock_guard lk(mu);
		++startsAsked;
		cv.notify_all();
	}
	void Quit()
	{
		std::lock_guard lk(mu);
		quit = true;
		cv.notify_all();
	}
} g_poller;

// The stopper thread: one stopPolling per request.
struct Stopper {
	std::mutex mu;
	std::condition_variable cv;
	bool asked = false, quit = false;
	std::atomic<bool> done{true};
	std::atomic<long> returnReads{0};

	void Body(Api &api)
	{
		for (;;) {
			{
				std::unique_lock lk(mu);
				cv.wait(lk, [&] { return asked || quit; });
				if (quit)
					return;
				asked = false;
			}
			api.StopPolling();
			returnReads = trvsim_reads(g_gate);
			done = true;
		}
	}
	void Request()
	{
		std::lock_guard lk(mu);
		done = false;
		asked = true;
		cv.notify_all();
	}
	void Quit()
	{
		std::lock_guard lk(mu);
		quit = true;
		cv.notify_all();
	}
} g_stopper;

std::atomic<bool> g_sessionsGo{false}, g_sessionsQuit{false};

// A session thread: random session calls, configuration writes and getters.
void SessionBody(Api &api, std::uint64_t seed)
{
	std::mt19937_64 rng(seed);
	auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
	while (!g_sessionsGo && !g_sessionsQuit) // polling is started first
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	while (!g_sessionsQuit) {
		std::this_thread::sleep_for(std::chrono::milliseconds(1 + pick(30)));
		const int op = pick(100);
		const auto d = static_cast<Device>(pick(3));
		if (op < 35) {
			std::lock_guard lk(g.dev[d].mu);
			if (!g_handsOff[d])
				SessionCall(api, d, g.dev[d].open ? (pick(4) == 0 ? 1 : 2 + pick(2)) : 0);
		} else if (op < 45) {
			std::lock_guard lk(g.dev[d].mu);
			SessionCall(api, d, 2 + pick(2));
		} else if (op < 52) {
			WriteKeyboardConfigChecked(api);
		} else if (op < 57) {
			const std::int32_t key[5] = {pick(0x10000), pick(3) == 0 ? 0x1D : 0, 0,
						     pick(2) ? 0x02 + pick(50) : 0xE01C, 0};
			(void)api.SetPosKey(key);
		} else if (op < 64) {
			WriteMsrConfigChecked(api);
		} else if (op < 90) {
			if (!g_busy)
				FetchKeys(api, false);
		} else if (op < 98) {
			if (api.GetVersion() != std::vector<std::uint8_t>{1, 8, 7})
				Violate("results as the nodes give", "getVersion is not 1.8.7");
		} else {
			api.CollectGarbage();
		}
	}
}

// ---- The generator ---------------------------------------------------------

struct Fault {
	enum Kind { FAIL_READS, SHORT_READS, SHORT_WRITES, FAIL_OPEN, UNPLUG, NO_DATA_TRACK, KINDS } kind;
	int node, att, track;
	long until;
	// UNPLUG: Java closes and reopens the device (or restarts polling) once
	// the node is back. Otherwise nobody calls anything: the library must
	// reopen the node itself.
	bool react = true;
};

// A node back after an unplug that Java leaves alone.
struct Probe {
	int node;
	long back;        // cycle it came back
	long since = -1;  // first cycle after that which needs the node
	int writes;       // writes made on it until it came back
	long turns;       // keylock turns on its attachment until it came back
	enum { OPEN, HEALED, GIVEN_UP } verdict = OPEN;
};

Device DeviceOfNode(int node)
{
	Device d;
	int att;
	DeviceOf(node, d, att);
	return d;
}

int AttOfNode(int node)
{
	Device d;
	int att;
	DeviceOf(node, d, att);
	return att;
}

class Generator {
public:
	Generator(const Options &opt, Api &api, clockid_t pollerCpu)
		: opt_(opt), api_(api), rng_(opt.seed), pollerCpu_(pollerCpu)
	{
	}
	// The run proper, then (with the session threads gone) the drain and
	// the final close and stop.
	void Run();
	void Finish();

private:
	int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
	bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
	bool Step();
	void AfterCallbackRestart(long returns0);
	long LibraryPending();
	bool ReminderDue();
	void NoteReadOff();
	void MarkFaulted();
	void CheckProbe();
	void SettleProbe();
	void ResolveProbe(bool healed);
	bool Needed(Probe &p);
	bool Restartable() const;
	void CloseMidSwipe();
	void StartPolling(bool first);
	void Restart(bool quick);
	void StopForRestart(bool quick, bool startAgain = true);
	void Type();
	void TurnKeylock(bool &required);
	void Swipe(bool plain = false);
	bool SwipeAllowed();
	void BeginFault();
	void EndFault(const Fault &f);
	bool Faulted(int node) const;
	void Reopen(Device d);
	void OpenWithStdinClosed();
	void Drain();
	double PollerCpuUs() const;

	const Options &opt_;
	Api &api_;
	std::mt19937_64 rng_;
	clockid_t pollerCpu_;
	std::vector<Fault> faults_;
	long lastKeylockCycle_ = 0;
	long busyUntil_ = 0;
	long stdinCycle_ = 0;
	bool stdinDone_ = false;
	long phaseUntil_ = 0;
	long msrReopenAt_ = -1;
	long turns_[2] = {};
	std::optional<Probe> probe_;
	bool inputThisCycle_ = false;
	long closedUses_ = 0;
};

double Generator::PollerCpuUs() const
{
	timespec ts{};
	clock_gettime(pollerCpu_, &ts);
	return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// One cycle of the loop, from the gate to the gate.
bool Generator::Step()
{
	const long callbacks = g_count.callbacks;
	// A callback-only client with 255 entries pending: the keyboard's lock
	// is held through the cycle, so that its state is known.
	std::unique_lock kbdLock(g.dev[KEYBOARD].mu, std::defer_lock);
	bool remind = false;
	if (g_callbackOnly && LibraryPending() >= KBD_PENDING_MAX && kbdLock.try_lock())
		remind = ReminderDue();
	// A fault begun this cycle may split a swipe made this cycle.
	MarkFaulted();
	const long kbdCallbacks0 = g_count.kbdCallbacks, kbdFetches0 = g_count.kbdFetches;
	const int gate0 = g_gate;
	const long returns0 = g_poller.returns;
	const double cpu0 = PollerCpuUs();
	const bool ok = trvsim_step(1, STEP_TIMEOUT_MS) != 0;
	const double cpu = PollerCpuUs() - cpu0;
	++g_cycle;
	const bool restarted = g_restarted;
	if (restarted)
		AfterCallbackRestart(returns0);
	if (!ok) {
		Violate("the loop comes round every cycle", "no cycle within %d ms%s", STEP_TIMEOUT_MS,
			restarted ? " after stopPolling and startPolling from a callback" : "");
		return false;
	}
	// A cycle counted at another gate than GATE spans two cycles of the
	// loop (the PS/2 keyboard handler of one and the USB one of the other):
	// the reminders are checked only in cycles counted at GATE.
	if (kbdLock.owns_lock() && (gate0 != GATE || g_gate != GATE))
		kbdLock.unlock();
	if (kbdLock.owns_lock()) {
		const long calls = g_count.kbdCallbacks - kbdCallbacks0;
		if (remind && calls == 0)
			Violate("a callback-only client is reminded", "255 entries pending and more waiting: no kbdDataOccurred");
		if (g_count.kbdFetches == kbdFetches0 && calls > 1)
			Violate("a callback-only client is reminded", "%ld kbdDataOccurred in one cycle, 255 pending", calls);
		g_count.reminders += remind && calls > 0;
		kbdLock.unlock();
	}
	NoteReadOff();
	MarkFaulted();
	CheckProbe();
	if (!inputThisCycle_ && callbacks == g_count.callbacks) {
		const bool unplugged = std::any_of(faults_.begin(), faults_.end(),
						   [](const Fault &f) { return f.kind == Fault::UNPLUG; });
		if (unplugged) {
			g_count.unpluggedCpuUs += cpu;
			++g_count.unpluggedCycles;
		} else if (faults_.empty()) {
			g_count.idleCpuUs += cpu;
			++g_count.idleCycles;
		}
	}
	inputThisCycle_ = false;
	if (const long uses = trvsim_closed_uses(); uses != closedUses_) {
		Violate("no descriptor used after its close", "%ld read(s) or write(s) on a closed node descriptor",
			uses - closedUses_);
		closedUses_ = uses;
	}
	g_count.peakDescriptors = std::max(g_count.peakDescriptors, trvsim_open_descriptors(-1));
	return true;
}

// A callback stopped polling and had it started on the other polling
// thread: the new run opened the status nodes afresh.
void Generator::AfterCallbackRestart(long returns0)
{
	std::lock_guard lk(g.statusMu);
	const auto deadline = Clock::now() + std::chrono::seconds(5);
	while (g_poller.returns == returns0 && Clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	for (int n : STATUS_NODES) {
		g.statusHeld[n] = Available(n);
		g.dead[n] = false;
		if (trvsim_open_descriptors(n) != (g.statusHeld[n] ? 1 : 0))
			Violate("descriptors as expected", "%s holds %d descriptors after a restart from a callback",
				trvsim_node_path(n), trvsim_open_descriptors(n));
	}
	++g_count.restarts;
	g_restarted = false;
}

// Entries the library holds: typed, not fetched, not in the driver.
long Generator::LibraryPending()
{
	std::lock_guard lk(g.mu);
	return (g.usbTyped - g.usbGot - static_cast<long>(trvsim_queued(TRVSIM_USB_KEYBOARD))) +
	       (g.ps2Typed - g.ps2Got - static_cast<long>(trvsim_queued(TRVSIM_PS2_KEYBOARD)));
}

// Whether entries wait in a driver whose status and keyboard nodes the
// library holds sound. The caller holds the keyboard's lock.
bool Generator::ReminderDue()
{
	const DeviceState &ds = g.dev[KEYBOARD];
	constexpr int KBD_STATUS[2] = {TRVSIM_PS2_STAT, TRVSIM_USB_KBDSTAT};
	for (int att = 0; att < 2; ++att) {
		const int kbd = KBD_NODE[att], stat = KBD_STATUS[att];
		if (trvsim_queued(kbd) > 0 && ds.open && ds.held[att] && !g.dead[kbd] && !Faulted(kbd) &&
		    g.statusHeld[stat] && !g.dead[stat] && !Faulted(stat) && !g_restarted)
			return true;
	}
	return false;
}

void Generator::NoteReadOff()
{
	std::lock_guard lk(g.mu);
	NoteReadOffLocked();
}

// A swipe whose nodes a fault touches may come in parts.
void Generator::MarkFaulted()
{
	auto touches = [this](int att, int node) {
		if (node == (att == TRVSIM_USB ? TRVSIM_USB_MSRSTAT : TRVSIM_PS2_STAT))
			return true;
		return std::find(std::begin(MSR_NODE[att]), std::end(MSR_NODE[att]), node) != std::end(MSR_NODE[att]) ||
		       (probe_ && probe_->node == node);
	};
	std::lock_guard lk(g.mu);
	for (Model::Swipe &s : g.swipes) {
		for (const Fault &f : faults_)
			s.faulted |= touches(s.att, f.node) || (f.kind == Fault::NO_DATA_TRACK && f.att == s.att);
		for (int n = 0; n < TRVSIM_NODE_COUNT; ++n)
			s.faulted |= g.dead[n] && touches(s.att, n);
		s.faulted |= probe_ && touches(s.att, probe_->node);
	}
}

// The library notices a dead descriptor only when it uses it: the clock of
// a replug starts with the first cycle that needs the node.
bool Generator::Needed(Probe &p)
{
	if (IsStatus(p.node))
		return true;
	switch (DeviceOfNode(p.node)) {
	case KEYBOARD:
		return trvsim_queued(p.node) > 0 && !g_busy && LibraryPending() < KBD_PENDING_MAX;
	case KEYLOCK:
		return turns_[AttOfNode(p.node)] > p.turns;
	default:
		return trvsim_queued(p.node) > 0;
	}
}

void Generator::CheckProbe()
{
	if (!probe_)
		return;
	Probe &p = *probe_;
	// The library finds a dead descriptor only by using it: while another
	// fault keeps it from using the node (its attachment's status fails,
	// the track is announced as 0xFFFF, the node's reads fail), the clock
	// starts again.
	const int att = AttOfNode(p.node);
	const int status = att == TRVSIM_PS2 ? TRVSIM_PS2_STAT
			   : p.node == TRVSIM_USB_KEYBOARD ? TRVSIM_USB_KBDSTAT
							     : TRVSIM_USB_MSRSTAT;
	const bool masked = std::any_of(faults_.begin(), faults_.end(), [&](const Fault &f) {
		return (f.kind == Fault::NO_DATA_TRACK && f.att == att) ||
		       (f.node == status && f.node != p.node && f.kind != Fault::SHORT_WRITES) ||
		       (f.node == p.node && f.kind != Fault::UNPLUG);
	});
	if (masked)
		p.since = -1;
	else if (p.since < 0 && Needed(p))
		p.since = g_cycle;
	if (p.verdict != Probe::OPEN)
		return;
	if (trvsim_dead_descriptors(p.node) == 0 && trvsim_open_descriptors(p.node) == 1) {
		p.verdict = Probe::HEALED;
	} else if (p.since >= 0 && g_cycle - p.since > REOPEN_WITHIN_CYCLES) {
		Violate("a replugged node is reopened with no Java call", "%s not reopened %ld cycles after it was needed",
			trvsim_node_path(p.node), g_cycle - p.since);
		p.verdict = Probe::GIVEN_UP;
	} else if (p.since < 0 && g_cycle - p.back > LOST_AFTER_CYCLES) {
		// Nothing needed the node for long: Java gets round to it.
		p.verdict = Probe::GIVEN_UP;
	}
}

// Acts on the verdict of CheckProbe, between cycles with no lock held
// (CheckProbe runs inside Step, which a caller may make holding one).
void Generator::SettleProbe()
{
	if (probe_ && probe_->verdict != Probe::OPEN)
		ResolveProbe(probe_->verdict == Probe::HEALED);
}

// Ends a replug with no Java reaction: healed by the library, or (after a
// violation, or at the end of the run) brought back by Java after all.
void Generator::ResolveProbe(bool healed)
{
	const Probe p = *probe_;
	probe_.reset();
	if (healed) {
		++g_count.healedReplugs;
		{
			std::lock_guard lk(LockOf(p.node));
			g.dead[p.node] = false;
		}
		const bool configured = (IsStatus(p.node) && p.node == TRVSIM_USB_MSRSTAT && g_msrHeaderSent) ||
					(!IsStatus(p.node) && DeviceOfNode(p.node) == KEYBOARD && g_kbdConfigSent);
		if (configured && trvsim_write_count(p.node) == p.writes)
			Violate("a replugged node is reopened with no Java call", "%s reopened without its configuration",
				trvsim_node_path(p.node));
		if (p.node == GATE) {
			trvsim_step_mode(GATE, 1);
			g_gate = GATE;
			if (trvsim_step(0, STEP_TIMEOUT_MS) == 0)
				Violate("the loop comes round every cycle", "polling did not come back to %s",
					trvsim_node_path(GATE));
		}
	}
	g_statusHandsOff = false;
	for (auto &h : g_handsOff)
		h = false;
	if (healed)
		return;
	if (IsStatus(p.node))
		Restart(false);
	else
		Reopen(DeviceOfNode(p.node));
}

bool Generator::Restartable() const
{
	return g_gate == GATE && !g.unplugged[GATE] && !g_statusHandsOff && !(probe_ && IsStatus(probe_->node));
}

// The MSR closed while a swipe is being gathered (read, its report not
// made yet), and opened again a few cycles later.
void Generator::CloseMidSwipe()
{
	std::lock_guard lk(g.dev[MSR].mu);
	if (!g.dev[MSR].open || g_handsOff[MSR])
		return;
	{
		std::lock_guard mk(g.mu);
		if (g.swipes.size() != 1 || g.swipes.front().faulted)
			return;
		for (int n : MSR_NODE[g.swipes.front().att])
			if (trvsim_queued(n) != 0)
				return;
	}
	SessionCall(api_, MSR, 1);
	++g_count.midSwipeCloses;
	msrReopenAt_ = g_cycle + Pick(8);
}

// Starts a loop (unless a quick restart did) and holds it at its first gate.
// The caller holds statusMu.
void Generator::StartPolling(bool start)
{
	g_gate = GATE;
	for (int n : STATUS_NODES) {
		g.statusHeld[n] = Available(n);
		g.dead[n] = false;
	}
	if (start)
		g_poller.Start();
	trvsim_step_mode(GATE, 1);
	if (trvsim_step(0, STEP_TIMEOUT_MS) == 0)
		Violate("the loop comes round every cycle", "polling did not reach its first cycle");
	for (int n : STATUS_NODES)
		if (trvsim_open_descriptors(n) != (g.statusHeld[n] ? 1 : 0))
			Violate("descriptors as expected", "%s holds %d descriptors after startPolling",
				trvsim_node_path(n), trvsim_open_descriptors(n));
}

// stopPolling on the stopper thread, the loop free-running meanwhile; the
// cycles are counted as reads of the gate node.
void Generator::StopForRestart(bool quick, bool startAgain)
{
	trvsim_step_mode(g_gate, 0);
	const int gate = g_gate;
	const long reads0 = trvsim_reads(gate);
	const long returns0 = g_poller.returns;
	g_poller.quick = quick;
	g_stopper.Request();
	const auto deadline = Clock::now() + std::chrono::seconds(10);
	while (!g_stopper.done && Clock::now() < deadline && trvsim_reads(gate) - reads0 <= 40)
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	if (!g_stopper.done) {
		Violate("stopPolling within two cycles", "no return after %ld cycles (%s restart)",
			trvsim_reads(gate) - reads0, quick ? "quick" : "plain");
		// Free it: no more quick restarts, and a second stop for the
		// loop that now runs.
		g_poller.quick = false;
		api_.StopPolling();
		while (!g_stopper.done)
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		if (startAgain)
			g_poller.Start();
		return;
	}
	// No run may be active at all (one that ended on its own).
	const auto ended = Clock::now() + std::chrono::seconds(5);
	while (g_poller.returns == returns0 && Clock::now() < ended)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	const long loopCycles = g_poller.returnReads - reads0;
	const long afterLoop = g_stopper.returnReads - g_poller.returnReads;
	g_count.maxStopCycles = std::max<long>(g_count.maxStopCycles, loopCycles);
	// The next loop (a quick restart) reads the gate at once: that read is
	// no cycle of it.
	if (loopCycles > 2 || afterLoop > 3)
		Violate("stopPolling within two cycles", "loop ended %ld cycles after the request, stopPolling %ld after that",
			loopCycles, afterLoop);
	if (!quick && startAgain)
		g_poller.Start();
}

void Generator::Restart(bool quick)
{
	std::lock_guard lk(g.statusMu);
	StopForRestart(quick);
	++g_count.restarts;
	g_count.quickRestarts += quick;
	StartPolling(false);
}

// Keys on both attachments, numbered so that loss, doubling and order show.
void Generator::Type()
{
	std::lock_guard lk(g.mu);
	if (Chance(0.35) && trvsim_queued(TRVSIM_USB_KEYBOARD) < DRIVER_QUEUE_MAX) {
		std::vector<std::uint32_t> e(1 + static_cast<std::size_t>(Pick(40)));
		for (auto &x : e)
			x = USB_KEY_TAG | static_cast<std::uint32_t>(g.usbTyped++ & 0xFFFFFF);
		trvsim_usb_type(e.data(), e.size());
		inputThisCycle_ = true;
	}
	// PS/2 data comes while Java is busy too: it must wait in the driver.
	if (Chance(0.2) && trvsim_queued(TRVSIM_PS2_KEYBOARD) < DRIVER_QUEUE_MAX) {
		std::vector<std::uint8_t> b(1 + static_cast<std::size_t>(Pick(40)));
		for (auto &x : b)
			x = Ps2Byte(g.ps2Typed++);
		trvsim_ps2_type(b.data(), b.size());
		inputThisCycle_ = true;
	}
}

bool Generator::Faulted(int node) const
{
	return std::any_of(faults_.begin(), faults_.end(), [node](const Fault &f) { return f.node == node; });
}

// A keylock turn on one attachment. It must be reported in this cycle when
// the keylock stays open and its nodes are sound; the keylock's lock is then
// held through the cycle.
void Generator::TurnKeylock(bool &required)
{
	const int att = Pick(2);
	std::unique_lock devLock(g.dev[KEYLOCK].mu);
	std::unique_lock statusLock(g.statusMu);
	const int node = KLK_NODE[att], status = KLK_STATUS[att];
	required = g.dev[KEYLOCK].open && g.dev[KEYLOCK].held[att] && !g.dead[node] && g.statusHeld[status] &&
		   !g.dead[status] && !Faulted(node) && !Faulted(status);
	statusLock.unlock();
	{
		std::lock_guard lk(g.mu);
		g.klkPos[att] = KeylockValue(++g.klkIndex);
		g.klkAttOf[g.klkIndex % 256] = att;
		trvsim_set_keylock(att, g.klkPos[att]);
	}
	inputThisCycle_ = true;
	lastKeylockCycle_ = g_cycle;
	++turns_[att];
	if (!required)
		return;
	Step();
	std::lock_guard lk(g.mu);
	if (g.klkGot[att] != g.klkIndex)
		Violate("keylock changes once, in order", "change %ld to %u on %s not reported", g.klkIndex,
			g.klkPos[att], att == TRVSIM_USB ? "USB" : "PS/2");
}

// One card at a time, as a reader takes them: the next swipe waits until the
// driver holds no track and the last swipe reached Java (or is lost).
bool Generator::SwipeAllowed()
{
	for (const auto &row : MSR_NODE)
		for (int n : row)
			if (trvsim_queued(n) != 0)
				return false;
	for (const Fault &f : faults_)
		if (f.kind == Fault::NO_DATA_TRACK)
			return false;
	bool msrOpen;
	{
		std::lock_guard lk(g.dev[MSR].mu);
		msrOpen = g.dev[MSR].open;
	}
	std::lock_guard lk(g.mu);
	if (g.swipes.empty())
		return true;
	Model::Swipe &s = g.swipes.front();
	if (msrOpen && ++s.openCyclesWaited > LOST_AFTER_CYCLES) {
		int unread = -1;
		for (int t = 0; t < 3; ++t)
			if (s.oversize[t] && !s.readOff[t])
				unread = t;
		if (unread >= 0)
			Violate("a track too long is read off by the library", "track %d of swipe %ld (%s, %zu bytes) still in the driver",
				unread + 1, s.id, s.att == TRVSIM_USB ? "USB" : "PS/2", trvsim_queued(MSR_NODE[s.att][unread]));
		else
			Violate("tracks once, in order, intact", "swipe %ld (%s) read and never reported", s.id,
				s.att == TRVSIM_USB ? "USB" : "PS/2");
		g.swipes.pop_front();
	}
	return false;
}

// A swipe of one to three tracks. Now and then a track is too long for the
// library (USB over 255 bytes, PS/2 over 512), up to the longest a status
// can announce: it stays announced until the library reads it off.
void Generator::Swipe(bool plain)
{
	Model::Swipe s{};
	const int att = Pick(2);
	const int mask = plain ? 2 : 1 + Pick(7); // which of the three tracks
	const int oversize = !plain && Chance(0.05) ? Pick(3) : -1;
	const int cut = !plain && att == TRVSIM_PS2 && Chance(0.05) ? Pick(3) : -1;
	const bool huge = Chance(0.1);
	s.att = att;
	std::lock_guard lk(g.mu);
	s.id = ++g.swipesMade;
	const std::string id = IdDigits(s.id);
	for (int t = 0; t < 3; ++t) {
		if (!(mask & (1 << t)) && t != oversize)
			continue;
		if (att == TRVSIM_USB) {
			// Track 3 carries any byte.
			const std::size_t len = t == oversize ? 256 + static_cast<std::size_t>(Pick(huge ? MAX_ANNOUNCED - 255 : 800))
							      : ID_DIGITS + static_cast<std::size_t>(Pick(Chance(0.1) ? 249 : 80));
			std::vector<std::uint8_t> b(id.begin(), id.end());
			while (b.size() < len)
				b.push_back(t == 2 ? static_cast<std::uint8_t>(rng_()) : static_cast<std::uint8_t>(' ' + Pick(90)));
			trvsim_swipe_track(att, t + 1, b.data(), b.size());
			if (t == oversize)
				s.oversize[t] = true;
			else
				s.want[t] = b;
			g.cards.push_back(std::move(b));
		} else {
			// Digits as make and break codes (two bytes each); 253 to 256
			// characters are cut to 252, more than 256 are too long.
			std::string chars = id;
			const std::size_t len = t == oversize ? 257 + static_cast<std::size_t>(Pick(huge ? MAX_ANNOUNCED / 2 - 257 : 300))
						: t == cut    ? 253 + static_cast<std::size_t>(Pick(4))
							      : ID_DIGITS + static_cast<std::size_t>(Pick(50));
			while (chars.size() < len)
				chars.push_back(static_cast<char>('0' + Pick(10)));
			std::vector<std::uint8_t> raw;
			for (char c : chars) {
				raw.push_back(DigitMake(c));
				raw.push_back(static_cast<std::uint8_t>(DigitMake(c) | 0x80));
			}
			trvsim_swipe_track(att, t + 1, raw.data(), raw.size());
			g.cards.push_back(std::move(raw));
			g.cards.emplace_back(chars.begin(), chars.end());
			if (t == oversize) {
				s.oversize[t] = true;
				continue;
			}
			chars.resize(std::min<std::size_t>(chars.size(), 252));
			s.want[t] = {0x00, static_cast<std::uint8_t>(t == 0 ? '%' : ';')};
			s.want[t].insert(s.want[t].end(), chars.begin(), chars.end());
			s.want[t].push_back('?');
			g.cards.push_back(s.want[t]);
		}
	}
	g_count.oversize += oversize >= 0;
	g.swipes.push_back(s);
	++g.swipesExpected;
	inputThisCycle_ = true;
}

void Generator::BeginFault()
{
	Fault f{static_cast<Fault::Kind>(Pick(Fault::KINDS)), Pick(TRVSIM_NODE_COUNT), Pick(2), 1 + Pick(3), 0};
	if (f.kind == Fault::FAIL_READS && Chance(0.5))
		f.node = MSR_NODE[f.att][f.track - 1];
	// Short reads on a status node (the record is not used) or on a keyboard
	// node (whole entries read are kept, the rest stays in the driver).
	if (f.kind == Fault::SHORT_READS)
		f.node = Chance(0.5) ? STATUS_NODES[Pick(3)] : KBD_NODE[Pick(2)];
	if (f.kind == Fault::SHORT_WRITES)
		f.node = std::array{TRVSIM_PS2_KEYBOARD, TRVSIM_USB_KEYBOARD, TRVSIM_USB_MSRSTAT}[Pick(3)];
	if (f.kind == Fault::FAIL_OPEN && IsStatus(f.node))
		return;
	if (f.kind == Fault::NO_DATA_TRACK)
		f.node = MSR_NODE[f.att][f.track - 1];
	if (Faulted(f.node) ||
	    (f.kind == Fault::UNPLUG && (probe_ || std::any_of(faults_.begin(), faults_.end(), [](const Fault &x) {
					     return x.kind == Fault::UNPLUG;
				     }))))
		return;
	// While GATE is unplugged the cycles are counted at the USB keyboard
	// status, which must then be sound.
	if (f.kind == Fault::UNPLUG && f.node == GATE &&
	    (!Restartable() || !g.statusHeld[TRVSIM_USB_KBDSTAT] || g.dead[TRVSIM_USB_KBDSTAT] ||
	     Faulted(TRVSIM_USB_KBDSTAT) || !g.statusHeld[GATE]))
		return;
	std::lock_guard lk(LockOf(f.node));
	switch (f.kind) {
	case Fault::FAIL_READS:
		trvsim_fail_reads(f.node, 1 + Pick(3));
		f.until = g_cycle + 5;
		++g_count.readFaults;
		break;
	case Fault::SHORT_READS:
		trvsim_short_reads(f.node, static_cast<std::size_t>(IsStatus(f.node) ? Pick(2) : Pick(13)));
		f.until = g_cycle + 1 + Pick(3);
		++g_count.shortReads;
		break;
	case Fault::SHORT_WRITES:
		g.shortWrite[f.node] = true;
		trvsim_short_writes(f.node, 1 + static_cast<std::size_t>(Pick(16)));
		f.until = g_cycle + 5 + Pick(40);
		++g_count.shortWrites;
		break;
	case Fault::FAIL_OPEN:
		g.failOpen[f.node] = true;
		trvsim_fail_open(f.node, 1);
		f.until = g_cycle + 10 + Pick(70);
		++g_count.failedOpens;
		break;
	case Fault::UNPLUG:
		g.unplugged[f.node] = true;
		g.dead[f.node] = HeldByLibrary(f.node);
		f.react = !g.dead[f.node] || Chance(0.3);
		if (!f.react) {
			if (IsStatus(f.node))
				g_statusHandsOff = true;
			else
				g_handsOff[DeviceOfNode(f.node)] = true;
		}
		trvsim_unplug(f.node, 1);
		if (f.node == GATE) {
			trvsim_step_mode(TRVSIM_USB_KBDSTAT, 1);
			g_gate = TRVSIM_USB_KBDSTAT;
			if (trvsim_step(0, STEP_TIMEOUT_MS) == 0)
				Violate("the loop comes round every cycle", "polling did not reach %s",
					trvsim_node_path(TRVSIM_USB_KBDSTAT));
		}
		f.until = g_cycle + 10 + Pick(50);
		++g_count.unplugs;
		break;
	case Fault::NO_DATA_TRACK:
		trvsim_force_track_len(f.att, f.track, 0xFFFF);
		f.until = g_cycle + 1 + Pick(3);
		++g_count.noDataTracks;
		break;
	default:
		return;
	}
	faults_.push_back(f);
}

// Ends a fault. A node that is back (plugged in, or opening again) while the
// library holds a dead descriptor of it or none at all is brought back as a
// service would: the device closed and opened again, or polling restarted
// for a status node.
void Generator::EndFault(const Fault &f)
{
	bool recover = false;
	auto lacking = [&f] {
		if (IsStatus(f.node))
			return !g.statusHeld[f.node] || g.dead[f.node];
		Device d;
		int att;
		DeviceOf(f.node, d, att);
		return g.dev[d].open && (!g.dev[d].held[att] || g.dead[f.node]);
	};
	{
		std::lock_guard lk(LockOf(f.node));
		switch (f.kind) {
		case Fault::FAIL_READS: trvsim_fail_reads(f.node, 0); break;
		case Fault::SHORT_READS: trvsim_short_reads(f.node, SIZE_MAX); break;
		case Fault::SHORT_WRITES:
			g.shortWrite[f.node] = false;
			trvsim_short_writes(f.node, SIZE_MAX);
			break;
		case Fault::FAIL_OPEN:
			g.failOpen[f.node] = false;
			trvsim_fail_open(f.node, 0);
			recover = lacking();
			break;
		case Fault::UNPLUG:
			g.unplugged[f.node] = false;
			trvsim_unplug(f.node, 0);
			if (!f.react && g.dead[f.node]) {
				probe_ = Probe{f.node, g_cycle, -1, trvsim_write_count(f.node), turns_[AttOfNode(f.node)]};
				++g_count.silentReplugs;
				break;
			}
			recover = lacking();
			g_count.recoveries += recover;
			break;
		case Fault::NO_DATA_TRACK: trvsim_clear_track_len(f.att, f.track); break;
		default: break;
		}
	}
	if (!recover)
		return;
	if (IsStatus(f.node)) {
		Restart(false);
	} else {
		Device d;
		int att;
		DeviceOf(f.node, d, att);
		Reopen(d);
	}
}

void Generator::Reopen(Device d)
{
	std::lock_guard lk(g.dev[d].mu);
	if (g.dev[d].open)
		SessionCall(api_, d, 1);
	SessionCall(api_, d, 0);
}

// A keyboard opened while the process has no standard input: its first node
// may get descriptor 0.
void Generator::OpenWithStdinClosed()
{
	std::lock_guard lk(g.dev[KEYBOARD].mu);
	if (g.dev[KEYBOARD].open)
		SessionCall(api_, KEYBOARD, 1);
	if (fcntl(0, F_GETFD) != -1)
		::close(0);
	std::printf("soak: cycle %ld: keyboard opened with standard input closed\n", g_cycle.load());
	SessionCall(api_, KEYBOARD, 0);
}

// End of the run: no more input or faults, every node back, every device
// reopened, and then everything typed or swiped must arrive.
void Generator::Drain()
{
	for (const Fault &f : std::vector<Fault>(faults_))
		EndFault(f);
	faults_.clear();
	// A replug left to the library: give it its cycles, then Java acts.
	for (int i = 0; i < 2 * REOPEN_WITHIN_CYCLES && probe_; ++i) {
		if (!Step())
			break;
		SettleProbe();
	}
	if (probe_)
		ResolveProbe(false);
	if (g_gate != GATE || std::any_of(std::begin(STATUS_NODES), std::end(STATUS_NODES),
					  [](int n) { return !g.statusHeld[n] || g.dead[n]; }))
		Restart(false);
	g_busy = false;
	FetchKeys(api_, false);
	for (Device d : {KEYBOARD, MSR, KEYLOCK})
		Reopen(d);
	msrReopenAt_ = -1;
	{
		// A callback-only client fetches at the next callback: one more
		// key on each keyboard brings it.
		std::lock_guard lk(g.mu);
		const std::uint32_t e = USB_KEY_TAG | static_cast<std::uint32_t>(g.usbTyped++ & 0xFFFFFF);
		const std::uint8_t b = Ps2Byte(g.ps2Typed++);
		trvsim_usb_type(&e, 1);
		trvsim_ps2_type(&b, 1);
	}
	// The tracks of a report Java ignored go when the next swipe begins.
	bool ignored;
	{
		std::lock_guard lk(g.mu);
		ignored = g.lastReportIgnored;
	}
	if (ignored)
		Swipe(true);
	auto queued = [] {
		std::size_t n = 0;
		for (int node = 0; node < TRVSIM_NODE_COUNT; ++node)
			n += trvsim_queued(node);
		return n;
	};
	auto swipesOut = [] {
		std::lock_guard lk(g.mu);
		return g.swipes.size();
	};
	for (int i = 0; i < 300 && (queued() != 0 || swipesOut() != 0 || i < 10); ++i)
		if (!Step())
			break;
	std::lock_guard lk(g.mu);
	if (g.usbGot != g.usbTyped || g.ps2Got != g.ps2Typed)
		Violate("key entries once, in order", "USB %ld of %ld and PS/2 %ld of %ld entries arrived", g.usbGot,
			g.usbTyped, g.ps2Got, g.ps2Typed);
	for (int node = 0; node < TRVSIM_NODE_COUNT; ++node)
		if (trvsim_queued(node) != 0)
			Violate("nothing stalls", "%zu left in the driver on %s", trvsim_queued(node),
				trvsim_node_path(node));
	for (const auto &s : g.swipes)
		Violate("tracks once, in order, intact", "swipe %ld (%s) never arrived whole", s.id,
			s.att == TRVSIM_USB ? "USB" : "PS/2");
}

void Generator::Run()
{
	const auto start = Clock::now();
	const double warmup = std::min(60.0, opt_.seconds / 4);
	stdinCycle_ = 50 + Pick(300);
	{
		std::lock_guard lk(g.statusMu);
		StartPolling(true);
	}
	for (Device d : {KEYBOARD, MSR, KEYLOCK})
		Reopen(d);
	g_sessionsGo = true;
	auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
	while (elapsed() < opt_.seconds) {
		if (g_count.rssWarm == 0 && elapsed() >= warmup)
			g_count.rssWarm = RssKiB();
		// Faults that are over, new faults, restarts, Java getting busy.
		for (const Fault &f : std::vector<Fault>(faults_)) {
			if (f.until > g_cycle)
				continue;
			std::erase_if(faults_, [&](const Fault &x) { return x.node == f.node && x.kind == f.kind; });
			EndFault(f);
		}
		SettleProbe();
		if (Chance(0.08))
			BeginFault();
		if (Restartable() && Chance(1.0 / 100)) {
			const bool quick = Chance(0.4);
			Restart(quick);
			if (Chance(0.15))
				Restart(!quick);
		}
		if (!stdinDone_ && g_cycle >= stdinCycle_ && !g_handsOff[KEYBOARD]) {
			stdinDone_ = true;
			OpenWithStdinClosed();
		}
		// Phases of a client that fetches key entries only in callbacks,
		// and of one that also fetches from other threads.
		if (g_cycle >= phaseUntil_) {
			std::lock_guard lk(g.mu);
			g_callbackOnly = !g_callbackOnly;
			phaseUntil_ = g_cycle + 200 + Pick(1000);
		}
		if (!g_busy && Chance(1.0 / 300)) {
			g_busy = true;
			busyUntil_ = g_cycle + 100 + Pick(150);
			++g_count.busySpells;
			g_count.callbackOnlyBusy += g_callbackOnly;
		} else if (g_busy && g_cycle >= busyUntil_) {
			g_busy = false;
			if (g_callbackOnly)
				g_busyEnded = true; // the next callback fetches
			else
				FetchKeys(api_, false); // from this thread, not a callback
		}
		if (msrReopenAt_ >= 0 && g_cycle >= msrReopenAt_) {
			msrReopenAt_ = -1;
			std::lock_guard lk(g.dev[MSR].mu);
			if (!g.dev[MSR].open && !g_handsOff[MSR])
				SessionCall(api_, MSR, 0);
		} else if (msrReopenAt_ < 0 && Chance(0.1)) {
			CloseMidSwipe();
		}
		g_callbackRestartOk = Restartable() && Chance(1.0 / 100);
		// Input for the next cycle.
		Type();
		if (SwipeAllowed() && Chance(0.25))
			Swipe();
		bool required = false;
		if (g_cycle - lastKeylockCycle_ >= 3 && Chance(0.25))
			TurnKeylock(required);
		if (!required && !Step())
			break;
		if (g_cycle % 20 == 0)
			CheckWrites();
	}
}

void Generator::Finish()
{
	Drain();
	CheckWrites();
	for (Device d : {KEYBOARD, MSR, KEYLOCK}) {
		std::lock_guard lk(g.dev[d].mu);
		SessionCall(api_, d, 1);
	}
	std::lock_guard lk(g.statusMu);
	StopForRestart(false, false);
	g_poller.Quit();
}

// The watchdog prints without the model's lock, which a hung call may hold.
void PrintReport(const Options &opt, bool lockModel = true)
{
	std::unique_lock mk(g.mu, std::defer_lock);
	if (lockModel)
		mk.lock();
	const auto &c = g_count;
	std::printf("soak: seed %" PRIu64 ", %.0f s, %ld cycles\n", opt.seed, opt.seconds, g_cycle.load());
	std::printf("  delivered: %ld USB and %ld PS/2 key entries, %ld keylock changes (%ld made), "
		    "%ld swipes (%ld tracks) of %ld\n",
		    g.usbGot, g.ps2Got, g.klkReports, g.klkIndex, g.swipesGot, g.tracksGot, g.swipesExpected);
	std::printf("  faults: %ld failed reads, %ld short reads, %ld short writes, %ld failed opens, "
		    "%ld unplugs (%ld brought back by reopen or restart), %ld 0xFFFF tracks, %ld oversize tracks, "
		    "%ld busy spells\n",
		    c.readFaults.load(), c.shortReads.load(), c.shortWrites.load(), c.failedOpens.load(),
		    c.unplugs.load(), c.recoveries.load(), c.noDataTracks.load(), c.oversize.load(),
		    c.busySpells.load());
	std::printf("  restarts: %ld (%ld quick, %ld from callbacks, %ld startPolling from callbacks), "
		    "stopPolling: loop ended within %ld cycle(s) at most\n",
		    c.restarts.load(), c.quickRestarts.load(), c.callbackRestarts.load(), c.callbackStarts.load(),
		    c.maxStopCycles.load());
	std::printf("  left to the library: %ld of %ld replugs recovered with no Java call, %ld callback-only busy "
		    "spells survived (of %ld), %ld reminders, %ld of %ld oversize tracks read off by the library, "
		    "%ld MSR closes mid-swipe, %ld swipes dropped, %ld reports ignored, %ld empty reports, "
		    "%ld callbacks threw\n",
		    c.healedReplugs.load(), c.silentReplugs.load(), c.busySurvived.load(), c.callbackOnlyBusy.load(),
		    c.reminders.load(), c.oversizeReadOff.load(), c.oversize.load(), c.midSwipeCloses.load(),
		    g.swipesDropped, g.reportsIgnored, g.emptyReports, c.throws.load());
	std::printf("  card bytes found at the end: %zu\n", c.cardBytesFound);
	std::printf("  sessions: %ld opens, %ld closes, %ld claims/releases, %ld configuration writes, "
		    "%ld callbacks\n",
		    c.opens.load(), c.closes.load(), c.claims.load(), c.configWrites.load(), c.callbacks.load());
	std::printf("  descriptors: peak %d\n", c.peakDescriptors);
	std::printf("  loop CPU per quiet cycle: idle %.1f us (%ld cycles), a node unplugged %.1f us (%ld cycles)\n",
		    c.idleCycles ? c.idleCpuUs / static_cast<double>(c.idleCycles) : 0.0, c.idleCycles,
		    c.unpluggedCycles ? c.unpluggedCpuUs / static_cast<double>(c.unpluggedCycles) : 0.0,
		    c.unpluggedCycles);
	std::printf("  resident memory: start %ld KiB, after warm-up %ld KiB, end %ld KiB\n", c.rssStart,
		    c.rssWarm, c.rssEnd);
	std::lock_guard lk(g_violations.mu);
	long total = 0;
	for (const auto &[inv, n] : g_violations.count) {
		total += n;
		std::printf("  VIOLATED %s: %ld time(s)\n", inv.c_str(), n);
		for (const auto &e : g_violations.examples[inv])
			std::printf("    %s\n", e.c_str());
	}
	std::printf("soak: %s (replay: TRV_SOAK_SEED=%" PRIu64 " TRV_SOAK_SECONDS=%.0f)\n",
		    total ? "FAILED" : "passed", opt.seed, opt.seconds);
	std::fflush(stdout);
}

} // namespace

Options OptionsFrom(int argc, char **argv, long rssBoundKiB)
{
	Options o;
	o.rssBoundKiB = rssBoundKiB;
	o.seed = std::random_device{}() ^ static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
	if (const char *s = std::getenv("TRV_SOAK_SEED"); s && *s)
		o.seed = std::strtoull(s, nullptr, 0);
	if (const char *s = std::getenv("TRV_SOAK_SECONDS"); s && *s)
		o.seconds = std::strtod(s, nullptr);
	for (int i = 1; i + 1 < argc; i += 2) {
		if (std::strcmp(argv[i], "--seed") == 0)
			o.seed = std::strtoull(argv[i + 1], nullptr, 0);
		else if (std::strcmp(argv[i], "--seconds") == 0)
			o.seconds = std::strtod(argv[i + 1], nullptr);
	}
	return o;
}

// What a callback does besides fetching: drawn from a generator of its own
// (callbacks run on the polling threads, one at a time).
struct CallbackDice {
	std::mutex mu;
	std::mt19937_64 rng;
	bool Chance(double p)
	{
		std::lock_guard lk(mu);
		return std::uniform_real_distribution<double>(0, 1)(rng) < p;
	}
} g_dice;

bool OnCallback(Callback cb, Api &api)
{
	++g_count.callbacks;
	if (cb == KBD_DATA) {
		++g_count.kbdCallbacks;
		if (!g_busy)
			FetchKeys(api, true);
	} else if (cb == KLK_DATA) {
		RecordKeylock(api);
	} else if (g_dice.Chance(0.03) && IgnoreSwipeAllowed()) {
		IgnoreSwipe();
	} else {
		RecordSwipe(api);
	}
	// startPolling on the polling thread returns at once.
	if (g_dice.Chance(0.005)) {
		api.StartPolling();
		++g_count.callbackStarts;
	}
	// stopPolling here only asks; polling goes on on the other thread.
	if (g_dice.Chance(0.5) && g_callbackRestartOk.exchange(false)) {
		g_restarted = true;
		api.StopPolling();
		g_poller.Start();
		++g_count.callbackRestarts;
	}
	const bool raise = g_dice.Chance(0.02);
	g_count.throws += raise;
	return raise;
}

int Run(const Options &opt, Api &main, const Spawn &spawn)
{
	std::printf("soak: seed %" PRIu64 ", %.0f s (TRV_SOAK_SEED, TRV_SOAK_SECONDS)\n", opt.seed, opt.seconds);
	std::fflush(stdout);
	g_count.rssStart = RssKiB();
	g_dice.rng.seed(opt.seed + 7);
	std::thread poller = spawn("soak-polling", [](Api &api) { g_poller.Body(api); });
	std::thread poller2 = spawn("soak-polling", [](Api &api) { g_poller.Body(api); });
	std::thread stopper = spawn("soak-stopper", [](Api &api) { g_stopper.Body(api); });
	std::vector<std::thread> sessions;
	for (int i = 0; i < 3; ++i) {
		const std::uint64_t seed = opt.seed + 1000 * static_cast<std::uint64_t>(i + 1);
		sessions.push_back(spawn("soak-session", [seed](Api &api) { SessionBody(api, seed); }));
	}
	// A hang of the library must end the run with the figures, not a timeout.
	std::atomic<bool> finished{false};
	std::thread watchdog([&] {
		long last = -1;
		for (int quiet = 0; !finished; std::this_thread::sleep_for(std::chrono::seconds(1))) {
			const long now = g_cycle.load();
			quiet = now == last ? quiet + 1 : 0;
			last = now;
			if (quiet >= 60) {
				Violate("the loop comes round every cycle", "no progress for 60 s: a call hangs");
				PrintReport(opt, false);
				_exit(3);
			}
		}
	});
	clockid_t pollerCpu{};
	pthread_getcpuclockid(poller.native_handle(), &pollerCpu);
	Generator gen(opt, main, pollerCpu);
	gen.Run();
	g_sessionsQuit = true;
	for (auto &t : sessions)
		t.join();
	gen.Finish();
	g_stopper.Quit();
	stopper.join();
	poller.join();
	poller2.join();
	finished = true;
	watchdog.join();
	g_count.rssEnd = RssKiB();
	if (opt.rssBoundKiB > 0 && g_count.rssWarm > 0 && g_count.rssEnd - g_count.rssWarm > opt.rssBoundKiB)
		Violate("memory does not grow", "%ld KiB more after warm-up (bound %ld KiB)",
			g_count.rssEnd - g_count.rssWarm, opt.rssBoundKiB);
	// Everything fetched, every device closed, polling stopped.
	const auto regions = cardmem::WritableSegments(opt.cardObject);
	if (regions.empty()) {
		Violate("no card byte left in the library", "no writable segment of \"%s\" found", opt.cardObject.c_str());
	} else {
		std::lock_guard lk(g.mu);
		g_count.cardBytesFound = cardmem::CountCardBytes(regions, g.cards);
		if (g_count.cardBytesFound != 0)
			Violate("no card byte left in the library", "%zu places in the library's writable memory hold card bytes",
				g_count.cardBytesFound);
	}
	if (opt.finalCheck)
		opt.finalCheck();
	PrintReport(opt);
	std::lock_guard lk(g_violations.mu);
	return g_violations.count.empty() ? 0 : 1;
}

void Violation(const char *invariant, const std::string &what)
{
	Violate(invariant, "%s", what.c_str());
}

} // namespace soak
