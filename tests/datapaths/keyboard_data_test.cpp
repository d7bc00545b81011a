// Keyboard data path: the USB and PS/2 handlers driven with crafted counts
// against the simulated keyboard nodes, and getKbdData.
#include <climits>
#include <numeric>

#include "datapaths_fixture.h"

namespace datapaths {
namespace {

using KeyboardDataTest = DataPathTest;

std::vector<std::uint32_t> Entries(std::uint32_t first, std::size_t n)
{
	std::vector<std::uint32_t> v(n);
	std::iota(v.begin(), v.end(), first);
	return v;
}

std::vector<std::int32_t> AsInts(const std::vector<std::uint32_t> &v)
{
	return {v.begin(), v.end()};
}

TEST_F(KeyboardDataTest, UsbBatchIsAppendedAndFetchedOnceInOrder)
{
	OpenKeyboard();
	const auto first = Entries(0x10001E, 2);
	const auto second = Entries(0xE048, 2);
	trvsim_usb_type(first.data(), first.size());
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 2), 1);
	trvsim_usb_type(second.data(), second.size());
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 2), 1);

	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 2);
	auto all = AsInts(first);
	all.insert(all.end(), second.begin(), second.end());
	EXPECT_EQ(FetchKbd(), all);
	EXPECT_TRUE(FetchKbd().empty());
}

TEST_F(KeyboardDataTest, GetterCalledFromTheCallbackSeesTheWholeBatch)
{
	OpenKeyboard();
	std::vector<std::int32_t> seen;
	jni.onCallback(KBD_CALLBACK, [&](JNIEnv *e, jobject o) { seen = jni.ints(TRV_JNI(getKbdData)(e, o)); });
	const auto batch = Entries(7, 3);
	trvsim_usb_type(batch.data(), batch.size());
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 3), 1);
	EXPECT_EQ(seen, AsInts(batch));
	EXPECT_EQ(g_nKbdDataLength, 0);
}

// A USB read takes as many whole entries as fit: at most 128, and never
// past the 255th pending entry. The driver keeps the rest. A read that
// delivers fewer bytes than asked keeps the whole entries it delivered.
TEST_F(KeyboardDataTest, UsbBatchLimits)
{
	const struct {
		const char *name;
		int pending;        // entries already pending
		unsigned batch;     // entries announced and queued
		std::size_t maxRead; // bytes the node delivers per read
		int read;           // entries taken
	} cases[] = {
		{"one entry", 0, 1, SIZE_MAX, 1},
		{"128 entries", 0, 128, SIZE_MAX, 128},
		{"129 entries: 128 now", 0, 129, SIZE_MAX, 128},
		{"255 entries: 128 now", 0, 255, SIZE_MAX, 128},
		{"fills to exactly 255", 127, 128, SIZE_MAX, 128},
		{"one past 255: the first 5", 250, 6, SIZE_MAX, 5},
		{"no room: a reminder, nothing read", 255, 3, SIZE_MAX, 0},
		{"short read keeps what it delivered", 0, 3, 9, 2},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenKeyboard();
		const std::int32_t pendingTail = 0x5A5A;
		g_nKbdDataLength = c.pending;
		if (c.pending > 0)
			g_rgnKbdData[c.pending - 1] = pendingTail;
		const auto batch = Entries(0x100, c.batch);
		trvsim_usb_type(batch.data(), batch.size());
		trvsim_short_reads(TRVSIM_USB_KEYBOARD, c.maxRead);
		const int before = jni.callbackCount(KBD_CALLBACK);

		// A full list calls back too, so that Java fetches.
		const int called = c.read > 0 || c.pending == KBD_DATA_ENTRIES ? 1 : 0;
		EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, c.batch), called);
		EXPECT_EQ(jni.callbackCount(KBD_CALLBACK) - before, called);
		if (c.read > 0) {
			ASSERT_EQ(g_nKbdDataLength, c.pending + c.read);
			EXPECT_EQ(g_rgnKbdData[c.pending], 0x100);
			EXPECT_EQ(g_rgnKbdData[g_nKbdDataLength - 1], 0x100 + c.read - 1);
			EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), c.batch - static_cast<unsigned>(c.read));
		} else {
			EXPECT_EQ(g_nKbdDataLength, c.pending);
		}
		if (c.pending > 0) {
			EXPECT_EQ(g_rgnKbdData[c.pending - 1], pendingTail);
		}
	}
}

TEST_F(KeyboardDataTest, UsbBatchThatDoesNotFitIsReadAsRoomIsMade)
{
	OpenKeyboard();
	const auto old = Entries(1, 100);
	for (int i = 0; i < 2; ++i) {
		trvsim_usb_type(old.data(), old.size());
		ASSERT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 100), 1);
	}
	const auto late = Entries(1000, 100);
	trvsim_usb_type(late.data(), late.size());
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 100), 1);
	EXPECT_EQ(trvsim_queued(TRVSIM_USB_KEYBOARD), 45u);
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 45), 1); // a reminder only
	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KEYBOARD), 3);

	const auto first = FetchKbd();
	ASSERT_EQ(first.size(), 255u);
	EXPECT_EQ(std::vector<std::int32_t>(first.begin() + 200, first.end()),
		  AsInts(std::vector<std::uint32_t>(late.begin(), late.begin() + 55)));
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 45), 1);
	EXPECT_EQ(FetchKbd(), AsInts(std::vector<std::uint32_t>(late.begin() + 55, late.end())));
}

// Each PS/2 byte becomes one zero-extended entry, appended behind the
// entries still pending; what does not fit stays in the driver.
TEST_F(KeyboardDataTest, Ps2BytesBecomeOneEntryEachAppendedAsRoomAllows)
{
	const struct {
		const char *name;
		int pending; // entries already pending (0x7F7F7F7F each)
		std::vector<std::uint8_t> typed;
		std::size_t maxRead;
		int result;
		std::vector<std::int32_t> appended;
		std::size_t left; // bytes the driver still holds
	} cases[] = {
		{"make, break and 0xFF stay unsigned", 5, {0x1E, 0x9E, 0xFF}, SIZE_MAX, 1, {0x1E, 0x9E, 0xFF}, 0},
		{"short read gives what was read", 5, {0x02, 0x82, 0x03, 0x83}, 2, 1, {0x02, 0x82}, 2},
		{"empty read adds nothing", 5, {0x10}, 0, 1, {}, 1},
		{"room for two", 253, {0x02, 0x82, 0x03, 0x83}, SIZE_MAX, 1, {0x02, 0x82}, 2},
		{"no room: a reminder, nothing read", 255, {0x02, 0x82}, SIZE_MAX, 1, {}, 2},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetLibraryState();
		trvsim_reset();
		OpenKeyboard();
		std::fill_n(g_rgnKbdData, c.pending, 0x7F7F7F7F);
		g_nKbdDataLength = c.pending;
		trvsim_ps2_type(c.typed.data(), c.typed.size());
		trvsim_short_reads(TRVSIM_PS2_KEYBOARD, c.maxRead);
		const int before = jni.callbackCount(KBD_CALLBACK);

		EXPECT_EQ(HandleKeyboardDataPS2(env, obj, kbdMethod, static_cast<unsigned>(c.typed.size())), c.result);
		EXPECT_EQ(jni.callbackCount(KBD_CALLBACK) - before, c.result);
		std::vector<std::int32_t> expected(static_cast<std::size_t>(c.pending), 0x7F7F7F7F);
		expected.insert(expected.end(), c.appended.begin(), c.appended.end());
		EXPECT_EQ(FetchKbd(), expected);
		EXPECT_EQ(trvsim_queued(TRVSIM_PS2_KEYBOARD), c.left);
	}
}

TEST_F(KeyboardDataTest, Ps2ReadsAtMost255BytesWhateverTheCount)
{
	OpenKeyboard();
	const std::vector<std::uint8_t> typed(300, 0x1E);
	trvsim_ps2_type(typed.data(), typed.size());
	EXPECT_EQ(HandleKeyboardDataPS2(env, obj, kbdMethod, 1020), 1);
	EXPECT_EQ(g_nKbdDataLength, KBD_DATA_ENTRIES);
	EXPECT_EQ(HandleKeyboardDataPS2(env, obj, kbdMethod, 1021), 0);
}

TEST_F(KeyboardDataTest, NothingIsReadWhenClosedOrWithoutDescriptor)
{
	const auto batch = Entries(1, 2);
	const std::uint8_t bytes[] = {0x1E, 0x9E};
	trvsim_usb_type(batch.data(), batch.size());
	trvsim_ps2_type(bytes, sizeof bytes);

	// Closed: the descriptors are there but the session flag is not.
	ASSERT_GT(OpenInto(g_DeviceChannels.fdPs2Keyboard, TRVSIM_PS2_KEYBOARD), 0);
	ASSERT_GT(OpenInto(g_DeviceChannels.fdUsbKeyboard, TRVSIM_USB_KEYBOARD), 0);
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 2), 0);
	EXPECT_EQ(HandleKeyboardDataPS2(env, obj, kbdMethod, 2), 0);

	// Open, but the slots hold a failed open (-1) or nothing (0).
	close(g_DeviceChannels.fdPs2Keyboard.exchange(-1));
	close(g_DeviceChannels.fdUsbKeyboard.exchange(0));
	g_bKeyboardOpened = 1;
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 2), 0);
	EXPECT_EQ(HandleKeyboardDataPS2(env, obj, kbdMethod, 2), 0);

	EXPECT_EQ(trvsim_reads(TRVSIM_USB_KEYBOARD), 0);
	EXPECT_EQ(trvsim_reads(TRVSIM_PS2_KEYBOARD), 0);
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 0);
	g_DeviceChannels.fdPs2Keyboard = 0;
}

TEST_F(KeyboardDataTest, FailedReadsLeavePendingEntriesAsTheyWere)
{
	OpenKeyboard();
	const auto batch = Entries(42, 3);
	trvsim_usb_type(batch.data(), batch.size());
	ASSERT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 3), 1);

	const std::uint8_t bytes[] = {0x1E};
	trvsim_ps2_type(bytes, 1);
	trvsim_usb_type(batch.data(), batch.size());
	trvsim_fail_reads(TRVSIM_PS2_KEYBOARD, 1);
	trvsim_fail_reads(TRVSIM_USB_KEYBOARD, 1);
	EXPECT_EQ(HandleKeyboardDataPS2(env, obj, kbdMethod, 1), 0);
	EXPECT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 3), 0);
	EXPECT_EQ(jni.callbackCount(KBD_CALLBACK), 1);
	EXPECT_EQ(FetchKbd(), AsInts(batch));
}

TEST_F(KeyboardDataTest, FailedArrayCreationKeepsEntriesForTheNextCall)
{
	OpenKeyboard();
	const auto batch = Entries(9, 4);
	trvsim_usb_type(batch.data(), batch.size());
	ASSERT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 4), 1);

	jni.failNewArrays(true);
	EXPECT_EQ(TRV_JNI(getKbdData)(env, obj), nullptr);
	EXPECT_FALSE(jni.exceptionPending());
	EXPECT_EQ(g_nKbdDataLength, 4);
	jni.failNewArrays(false);
	EXPECT_EQ(FetchKbd(), AsInts(batch));
}

TEST_F(KeyboardDataTest, PendingEntriesOutliveCloseAndReopen)
{
	OpenKeyboard();
	const auto batch = Entries(77, 3);
	trvsim_usb_type(batch.data(), batch.size());
	ASSERT_EQ(HandleKeyboardDataUSB(env, obj, kbdMethod, 3), 1);
	TRV_JNI(closeKeyBoard)(env, obj);
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, jni.newString("keyboard")), 4660);
	EXPECT_EQ(FetchKbd(), AsInts(batch));
}

} // namespace
} // namespace datapaths
