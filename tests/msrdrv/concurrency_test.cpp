// The producer and the timer callback on different threads: the ring,
// its indices and the timer stay consistent (run under ThreadSanitizer).
#include "msrdrv_test_util.h"

#include <atomic>
#include <thread>

using namespace msrtest;

namespace {

class Concurrency : public QueueFixture {
protected:
	// Runs @produce on one thread while another ticks the timer until the
	// producer is done and the ring has drained.
	template <typename F>
	void run(F produce)
	{
		std::atomic<bool> done{false};
		std::thread ticker([&] {
			while (!done.load() || kstub::any_timer_pending())
				kstub::tick();
		});
		produce();
		done.store(true);
		ticker.join();
	}
};

TEST_F(Concurrency, EveryEventArrivesInOrderWhileTheTimerDrains)
{
	std::vector<uint16_t> expected;
	run([&] {
		// Batches of 200 groups (800 events) fit the ring even if the
		// timer falls behind; the next batch waits for the drain.
		for (int batch = 0; batch < 10; ++batch) {
			for (int i = 0; i < 200; ++i) {
				uint16_t key = static_cast<uint16_t>(KEY_1 + (batch * 200 + i) % 26);
				uint16_t mod = i % 3 ? 0x2A : 0x64;
				presskeys(&dev, static_cast<uint16_t>((i % 3 ? KBD_SHIFT : KBD_ALTGR) | key));
				for (uint16_t v : {uint16_t(0x100 | mod), uint16_t(0x100 | key), key, mod})
					expected.push_back(v);
			}
			while (kstub::event_count() < 2 * expected.size())
				std::this_thread::yield();
		}
	});
	EXPECT_EQ(reported_values(), expected);
	EXPECT_FALSE(kstub::any_timer_pending());
}

TEST_F(Concurrency, FloodingTheRingDropsWholeGroupsOnly)
{
	run([&] {
		for (int i = 0; i < 5000; ++i)
			presskeys(&dev, static_cast<uint16_t>(KBD_SHIFT | KBD_ALTGR | (KEY_1 + i % 26)));
	});
	auto got = reported_values();
	EXPECT_EQ(got.size() % 6, 0u);
	EXPECT_TRUE(balanced(got));
	for (size_t i = 0; i + 5 < got.size(); i += 6) {
		unsigned key = got[i + 3];
		EXPECT_EQ((std::vector<uint16_t>(got.begin() + i, got.begin() + i + 6)),
			  (std::vector<uint16_t>{0x164, 0x12A, uint16_t(0x100 | key), uint16_t(key),
						 0x2A, 0x64}))
			<< "group at " << i;
	}
}

}  // namespace
