// Internal interface between the simulator's parts: the libc interposers
// (trvsim_interpose.cpp), the driver model (trvsim_core.cpp) and the
// scenario player (trvsim_scenario.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trvsim {

// The libc functions behind the interposers, resolved lazily with
// dlsym(RTLD_NEXT). When a call arrives while the resolution itself is under
// way on the same thread, the raw system call is used instead.
namespace real {
int open(const char *path, int flags, mode_t mode);
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
int close(int fd);
} // namespace real

// Highest descriptor number (exclusive) that can carry a simulated node.
inline constexpr int kMaxFd = 1 << 16;

// Node of a simulated descriptor, or -1 for any other descriptor. Lock-free,
// so that calls on ordinary files cost one atomic load.
int node_of_fd(int fd);

// Driver side of the interposed calls. Each sets errno and returns -1 on
// failure, like the libc function.
int sim_open(int node, int flags);
ssize_t sim_read(int fd, void *buf, size_t n);
ssize_t sim_write(int fd, const void *buf, size_t n);
int sim_close(int fd);
// Counts a read or write of an ordinary descriptor that failed with EBADF
// while its number last belonged to a node (a use after close); returns
// result with errno kept.
ssize_t note_closed_use(int fd, ssize_t result);
// Records newfd, a copy of fd made with fcntl(F_DUPFD[_CLOEXEC]), as a
// descriptor of fd's node; nothing when fd is not a node.
void sim_dup(int fd, int newfd);

// Node names used in scenario files and TRVSIM_NODES: "ps2_stat",
// "usb_msr2", ...; the full path is accepted too. -1 when unknown.
int node_of_name(std::string_view name);
const char *node_name(int node);

// One scenario action, ready to play.
struct ScenarioAction {
	enum class Trigger { Ms, Reads } trigger = Trigger::Ms;
	int trigger_node = -1;  // for Reads
	long trigger_count = 0; // milliseconds or reads
	enum class Kind {
		Swipe, Type, Keylock, Present, FailOpen, FailReads, ShortReads,
		ShortWrites, RawStatus, ForceLen, ClearLen, Log, Exit
	} kind = Kind::Log;
	int attachment = 0;     // Swipe, Type, Keylock, ForceLen, ClearLen
	int track = 0;          // Swipe, ForceLen, ClearLen (1..3)
	std::vector<int> nodes; // Present, FailOpen, FailReads, ShortReads, ShortWrites, RawStatus
	long value = 0;         // position, flag, count, limit, length, exit status
	long count = 0;         // RawStatus: reads it applies to
	std::vector<std::uint8_t> bytes;     // Swipe, Type (PS/2), RawStatus
	std::vector<std::uint32_t> entries;  // Type (USB)
	std::string text;       // the source line, for the log
	int line = 0;
	bool fired = false;
};

// Parses a whole scenario; on error returns false with the problem in error
// and the number of the line in error_line. A "nodes" line sets nodes_list
// (empty when absent).
bool parse_scenario(std::string_view text, std::vector<ScenarioAction> &out,
		    std::string &nodes_list, std::string &error, int &error_line);

// Applies a presence list ("all", "none", "ps2", "usb" or a comma or
// blank separated list of node names) to present[]; false when it is bad.
bool parse_nodes_list(std::string_view nodes_list, bool present[], std::string &error);

} // namespace trvsim
