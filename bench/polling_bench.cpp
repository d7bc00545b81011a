// Figures for the polling loop, run on a thread of its own against the driver
// simulator and the fake JNI table: cycle period, CPU time per cycle, heap
// allocations, swipe report latency and stopPolling latency. It prints them
// and exits non-zero only when something is broken (no callback, a loop that
// allocates, a JNI misuse).
//
// Allocations are counted by this executable's malloc/calloc/realloc, on the
// polling thread only. The simulator's reads (read is wrapped at link time)
// and the fake JVM's functions (its function table is wrapped) are left out,
// so what is counted is the library's own work.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "fake_jni.h"
#include "nativelayer.h"
#include "trvsim.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
ssize_t __real_read(int, void *, size_t);
int __real_open(const char *, int, ...);
int __real_close(int);
ssize_t __real_write(int, const void *, size_t);
int __real_nanosleep(const timespec *, timespec *);
int __real_fcntl(int, int, ...);
}

namespace {

constinit thread_local bool t_poller = false;           // this is the polling thread
constinit thread_local int t_suppress = 0;              // inside the simulator or the fake JVM
constinit thread_local long *t_getterAllocs = nullptr;  // inside a getter: its count
std::atomic<bool> g_counting{false};
std::atomic<long> g_systemCalls{0};

void CountSystemCall()
{
	if (t_poller && t_suppress == 0)
		g_systemCalls.fetch_add(1, std::memory_order_relaxed);
}
std::atomic<long> g_loopAllocs{0}, g_getterCalls{0}, g_getterAllocs{0}, g_getterMax{0}, g_fetchFailures{0};

void CountAllocation()
{
	if (!t_poller || t_suppress != 0 || !g_counting.load(std::memory_order_relaxed))
		return;
	if (t_getterAllocs != nullptr)
		++*t_getterAllocs;
	else
		g_loopAllocs.fetch_add(1, std::memory_order_relaxed);
}

struct Suppress {
	Suppress() { ++t_suppress; }
	~Suppress() { --t_suppress; }
};

double Ms(clockid_t clock)
{
	timespec ts{};
	clock_gettime(clock, &ts);
	return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Wall and thread CPU clock at the first status read of each polling cycle.
struct Tick {
	double wallMs, cpuMs;
};
std::array<Tick, 1024> g_ticks;
Tick &TickOf(long cycle) { return g_ticks[static_cast<std::size_t>(cycle) % g_ticks.size()]; }
std::atomic<long> g_cycles{0};

} // namespace

extern "C" {
void *malloc(size_t n) noexcept { return CountAllocation(), __libc_malloc(n); }
void *calloc(size_t n, size_t m) noexcept { return CountAllocation(), __libc_calloc(n, m); }
void *realloc(void *p, size_t n) noexcept { return CountAllocation(), __libc_realloc(p, n); }
void free(void *p) noexcept { __libc_free(p); }

ssize_t __wrap_read(int fd, void *buf, size_t n)
{
	CountSystemCall();
	if (t_poller && fd == g_DeviceChannels.fdPs2Stat.load()) {
		const long k = g_cycles.load(std::memory_order_relaxed) + 1;
		TickOf(k) = {Ms(CLOCK_MONOTONIC), Ms(CLOCK_THREAD_CPUTIME_ID)};
		g_cycles.store(k, std::memory_order_release);
	}
	Suppress s;
	return __real_read(fd, buf, n);
}

// The library's other calls that each make one system call on a real
// driver, counted on the polling thread.
int __wrap_open(const char *path, int flags, ...)
{
	CountSystemCall();
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
	va_end(ap);
	return __real_open(path, flags, mode);
}
int __wrap_close(int fd) { return CountSystemCall(), __real_close(fd); }
ssize_t __wrap_write(int fd, const void *buf, size_t n) { return CountSystemCall(), __real_write(fd, buf, n); }
int __wrap_nanosleep(const timespec *req, timespec *rem) { return CountSystemCall(), __real_nanosleep(req, rem); }
int __wrap_fcntl(int fd, int cmd, int arg) { return CountSystemCall(), __real_fcntl(fd, cmd, arg); }
}

namespace {

// The fake JVM's functions that the library calls, wrapped so that their
// allocations are not counted as the library's.
const JNINativeInterface_ *g_jvm = nullptr;
JNINativeInterface_ g_wrapped;
template <auto M> struct Wrap;
template <class R, class... A, R (*JNINativeInterface_::*M)(A...)> struct Wrap<M> {
	static R Call(A... a) { return Suppress{}, (g_jvm->*M)(a...); }
};
template <auto... M> void Install() { ((g_wrapped.*M = &Wrap<M>::Call), ...); }

void WrapJvm(JNIEnv *env)
{
	if (g_jvm == nullptr) {
		g_jvm = env->functions;
		g_wrapped = *g_jvm;
		using J = JNINativeInterface_;
		Install<&J::CallVoidMethodV, &J::ExceptionCheck, &J::ExceptionClear, &J::NewByteArray,
			&J::SetByteArrayRegion, &J::NewIntArray, &J::SetIntArrayRegion, &J::GetObjectClass,
			&J::GetMethodID>();
	}
	env->functions = &g_wrapped;
}

// A getter called as the Java side calls it from a callback; its own
// allocations are counted apart from the loop's.
template <class R> void Fetch(R (*getter)(JNIEnv *, jobject), JNIEnv *env, jobject obj)
{
	long n = 0;
	const int saved = std::exchange(t_suppress, 0);
	t_getterAllocs = &n;
	const bool fetched = getter(env, obj) != nullptr;
	t_getterAllocs = nullptr;
	t_suppress = saved;
	if (!g_counting.load())
		return;
	g_getterCalls.fetch_add(1), g_getterAllocs.fetch_add(n), g_fetchFailures.fetch_add(fetched ? 0 : 1);
	g_getterMax.store(std::max(n, g_getterMax.load()));
}

[[noreturn]] void Fail(const char *what)
{
	std::fprintf(stderr, "polling_bench: %s\n", what);
	std::exit(1);
}

// Waits for the next polling cycle to begin and returns its number.
long NextCycle()
{
	if (trvsim_wait_reads(TRVSIM_PS2_STAT, trvsim_reads(TRVSIM_PS2_STAT) + 1, 3000) == 0)
		Fail("the polling loop stalled or never started");
	return g_cycles.load(std::memory_order_acquire);
}

std::thread StartPolling(fakejni::FakeJni &jni)
{
	std::thread t([&jni] {
		t_poller = true;
		WrapJvm(jni.env());
		TRV_JNI(startPolling)(jni.env(), jni.service());
	});
	NextCycle();
	return t;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void PrintCycles(const char *label, long from, int n)
{
	double mean = 0, lo = 1e9, hi = 0;
	for (long k = from; k < from + n; ++k) {
		const double d = TickOf(k + 1).wallMs - TickOf(k).wallMs;
		mean += d / n, lo = std::min(lo, d), hi = std::max(hi, d);
	}
	const double cpuUs = (TickOf(from + n).cpuMs - TickOf(from).cpuMs) * 1e3 / n;
	std::printf("%-34s %6d %9.2f %9.2f %9.2f %11.1f\n", label, n, mean, lo, hi, cpuUs);
}

std::atomic<long> g_msrCount{0}, g_msrCycle{0};
std::atomic<double> g_msrAtMs{0};

} // namespace

int main()
{
	constexpr int CYCLES = 40;
	trvsim_reset();
	fakejni::FakeJni jni;
	JNIEnv *env = jni.env();
	jobject obj = jni.service();
	jni.onCallback("kbdDataOccurred", [](JNIEnv *e, jobject o) { Fetch(TRV_JNI(getKbdData), e, o); });
	jni.onCallback("klkDataOccurred", [](JNIEnv *e, jobject o) { Fetch(TRV_JNI(getKeyLockData), e, o); });
	jni.onCallback("msrDataOccurred", [](JNIEnv *e, jobject o) {
		g_msrAtMs.store(Ms(CLOCK_MONOTONIC)), g_msrCycle.store(g_cycles.load());
		for (auto *get : {TRV_JNI(getMsrTrack1Data), TRV_JNI(getMsrTrack2Data), TRV_JNI(getMsrTrack3Data)})
			Fetch(get, e, o);
		g_msrCount.fetch_add(1);
	});
	const std::vector<std::uint8_t> keys{0x1E, 0x9E}, ps2Track(30, 0x02), usbTrack(30, '3');
	const std::uint32_t usbKeys[] = {0x04, 0x8004};
	auto swipe = [&](int attachment, int track) {
		const auto &t = attachment == TRVSIM_USB ? usbTrack : ps2Track;
		trvsim_swipe_track(attachment, track, t.data(), t.size());
	};

	std::thread poller = StartPolling(jni);
	if (TRV_JNI(openKeyBoard)(env, obj, jni.newString("kbd")) != 4660 ||
	    TRV_JNI(openKeyLock)(env, obj, jni.newString("klk")) != 4660 ||
	    TRV_JNI(openMSR)(env, obj, jni.newString("msr")) != 4660)
		Fail("a session did not open on the simulated keyboard");

	std::printf("%-34s %6s %9s %9s %9s %11s\n", "polling cycle", "cycles", "mean ms", "min ms", "max ms",
		    "CPU us/cyc");
	g_counting = true;
	const long idleFrom = NextCycle();
	while (NextCycle() <= idleFrom + CYCLES) {
	}
	PrintCycles("idle, three sessions open", idleFrom, CYCLES);
	const long idleAllocs = g_loopAllocs.exchange(0);

	// System calls per cycle: idle, and with the USB MSR status node
	// unplugged (its read fails with ENODEV once; the library closes the
	// attachment's nodes and tries to reopen one a second). Counted over
	// 100 cycles, five seconds, so that the reopen tries show.
	constexpr int CALL_CYCLES = 100;
	auto callsPerCycle = [&](const char *label) {
		const long from = NextCycle(), calls0 = g_systemCalls.load();
		while (NextCycle() < from + CALL_CYCLES) {
		}
		const double perCycle = double(g_systemCalls.load() - calls0) / CALL_CYCLES;
		PrintCycles(label, from, CALL_CYCLES - 1);
		return perCycle;
	};
	const double idleCalls = callsPerCycle("idle (system calls below)");
	trvsim_unplug(TRVSIM_USB_MSRSTAT, 1);
	NextCycle(), NextCycle();
	const double unpluggedCalls = callsPerCycle("USB MSR status node unplugged");
	trvsim_unplug(TRVSIM_USB_MSRSTAT, 0);
	const long replugAt = NextCycle(), statusReads = trvsim_reads(TRVSIM_USB_MSRSTAT);
	long healedIn = -1;
	for (long k = replugAt; healedIn < 0 && k < replugAt + 60; k = NextCycle())
		if (trvsim_reads(TRVSIM_USB_MSRSTAT) > statusReads)
			healedIn = k - replugAt;
	if (healedIn < 0)
		Fail("the replugged USB MSR status node was never read again");
	std::printf("\n%-34s %9s\n", "system calls per cycle", "mean");
	std::printf("%-34s %9.2f\n%-34s %9.2f\n", "idle", idleCalls, "a node unplugged (ENODEV)", unpluggedCalls);
	std::printf("%-34s %9ld\n\n", "cycles until read after the replug", healedIn);
	g_loopAllocs.store(0);

	// Each cycle, 10 ms into its sleep: PS/2 and USB keys, both keylocks
	// turned, and every fourth cycle a three-track swipe on one attachment.
	const long busyFrom = NextCycle();
	for (int i = 0; i < CYCLES; ++i) {
		SleepMs(10);
		trvsim_ps2_type(keys.data(), keys.size());
		trvsim_usb_type(usbKeys, 2);
		trvsim_set_keylock(TRVSIM_PS2, static_cast<std::uint16_t>(1 + i % 2));
		trvsim_set_keylock(TRVSIM_USB, static_cast<std::uint16_t>(1 + i % 2));
		for (int track = 1; track <= 3 && i % 4 == 0; ++track)
			swipe(i % 8 == 0 ? TRVSIM_USB : TRVSIM_PS2, track);
		NextCycle();
	}
	NextCycle();
	PrintCycles("delivering keys, keylock, swipes", busyFrom, CYCLES);
	g_counting = false;
	const long calls = g_getterCalls.load();
	if (calls < 2 * CYCLES || g_msrCount.load() == 0 || g_fetchFailures.load() != 0)
		Fail("the callbacks did not come, or a getter returned null");
	std::printf("\n%-34s %9s\n", "heap allocations, polling thread", "count");
	std::printf("%-34s %9ld\n%-34s %9ld\n", "loop alone, idle", idleAllocs, "loop alone, delivering",
		    g_loopAllocs.load());
	std::printf("%-34s %9ld\n%-34s %9.2f (max %ld)\n", "getter calls from callbacks", calls,
		    "per getter call", calls ? double(g_getterAllocs.load()) / calls : 0.0, g_getterMax.load());

	// Each swipe is queued 25 ms into a cycle's sleep; cycles are counted
	// from the next one, the first to see it.
	std::printf("\n%-34s %6s %9s %9s %9s\n", "swipe -> msrDataOccurred", "reps", "cycles", "mean ms", "max ms");
	const struct {
		const char *name;
		int attachment;
		std::vector<int> tracks;
	} swipes[] = {{"USB track 3", TRVSIM_USB, {3}}, {"USB tracks 1+2", TRVSIM_USB, {1, 2}},
		      {"PS/2 track 3", TRVSIM_PS2, {3}}, {"PS/2 tracks 1+2", TRVSIM_PS2, {1, 2}}};
	for (const auto &s : swipes) {
		constexpr int REPS = 3;
		double mean = 0, hi = 0;
		long cyclesLo = 1 << 30, cyclesHi = -1;
		for (int r = 0; r < REPS; ++r) {
			const long k0 = NextCycle(), before = g_msrCount.load();
			SleepMs(25);
			const double t0 = Ms(CLOCK_MONOTONIC);
			for (int track : s.tracks)
				swipe(s.attachment, track);
			for (int wait = 0; g_msrCount.load() == before; ++wait)
				wait < 3000 ? SleepMs(1) : Fail("a swipe was never reported");
			const double ms = g_msrAtMs.load() - t0;
			const long cycles = g_msrCycle.load() - (k0 + 1);
			mean += ms / REPS, hi = std::max(hi, ms);
			cyclesLo = std::min(cyclesLo, cycles), cyclesHi = std::max(cyclesHi, cycles);
			for (int i = 0; i < 8; ++i)
				NextCycle();
		}
		std::printf("%-34s %6d %5ld..%-3ld %9.1f %9.1f\n", s.name, REPS, cyclesLo, cyclesHi, mean, hi);
	}

	// stopPolling from another thread, called 0, 10, ... 40 ms into a cycle.
	double mean = 0, lo = 1e9, hi = 0;
	for (int r = 0; r < 5; ++r) {
		if (r > 0)
			poller = StartPolling(jni);
		NextCycle();
		SleepMs(r * 10);
		const double t0 = Ms(CLOCK_MONOTONIC);
		TRV_JNI(stopPolling)(env, obj);
		const double ms = Ms(CLOCK_MONOTONIC) - t0;
		poller.join();
		mean += ms / 5, lo = std::min(lo, ms), hi = std::max(hi, ms);
	}
	std::printf("\n%-34s %6s %9s %9s %9s\n", "stopPolling returns after", "calls", "mean ms", "min ms", "max ms");
	std::printf("%-34s %6d %9.1f %9.1f %9.1f\n", "(called 0..40 ms into a cycle)", 5, mean, lo, hi);

	TRV_JNI(closeMSR)(env, obj), TRV_JNI(closeKeyLock)(env, obj), TRV_JNI(closeKeyBoard)(env, obj);
	for (const auto &v : jni.violations())
		std::fprintf(stderr, "JNI misuse: %s\n", v.c_str());
	if (!jni.violations().empty())
		Fail("the library misused JNI");
	if (idleAllocs != 0 || g_loopAllocs.load() != 0)
		Fail("the polling loop allocated on the heap");
	return 0;
}
