// Device sessions: opens across the two attachments, claims, closes, the
// string argument, the version and the constant methods.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "harness.h"

namespace nltest {
namespace {

using OpenFn = jint(JNICALL *)(JNIEnv *, jobject, jstring);
using IntFn = jint(JNICALL *)(JNIEnv *, jobject);

// What a slot is expected to hold.
enum class SlotIs { Descriptor, Failed, Empty };

void ExpectSlot(const std::atomic<std::int32_t> &slot, SlotIs is, const char *what)
{
	const std::int32_t v = slot.load();
	switch (is) {
	case SlotIs::Descriptor:
		EXPECT_GT(v, 0) << what;
		break;
	case SlotIs::Failed:
		EXPECT_EQ(v, -1) << what;
		break;
	case SlotIs::Empty:
		EXPECT_EQ(v, 0) << what;
		break;
	}
}

// A device with two single-node attachments.
struct TwoNodeDevice {
	const char *name;
	OpenFn open;
	int ps2Node;
	int usbNode;
	std::atomic<std::int32_t> *ps2Slot;
	std::atomic<std::int32_t> *usbSlot;
	std::atomic<std::int32_t> *opened;
};

const TwoNodeDevice kKeyboard{"keyboard", TRV_JNI(openKeyBoard), TRVSIM_PS2_KEYBOARD, TRVSIM_USB_KEYBOARD,
			      &g_DeviceChannels.fdPs2Keyboard, &g_DeviceChannels.fdUsbKeyboard,
			      &g_bKeyboardOpened};
const TwoNodeDevice kKeylock{"keylock", TRV_JNI(openKeyLock), TRVSIM_PS2_KEYLOCK, TRVSIM_USB_KEYLOCK,
			     &g_DeviceChannels.fdPs2Keylock, &g_DeviceChannels.fdUsbKeylock,
			     &g_bKeylockOpened};

using SessionTest = NativeLayerTest;

TEST_F(SessionTest, OpenUsesWhicheverAttachmentOpens)
{
	struct {
		bool ps2Present, usbPresent;
		jint result;
		SlotIs ps2, usb;
	} cases[] = {
		{true, true, OPENED, SlotIs::Descriptor, SlotIs::Descriptor},
		{false, true, OPENED, SlotIs::Failed, SlotIs::Descriptor},
		{true, false, OPENED, SlotIs::Descriptor, SlotIs::Failed},
		{false, false, -1, SlotIs::Failed, SlotIs::Failed},
	};
	for (const TwoNodeDevice *dev : {&kKeyboard, &kKeylock}) {
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(dev->name) + " ps2=" + std::to_string(c.ps2Present) +
				     " usb=" + std::to_string(c.usbPresent));
			ResetAll(jni);
			trvsim_set_present(dev->ps2Node, c.ps2Present);
			trvsim_set_present(dev->usbNode, c.usbPresent);
			EXPECT_EQ(dev->open(env, obj, jni.newString("dev")), c.result);
			ExpectSlot(*dev->ps2Slot, c.ps2, "PS/2 slot");
			ExpectSlot(*dev->usbSlot, c.usb, "USB slot");
			EXPECT_EQ(dev->opened->load(), c.result == OPENED ? 1 : 0);
			EXPECT_EQ(OpenDescriptors(), HeldDescriptors());
		}
	}
	fakejni::ExpectCleanJni(jni);
}

TEST_F(SessionTest, FailedOpenTriesBothNodesAgainNextTime)
{
	for (const TwoNodeDevice *dev : {&kKeyboard, &kKeylock}) {
		SCOPED_TRACE(dev->name);
		ResetAll(jni);
		trvsim_set_present(dev->ps2Node, 0);
		trvsim_set_present(dev->usbNode, 0);
		EXPECT_EQ(dev->open(env, obj, nullptr), -1);
		trvsim_set_present(dev->ps2Node, 1);
		trvsim_set_present(dev->usbNode, 1);
		EXPECT_EQ(dev->open(env, obj, nullptr), OPENED);
		EXPECT_EQ(trvsim_open_descriptors(dev->ps2Node), 1);
		EXPECT_EQ(trvsim_open_descriptors(dev->usbNode), 1);
	}
}

TEST_F(SessionTest, SecondOpenWhileOpenChangesNothing)
{
	const OpenFn opens[] = {TRV_JNI(openKeyBoard), TRV_JNI(openMSR), TRV_JNI(openKeyLock)};
	for (OpenFn open : opens)
		ASSERT_EQ(open(env, obj, nullptr), OPENED);
	std::int32_t before[16];
	for (int i = 0; i < 16; ++i)
		before[i] = reinterpret_cast<std::atomic<std::int32_t> *>(&g_DeviceChannels)[i].load();
	const int descriptors = OpenDescriptors();
	EXPECT_EQ(descriptors, 10);

	for (OpenFn open : opens)
		EXPECT_EQ(open(env, obj, nullptr), -1);
	for (int i = 0; i < 16; ++i)
		EXPECT_EQ(reinterpret_cast<std::atomic<std::int32_t> *>(&g_DeviceChannels)[i].load(), before[i])
			<< "slot " << i;
	EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(SessionTest, MsrOpensOnlyCompleteChains)
{
	constexpr SlotIs D = SlotIs::Descriptor, F = SlotIs::Failed, E = SlotIs::Empty;
	struct {
		const char *name;
		bool ps2[3], usb[3];
		jint result;
		SlotIs ps2Slots[3], usbSlots[3];
	} cases[] = {
		{"both complete", {1, 1, 1}, {1, 1, 1}, OPENED, {D, D, D}, {D, D, D}},
		{"PS/2 track 3 missing, USB complete", {1, 1, 0}, {1, 1, 1}, OPENED, {E, E, F}, {D, D, D}},
		{"PS/2 complete, no USB", {1, 1, 1}, {0, 0, 0}, OPENED, {D, D, D}, {F, E, E}},
		{"PS/2 track 2 missing, USB track 3 missing", {1, 0, 1}, {1, 1, 0}, -1, {E, F, E}, {E, E, F}},
		{"nothing", {0, 0, 0}, {0, 0, 0}, -1, {F, E, E}, {F, E, E}},
	};
	DeviceChannels &ch = g_DeviceChannels;
	std::atomic<std::int32_t> *ps2Slots[] = {&ch.fdPs2Msr1, &ch.fdPs2Msr2, &ch.fdPs2Msr3};
	std::atomic<std::int32_t> *usbSlots[] = {&ch.fdUsbMsr1, &ch.fdUsbMsr2, &ch.fdUsbMsr3};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ResetAll(jni);
		for (int t = 0; t < 3; ++t) {
			trvsim_set_present(TRVSIM_PS2_MSR1 + t, c.ps2[t]);
			trvsim_set_present(TRVSIM_USB_MSR1 + t, c.usb[t]);
		}
		EXPECT_EQ(TRV_JNI(openMSR)(env, obj, jni.newString("msr")), c.result);
		for (int t = 0; t < 3; ++t) {
			ExpectSlot(*ps2Slots[t], c.ps2Slots[t], "PS/2 track slot");
			ExpectSlot(*usbSlots[t], c.usbSlots[t], "USB track slot");
		}
		// Nodes of an incomplete chain are closed again.
		EXPECT_EQ(OpenDescriptors(), HeldDescriptors());
	}
}

TEST_F(SessionTest, ClaimsFollowOpenAndSurviveClose)
{
	enum Op { Open, Close, Claim, Release };
	struct Step {
		Op op;
		jint result; // ignored for Close
	};
	const Step sequence[] = {
		{Claim, -1},   {Release, -1}, {Open, OPENED}, {Claim, 0},      {Claim, -1},
		{Close, 0},    {Open, OPENED}, {Claim, -1},   {Release, 0},    {Release, -1},
		{Claim, 0},    {Close, 0},    {Release, 0},   {Claim, -1},
	};
	struct Device {
		const char *name;
		OpenFn open;
		void(JNICALL *close)(JNIEnv *, jobject);
		IntFn claim, release;
	} devices[] = {
		{"keyboard", TRV_JNI(openKeyBoard), TRV_JNI(closeKeyBoard), TRV_JNI(claimKeyboard),
		 TRV_JNI(releaseKeyboard)},
		{"MSR", TRV_JNI(openMSR), TRV_JNI(closeMSR), TRV_JNI(claimMSR), TRV_JNI(releaseMSR)},
	};
	for (const Device &d : devices) {
		ResetAll(jni);
		int i = 0;
		for (const Step &s : sequence) {
			SCOPED_TRACE(std::string(d.name) + " step " + std::to_string(i++));
			switch (s.op) {
			case Open:
				EXPECT_EQ(d.open(env, obj, nullptr), s.result);
				break;
			case Close:
				d.close(env, obj);
				break;
			case Claim:
				EXPECT_EQ(d.claim(env, obj), s.result);
				break;
			case Release:
				EXPECT_EQ(d.release(env, obj), s.result);
				break;
			}
		}
	}
}

TEST_F(SessionTest, CloseKeyLockReportsWhetherAnythingWasOpen)
{
	EXPECT_EQ(TRV_JNI(closeKeyLock)(env, obj), -1);

	trvsim_set_present(TRVSIM_PS2_KEYLOCK, 0);
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
	ASSERT_EQ(g_DeviceChannels.fdPs2Keylock.load(), -1);
	EXPECT_EQ(TRV_JNI(closeKeyLock)(env, obj), 0);
	EXPECT_EQ(g_DeviceChannels.fdPs2Keylock.load(), 0);
	EXPECT_EQ(g_DeviceChannels.fdUsbKeylock.load(), 0);
	EXPECT_EQ(g_bKeylockOpened.load(), 0);
	EXPECT_EQ(OpenDescriptors(), 0);
	EXPECT_EQ(TRV_JNI(closeKeyLock)(env, obj), -1);
}

TEST_F(SessionTest, CloseReleasesEveryDescriptorOfTheSession)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	ASSERT_EQ(TRV_JNI(openMSR)(env, obj, nullptr), OPENED);
	ASSERT_EQ(TRV_JNI(openKeyLock)(env, obj, nullptr), OPENED);
	EXPECT_EQ(OpenDescriptors(), 10);
	TRV_JNI(closeMSR)(env, obj);
	EXPECT_EQ(OpenDescriptors(), 4);
	TRV_JNI(closeKeyBoard)(env, obj);
	EXPECT_EQ(OpenDescriptors(), 2);
	EXPECT_EQ(TRV_JNI(closeKeyLock)(env, obj), 0);
	EXPECT_EQ(OpenDescriptors(), 0);
	for (int i = 0; i < 16; ++i)
		EXPECT_EQ(reinterpret_cast<std::atomic<std::int32_t> *>(&g_DeviceChannels)[i].load(), 0)
			<< "slot " << i;
}

// With standard input closed, the first node opened lands on descriptor 0,
// which a slot takes for "no descriptor". The node is moved to a number
// above 0, closed on exec like every node, and closed again by the close.
TEST_F(SessionTest, NodeOpenedOnDescriptorZeroIsMovedOffIt)
{
	trvsim_set_present(TRVSIM_PS2_KEYBOARD, 0);
	const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3); // -1: no standard input
	::close(0);
	EXPECT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	const int fd = g_DeviceChannels.fdUsbKeyboard.load();
	EXPECT_GT(fd, 0);
	if (fd > 0) {
		EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
	}
	TRV_JNI(closeKeyBoard)(env, obj);
	EXPECT_EQ(OpenDescriptors(), 0);

	::close(0); // whatever a faulty open left there
	if (savedStdin >= 0) {
		::dup2(savedStdin, 0);
		::close(savedStdin);
	}
}

// The string argument is fetched and released on every call, the device
// already open included; a null string is skipped without a JNI call.
TEST_F(SessionTest, OpenHandlesTheStringArgument)
{
	const OpenFn opens[] = {TRV_JNI(openKeyBoard), TRV_JNI(openMSR), TRV_JNI(openKeyLock)};
	struct {
		bool nullString;
		jint first, second;
		int fetches;
	} cases[] = {
		{true, OPENED, -1, 0},
		{false, OPENED, -1, 2},
	};
	for (const auto &c : cases) {
		for (OpenFn open : opens) {
			SCOPED_TRACE(c.nullString ? "null string" : "string");
			ResetAll(jni);
			const int before = jni.calls("GetStringUTFChars");
			auto arg = [&] { return c.nullString ? nullptr : jni.newString("POSKeyboard"); };
			EXPECT_EQ(open(env, obj, arg()), c.first);
			EXPECT_EQ(open(env, obj, arg()), c.second);
			EXPECT_EQ(jni.calls("GetStringUTFChars") - before, c.fetches);
		}
	}
	fakejni::ExpectCleanJni(jni);
}

TEST_F(SessionTest, GetVersionMakesANewArrayEachCall)
{
	jbyteArray first = TRV_JNI(getVersion)(env, obj);
	jbyteArray second = TRV_JNI(getVersion)(env, obj);
	ASSERT_NE(first, nullptr);
	ASSERT_NE(second, nullptr);
	EXPECT_NE(first, second);
	EXPECT_EQ(jni.bytes(first), (std::vector<std::uint8_t>{1, 8, 7}));
	EXPECT_EQ(jni.bytes(second), (std::vector<std::uint8_t>{1, 8, 7}));

	// No array to be had: null, and no exception left for the caller.
	jni.failNewArrays(true);
	EXPECT_EQ(TRV_JNI(getVersion)(env, obj), nullptr);
	jni.failNewArrays(false);
	fakejni::ExpectCleanJni(jni);
}

TEST_F(SessionTest, ConstantMethodsReturnZeroInAnyState)
{
	const IntFn constants[] = {
		TRV_JNI(enablekeyBoard), TRV_JNI(disableKeyBoard), TRV_JNI(getKeyboardPowerState),
		TRV_JNI(enableMSR),      TRV_JNI(disableMSR),      TRV_JNI(getMSRPowerState),
		TRV_JNI(enableKeylock),  TRV_JNI(disableKeylock),  TRV_JNI(writeKeylockConfig),
		TRV_JNI(getKeylockPowerState),
	};
	for (bool open : {false, true}) {
		if (open) {
			TRV_JNI(openKeyBoard)(env, obj, nullptr);
			TRV_JNI(openMSR)(env, obj, nullptr);
			TRV_JNI(openKeyLock)(env, obj, nullptr);
		}
		for (IntFn fn : constants)
			EXPECT_EQ(fn(env, obj), 0);
		EXPECT_EQ(OpenDescriptors(), open ? 10 : 0);
	}
}

TEST_F(SessionTest, ClearInputLeavesPendingData)
{
	ASSERT_EQ(TRV_JNI(openKeyBoard)(env, obj, nullptr), OPENED);
	{
		std::lock_guard lock(g_KbdDataLock);
		g_rgnKbdData[0] = 0x1E;
		g_rgnKbdData[1] = 0x9E;
		g_nKbdDataLength = 2;
	}
	TRV_JNI(clearKeyBoardInput)(env, obj);
	TRV_JNI(clearMSRInput)(env, obj);
	EXPECT_EQ(jni.ints(TRV_JNI(getKbdData)(env, obj)), (std::vector<std::int32_t>{0x1E, 0x9E}));
}

} // namespace
} // namespace nltest
