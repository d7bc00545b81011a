// Test harness for the library's entry points: the fake JNI table, the
// driver simulator, a polling thread, and a reset of the process-global
// state between tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "fake_jni.h"
#include "nativelayer.h"
#include "trvsim.h"

namespace nltest {

inline constexpr jint OPENED = 4660;
// Generous bound for "returns at once": only a hang fails it.
inline constexpr int HANG_MS = 10000;

// Stops any loop, closes every session and held status descriptor, releases
// the claims, empties tables and pending data, resets the simulator.
void ResetAll(fakejni::FakeJni &jni);

// Descriptors the simulator counts as open right now, on all nodes.
int OpenDescriptors();
// Descriptors the library should hold: the status slots still held and the
// data-node slots of open sessions.
int HeldDescriptors();

// The index-th write recorded on a node (-1: newest); empty when none.
std::vector<std::uint8_t> Written(int node, int index = -1);

// Runs startPolling on a thread of its own. With a gate node the simulator
// is in step mode and the loop is held at the gate of its first cycle once
// the constructor returns; the gate must be a status node that is present.
class PollingThread {
public:
	explicit PollingThread(fakejni::FakeJni &jni, int gate = -1);
	~PollingThread();
	PollingThread(const PollingThread &) = delete;
	PollingThread &operator=(const PollingThread &) = delete;

	// Waits until the loop has read a status node or startPolling has
	// returned (no status node opened); false on a timeout.
	bool WaitStarted();
	// Runs count full cycles (step mode only); false on a timeout.
	bool Step(int count = 1);
	// Whether startPolling has returned, waiting up to ms.
	bool WaitReturned(int ms = HANG_MS);
	// Calls stopPolling from this thread (leaving step mode first) until the
	// loop has returned, and joins.
	void Stop();
	// Step mode only: requests the stop while the loop is held at the gate,
	// then releases it. The run ends after exactly the cycle it was held in,
	// so that a test counts the cycles of a run. Joins.
	void StopAfterThisCycle();
	// Whether the polling thread's env had an exception pending when
	// startPolling returned.
	bool LeftExceptionPending() const { return pendingAtReturn_.load(); }
	std::chrono::steady_clock::time_point ReturnedAt() const { return returnedAt_; }

private:
	fakejni::FakeJni &jni_;
	int gate_;
	long statusReadsAtStart_ = 0;
	std::atomic<bool> returned_{false};
	std::atomic<bool> pendingAtReturn_{false};
	std::chrono::steady_clock::time_point returnedAt_{};
	std::thread thread_;
};

class NativeLayerTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		ResetAll(jni);
		env = jni.env();
		obj = jni.service();
	}
	void TearDown() override { ResetAll(jni); }

	fakejni::FakeJni jni;
	JNIEnv *env = nullptr;
	jobject obj = nullptr;
};

} // namespace nltest
