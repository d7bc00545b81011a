// Seeded soak of the library on the driver simulator: one core, two hosts.
// The in-process host calls the entry points through the fake JNI table;
// the JVM host calls the methods of a real ServiceLayer object through JNI,
// with the simulator preloaded. Both give the core an Api per thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace soak {

enum Device { KEYBOARD, MSR, KEYLOCK };
enum Callback { KBD_DATA, KLK_DATA, MSR_DATA };

// The ServiceLayer methods the soak calls, on the thread that owns the Api.
// Arrays come back copied; a getter that returned null gives no data and
// sets *failed.
class Api {
public:
	virtual ~Api() = default;
	virtual int Open(Device d) = 0;  // 4660 or -1
	virtual int Close(Device d) = 0; // closeKeyLock's result; 0 for the others
	virtual int Claim(Device d) = 0;
	virtual int Release(Device d) = 0;
	virtual void StartPolling() = 0;
	virtual void StopPolling() = 0;
	virtual std::vector<std::int32_t> GetKbdData(bool *failed) = 0;
	virtual std::vector<std::uint8_t> GetTrack(int track, bool *failed) = 0; // 1..4
	virtual std::vector<std::uint8_t> GetKeyLockData(bool *failed) = 0;
	virtual int GetKeyLockPosition() = 0;
	virtual std::vector<std::uint8_t> GetVersion() = 0;
	virtual int SetPosKey(const std::int32_t key[5]) = 0;
	virtual int WriteKeyboardConfig() = 0;
	virtual int WriteMsrConfig(const std::vector<std::uint8_t> &leading) = 0;
	// Gives the JVM a reason to collect garbage; nothing in process.
	virtual void CollectGarbage() {}
};

// Runs body on a new thread with an Api of that thread.
using Spawn = std::function<std::thread(const char *name, std::function<void(Api &)> body)>;

struct Options {
	std::uint64_t seed = 0;
	double seconds = 20;
	// Largest growth of resident memory after warm-up, in KiB; 0: print only.
	long rssBoundKiB = 0;
	// The host's own checks at the end (e.g. JNI misuse the fake recorded).
	std::function<void()> finalCheck;
	// The loaded object that holds the library's state: path suffix, or
	// empty for the main program (the library linked in).
	std::string cardObject;
};

// Options from TRV_SOAK_SEED and TRV_SOAK_SECONDS (or "--seed N", "--seconds S").
Options OptionsFrom(int argc, char **argv, long rssBoundKiB);

// Runs the soak on the calling thread (its Api is main) and returns the exit
// status: 0 when every invariant held. Prints the figures and the seed.
int Run(const Options &opt, Api &main, const Spawn &spawn);

// The host calls this from each of the three callbacks, on the polling
// thread, with that thread's Api. When it returns true the callback throws
// (returns with a Java exception pending).
bool OnCallback(Callback cb, Api &api);

// Counts a violation of an invariant found by the host (a Java exception
// left pending, a JNI misuse).
void Violation(const char *invariant, const std::string &what);

} // namespace soak
