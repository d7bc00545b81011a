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
		return true;
	}

	std::lock_guard lock(*SessionLockOf(node.owner));
	if (OpenFlagOf(node.owner).load() == 0 || slot.load() > 0) {
		g_ulGoneSlots.fetch_and(~bit);
		return false;
	}
	const int fd = OpenDeviceNode(node.path);
	if (fd <= 0)
		return false;
	slot.store(fd);
	if (node.owner == Owner::KEYBOARD)
		ResendKeyboardConfiguration(fd, node.attachment == 0);
	g_ulGoneSlots.fetch_and(~bit);
	return true;
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

void DropAttachment(int attachment)
{
	for (std::size_t i = 0; i < NODES.size(); ++i) {
		const NodeOfSlot &node = NODES[i];
		if (node.attachment != attachment || node.path == nullptr)
			continue;
		Slot &slot = g_DeviceChannels.*node.member;
		std::mutex *lock = node.member == &DeviceChannels::fdUsbMsrStat ? &g_MsrSessionLock
										 : SessionLockOf(node.owner);
		std::unique_lock guard = lock != nullptr ? std::unique_lock(*lock) : std::unique_lock<std::mutex>();
		const int fd = slot.load();
		if (fd <= 0)
			continue;
		slot.store(-1);
		::close(fd);
		g_ulGoneSlots.fetch_or(1u << i);
	}
}

void ForgetGone(std::initializer_list<std::atomic<std::int32_t> *> slots)
{
	std::uint32_t mask = 0;
	for (const auto *slot : slots) {
		const int i = IndexOfSlot(*slot);
		if (i >= 0)
			mask |= 1u << i;
	}
	g_ulGoneSlots.fetch_and(~mask);
}

void ReopenGoneNodes(ReopenSchedule &schedule, std::uint64_t cycle)
{
	const std::uint32_t gone = g_ulGoneSlots.load();
	if (gone == 0)
		return;
	for (int a = 0; a < 2; ++a) {
		const std::uint32_t mine = gone & ATTACHMENT_SLOTS[a];
		if (mine == 0 || cycle < schedule.ulNextTry[a])
			continue;
		schedule.ulNextTry[a] = cycle + RETRY_CYCLES;

		// One probe: the attachment's gone status nodes first, then its
		// data nodes, taking turns from one try to the next.
		std::array<std::size_t, 8> order{};
		std::size_t n = 0;
		for (const bool status : {true, false})
			for (std::size_t i = 0; i < NODES.size(); ++i)
				if ((mine & (1u << i)) != 0 && (NODES[i].owner == Owner::STATUS) == status)
					order[n++] = i;
		const std::size_t probe = order[schedule.uNextProbe[a]++ % n];
		if (!TryReopen(probe))
			continue;
		// The attachment is back: its other nodes come back with it.
		for (std::size_t k = 0; k < n; ++k)
			if (order[k] != probe)
				(void)TryReopen(order[k]);
	}
}
