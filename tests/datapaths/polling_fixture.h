// Fixture for the data paths behind the real polling loop. The simulator
// holds the loop at its first status read of each cycle (the PS/2 status
// node), so the tests advance it one cycle at a time and count cycles, not
// milliseconds.
#pragma once

#include <thread>

#include "datapaths_fixture.h"

namespace datapaths {

constexpr int STEP_TIMEOUT_MS = 10000;

class PollingDataPathTest : public DataPathTest {
protected:
	void SetUp() override
	{
		DataPathTest::SetUp();
		trvsim_step_mode(TRVSIM_PS2_STAT, 1);
		poller = std::thread([this] { TRV_JNI(startPolling)(jni.env(), jni.service()); });
		ASSERT_EQ(trvsim_step(0, STEP_TIMEOUT_MS), 1) << "the loop never reached its first cycle";
	}

	void TearDown() override
	{
		trvsim_step_mode(TRVSIM_PS2_STAT, 0);
		if (poller.joinable()) {
			TRV_JNI(stopPolling)(env, obj);
			poller.join();
		}
		DataPathTest::TearDown();
	}

	// Runs one polling cycle; the loop is held again before the next one.
	void Cycle() { ASSERT_EQ(trvsim_step(1, STEP_TIMEOUT_MS), 1); }

	jstring Name() { return jni.newString("device"); }

	std::thread poller;
};

} // namespace datapaths
