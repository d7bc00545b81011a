// Nodes that went away while open (a bumped cable, a replug): the slot is
// closed when a read or write reports the device gone, and the polling loop
// opens the node again once it is back. The rules stand beside
// DeviceChannels in nativelayer.h.
#include <errno.h>
#include <unistd.h>

#include <array>

#include "nativelayer.h"
#include "sessions.h"

std::atomic<std::uint32_t> g_ulGoneSlots{0};
std::atomic<std::uint32_t> g_ulSeenSlots{0};

namespace {

using Slot = std::atomic<std::int32_t>;

// Cycles between two tries of one attachment: one second.
constexpr std::uint64_t RETRY_CYCLES = 20;

enum class Owner { STATUS, KEYBOARD, KEYLOCK, MSR };

struct NodeOfSlot {
	Slot DeviceChannels::*member;
	const char *path; // null: the slot never holds a node
	int attachment;   // 0 PS/2, 1 USB
	Owner owner;
};

// The slots in the order of DeviceChannels, status nodes first within each
// attachment's order of probing below.
constexpr std::array<NodeOfSlot, 16> NODES{{
	{&DeviceChannels::fdPs2Stat, "/dev/qkbd_stat", 0, Owner::STATUS},
	{&DeviceChannels::fdPs2KbdStat, nullptr, 0, Owner::STATUS},
	{&DeviceChannels::fdPs2MsrStat, nullptr, 0, Owner::STATUS},
	{&DeviceChannels::fdPs2Keyboard, "/dev/qkbd_keyboard", 0, Owner::KEYBOARD},
	{&DeviceChannels::fdPs2Keylock, "/dev/qkbd_keylock", 0, Owner::KEYLOCK},
	{&DeviceChannels::fdPs2Msr1, "/dev/qkbd_msr1", 0, Owner::MSR},
	{&DeviceChannels::fdPs2Msr2, "/dev/qkbd_msr2", 0, Owner::MSR},
	{&DeviceChannels::fdPs2Msr3, "/dev/qkbd_msr3", 0, Owner::MSR},
	{&DeviceChannels::fdUsbStat, nullptr, 1, Owner::STATUS},
	{&DeviceChannels::fdUsbKbdStat, "/dev/trvposusb_kbdstat", 1, Owner::STATUS},
	{&DeviceChannels::fdUsbMsrStat, "/dev/trvposusb_msrstat", 1, Owner::STATUS},
	{&DeviceChannels::fdUsbKeyboard, "/dev/trvposusb_keyboard", 1, Owner::KEYBOARD},
	{&DeviceChannels::fdUsbKeylock, "/dev/trvposusb_keylock", 1, Owner::KEYLOCK},
	{&DeviceChannels::fdUsbMsr1, "/dev/trvposusb_msr1", 1, Owner::MSR},
	{&DeviceChannels::fdUsbMsr2, "/dev/trvposusb_msr2", 1, Owner::MSR},
	{&DeviceChannels::fdUsbMsr3, "/dev/trvposusb_msr3", 1, Owner::MSR},
}};

constexpr std::uint32_t ATTACHMENT_SLOTS[2] = {0x00FFu, 0xFF00u};

// The data nodes whose news a status node carries: while it is away they
// are not used by the loop, so a dead descriptor of theirs is only found
// when the status node comes back.
constexpr std::uint32_t DependentsOf(std::size_t status)
{
	switch (status) {
	case 0: return 0x00F8u;  // /dev/qkbd_stat: keyboard, keylock, msr1..3
	case 9: return 0x0800u;  // /dev/trvposusb_kbdstat: keyboard
	case 10: return 0xF000u; // /dev/trvposusb_msrstat: keylock, msr1..3
	default: return 0;
	}
}

// Index of a slot in DeviceChannels; -1 for anything else.
int IndexOfSlot(const Slot &slot)
{
	for (std::size_t i = 0; i < NODES.size(); ++i)
		if (&(g_DeviceChannels.*NODES[i].member) == &slot)
			return static_cast<int>(i);
	return -1;
}

std::mutex *SessionLockOf(Owner owner)
{
	switch (owner) {
	case Owner::KEYBOARD: return &g_KeyboardSessionLock;
	case Owner::KEYLOCK: return &g_KeylockSessionLock;
	case Owner::MSR: return &g_MsrSessionLock;
	case Owner::STATUS: break;
	}
	return nullptr;
}

const std::atomic<std::int32_t> &OpenFlagOf(Owner owner)
{
	switch (owner) {
	case Owner::KEYBOARD: return g_bKeyboardOpened;
	case Owner::KEYLOCK: return g_bKeylockOpened;
	default: return g_bMsrOpened;
	}
}

// Opens a data node anew into its slot, replacing the descriptor it holds
// (which may be dead), and sends it what the service had set up. A node
// that does not open is marked gone. The caller holds the session lock and
// the session is open.
bool OpenDataNode(std::size_t i)
{
	const NodeOfSlot &node = NODES[i];
	Slot &slot = g_DeviceChannels.*node.member;
	const int old = slot.exchange(-1);
	if (old > 0)
		::close(old);
	const int fd = OpenDeviceNode(node.path);
	if (fd <= 0) {
		g_ulGoneSlots.fetch_or(1u << i);
		return false;
	}
	slot.store(fd);
	if (node.owner == Owner::KEYBOARD)
		ResendKeyboardConfiguration(fd, node.attachment == 0);
	g_ulGoneSlots.fetch_and(~(1u << i));
	return true;
}

// A status node is back after it went away: the data nodes whose news it
// carries are opened anew, as their descriptors belong to the device that
// went (a real unplug takes every node of a device; where only the status
// node went, the reopen costs nothing but a close and an open).
void RenewDependents(std::size_t status)
{
	const std::uint32_t deps = DependentsOf(status);
	for (std::size_t i = 0; i < NODES.size(); ++i) {
		if ((deps & (1u << i)) == 0)
			continue;
		const NodeOfSlot &node = NODES[i];
		std::lock_guard lock(*SessionLockOf(node.owner));
		if (OpenFlagOf(node.owner).load() != 0 && (g_DeviceChannels.*node.member).load() > 0)
			(void)OpenDataNode(i);
	}
}

// Opens the node of a gone slot into the slot and sends it what the service
// had set up. Returns whether the node is back. A data node whose session
// closed meanwhile is only forgotten.
bool TryReopen(std::size_t i)
{
	const NodeOfSlot &node = NODES[i];
	Slot &slot = g_DeviceChannels.*node.member;
	const std::uint32_t bit = 1u << i;

	if (node.owner == Owner::STATUS) {
		const int fd = OpenDeviceNode(node.path);
		if (fd <= 0)
			return false;
		if (node.member == &DeviceChannels::fdUsbMsrStat) {
			// writeMSRConfig writes through this one under the MSR lock.
			std::lock_guard lock(g_MsrSessionLock);
			slot.store(fd);
			ResendMSRConfiguration(fd);
		} else {
			slot.store(fd);
		}
		g_ulGoneSlots.fetch_and(~bit);
		RenewDependents(i);
		return true;
	}

	std::lock_guard lock(*SessionLockOf(node.owner));
	if (OpenFlagOf(node.owner).load() == 0 || slot.load() > 0) {
		g_ulGoneSlots.fetch_and(~bit);
		return false;
	}
	return OpenDataNode(i);
}

} // namespace

bool DeviceGone(int err)
{
	return err == ENODEV || err == ENXIO || err == ESHUTDOWN;
}

bool DropIfGone(std::atomic<std::int32_t> &slot, int fd, int err)
{
	if (!DeviceGone(err) || fd <= 0 || slot.load() != fd)
		return false;
	const int i = IndexOfSlot(slot);
	slot.store(-1);
	::close(fd);
	if (i >= 0 && NODES[static_cast<std::size_t>(i)].path != nullptr)
		g_ulGoneSlots.fetch_or(1u << i);
	return true;
}

void RenewDependentsOf(const std::atomic<std::int32_t> &statusSlot)
{
	const int i = IndexOfSlot(statusSlot);
	if (i >= 0)
		RenewDependents(static_cast<std::size_t>(i));
}

std::uint32_t GoneBit(const std::atomic<std::int32_t> &slot)
{
	const int i = IndexOfSlot(slot);
	return i < 0 ? 0 : 1u << i;
}

void NoteOpenResult(std::atomic<std::int32_t> &slot)
{
	const int i = IndexOfSlot(slot);
	if (i < 0 || NODES[static_cast<std::size_t>(i)].path == nullptr)
		return;
	const std::uint32_t bit = 1u << i;
	if (slot.load() > 0) {
		g_ulSeenSlots.fetch_or(bit);
	} else if ((g_ulSeenSlots.load() & bit) != 0) {
		slot.store(-1);
		g_ulGoneSlots.fetch_or(bit);
	}
}

void ForgetGone(std::initializer_list<std::atomic<std::int32_t> *> slots)
{
	std::uint32_t mask = 0;
	for (const auto *slot : slots)
		mask |= GoneBit(*slot);
	g_ulGoneSlots.fetch_and(~mask);
}

void ReopenGoneNodes(ReopenSchedule &schedule, std::uint64_t cycle)
{
	const std::uint32_t gone = g_ulGoneSlots.load();
	if (gone == 0)
		return;
	bool back[2] = {false, false};
	std::uint32_t tried = 0;
	for (std::size_t i = 0; i < NODES.size(); ++i) {
		if ((gone & (1u << i)) == 0 || cycle < schedule.ulNextTry[i])
			continue;
		schedule.ulNextTry[i] = cycle + RETRY_CYCLES;
		tried |= 1u << i;
		if (TryReopen(i))
			back[NODES[i].attachment] = true;
	}
	// A node of an attachment is back: the attachment's other gone nodes
	// most likely came back with it.
	for (int a = 0; a < 2; ++a) {
		if (!back[a])
			continue;
		const std::uint32_t rest = g_ulGoneSlots.load() & ATTACHMENT_SLOTS[a] & ~tried;
		for (std::size_t i = 0; i < NODES.size(); ++i) {
			if ((rest & (1u << i)) == 0)
				continue;
			schedule.ulNextTry[i] = cycle + RETRY_CYCLES;
			(void)TryReopen(i);
		}
	}
}
