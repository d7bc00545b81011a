/*
 * Driver simulator: makes the device nodes of the PS/2 ("/dev/qkbd_*") and
 * USB ("/dev/trvposusb_*") keyboard drivers exist for an unmodified process,
 * by interposing open/read/write/close. Every other path is passed to libc.
 *
 * In-process tests link the simulator and drive it through this C API; other
 * processes (a JVM, hdrcfg, the demo) get it through LD_PRELOAD and a
 * scenario file named by TRVSIM_SCENARIO (see README).
 *
 * The simulator models the drivers: status nodes answer every read at once
 * with the current record, derived from what is queued on the data nodes;
 * data nodes deliver what is queued; writes are recorded per node.
 * All functions are thread-safe.
 */
#ifndef TRVSIM_H
#define TRVSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum trvsim_node {
	TRVSIM_PS2_STAT,      /* /dev/qkbd_stat          Ps2StatusRecord, 10 bytes */
	TRVSIM_PS2_KEYBOARD,  /* /dev/qkbd_keyboard      scan-code bytes; POS key table written */
	TRVSIM_PS2_KEYLOCK,   /* /dev/qkbd_keylock       1 position byte */
	TRVSIM_PS2_MSR1,      /* /dev/qkbd_msr1..3       track as set-1 scan codes */
	TRVSIM_PS2_MSR2,
	TRVSIM_PS2_MSR3,
	TRVSIM_USB_KBDSTAT,   /* /dev/trvposusb_kbdstat  UsbKbdStatusRecord, 2 bytes */
	TRVSIM_USB_MSRSTAT,   /* /dev/trvposusb_msrstat  UsbMsrStatusRecord, 8 bytes; header config written */
	TRVSIM_USB_KEYBOARD,  /* /dev/trvposusb_keyboard 32-bit key entries; POS key table written */
	TRVSIM_USB_KEYLOCK,   /* /dev/trvposusb_keylock  1 position byte */
	TRVSIM_USB_MSR1,      /* /dev/trvposusb_msr1..3  track bytes as stored */
	TRVSIM_USB_MSR2,
	TRVSIM_USB_MSR3,
	TRVSIM_NODE_COUNT
};

enum trvsim_attachment { TRVSIM_PS2 = 0, TRVSIM_USB = 1 };

/* Path of a node ("/dev/qkbd_stat", ...); NULL for a bad node. */
const char *trvsim_node_path(int node);
/* Node for a path, or -1 when the path is not a simulated node. */
int trvsim_node_of_path(const char *path);

/* Back to the state at start: every node present, nothing queued, keylock
 * positions 0, no faults, counters and write logs cleared. Descriptors that
 * are still open stay valid (and counted). */
void trvsim_reset(void);
/* A node that is absent fails to open with ENOENT. */
void trvsim_set_present(int node, int present);
/* Presence of every node at once. */
void trvsim_set_all_present(int present);

/* ---- Things that happen at the keyboard ---- */

/* Bytes typed on the PS/2 keyboard: queued on /dev/qkbd_keyboard; the PS/2
 * status reports uchKbdCount = queued bytes (at most 255). */
void trvsim_ps2_type(const uint8_t *bytes, size_t n);
/* Key entries typed on the USB keyboard: queued on /dev/trvposusb_keyboard;
 * the USB keyboard status reports uchKbdCount = queued entries (at most 255). */
void trvsim_usb_type(const uint32_t *entries, size_t n);
/* Keylock turned: the attachment's status reports the position and its
 * keylock node delivers it (low byte) on every read. */
void trvsim_set_keylock(int attachment, uint16_t position);
/* A card swiped: the track's bytes are queued on its track node and its
 * length is announced in the attachment's status until the track is read.
 * track is 1..3. Several swipes queue one behind the other. A read of the
 * track node delivers the front track (at most the size asked for) and
 * drops that track whole, as a driver that keeps no partly read track.
 * An empty track (n == 0) is not queued: it would announce nothing. */
void trvsim_swipe_track(int attachment, int track, const uint8_t *bytes, size_t n);

/* ---- Faults ---- */

/* Opening the node fails (EIO) while on. */
void trvsim_fail_open(int node, int on);
/* Opening the node fails with err (EACCES: a node the user may not open);
 * 0: opens work again. */
void trvsim_fail_open_errno(int node, int err);
/* What stat reports for the node: a character device with these permission
 * bits, owner and group (default 0660, uid 0, gid 0). The model does not
 * enforce them: pair them with trvsim_fail_open_errno for a refused open. */
void trvsim_set_perm(int node, unsigned mode, unsigned uid, unsigned gid);
/* The next count reads of the node fail with EIO (count < 0: all reads). */
void trvsim_fail_reads(int node, int count);
/* Reads of the node deliver at most max bytes (SIZE_MAX: no limit). */
void trvsim_short_reads(int node, size_t max);
/* Writes to the node accept at most max bytes (SIZE_MAX: no limit). */
void trvsim_short_writes(int node, size_t max);
/* The next count reads of a status node return exactly these n bytes
 * (n may be any length up to 64) instead of the current record. */
void trvsim_raw_status(int node, const uint8_t *bytes, size_t n, int count);
/* The attachment's status announces this length for the track whatever is
 * queued (e.g. 0xFFFF), until cleared with trvsim_clear_track_len. */
void trvsim_force_track_len(int attachment, int track, uint16_t length);
void trvsim_clear_track_len(int attachment, int track);
/* The node is unplugged (on) or plugged back in (off). While unplugged it
 * is absent (opens fail with ENOENT). Every descriptor open on it when it
 * goes stays dead until it is closed, also after the node is back: its
 * reads (counted, and held at the step gate like any other) and writes fail
 * with ENODEV. An open made after the node is back gives a live descriptor;
 * queued data stays in the driver meanwhile. */
void trvsim_unplug(int node, int on);

/* ---- Blocking I/O ---- */

/* While on, every read and write on the node stops on entry, before the
 * simulator has looked at its descriptor, and waits until the node is
 * released (on == 0, or trvsim_reset). A released call then looks at its
 * descriptor afresh: when the number was closed meanwhile and has been taken
 * by an ordinary file, the call reads or writes that file, as a process that
 * kept a stale number would. This holds a caller between loading a
 * descriptor and using it, for as long as a test needs. */
void trvsim_block_io(int node, int on);
/* Wait until at least count calls are held on the node; returns 1, or 0
 * after timeout_ms. */
int trvsim_wait_blocked(int node, int count, int timeout_ms);

/* ---- Inspection ---- */

/* Reads made on the node since the last reset (successful or not). */
long trvsim_reads(int node);
/* Simulated descriptors now open, on one node or (node < 0) on all. */
int trvsim_open_descriptors(int node);
/* Of those, the descriptors of the node that died with an unplug and are
 * not closed yet (counted in trvsim_open_descriptors too). */
int trvsim_dead_descriptors(int node);
/* Reads and writes, since the process started, on a descriptor that had
 * been closed while its number last belonged to a node (they fail with
 * EBADF): a use after close. */
long trvsim_closed_uses(void);
/* Number of writes made on the node since the last reset. The log keeps
 * the newest 256 of them (index 0 = the oldest kept). */
int trvsim_write_count(int node);
/* Copy of the index-th write (0 = oldest, -1 = newest) into buf; returns its
 * full length (which may exceed cap), or -1 when there is no such write. */
long trvsim_written(int node, int index, uint8_t *buf, size_t cap);
/* Items still queued on a data node (bytes, or entries on the USB keyboard). */
size_t trvsim_queued(int node);

/* ---- Polling cycles ---- */

/* Wait until the node has been read at least count times (since reset);
 * returns 1, or 0 after timeout_ms. */
int trvsim_wait_reads(int node, long count, int timeout_ms);
/* Step mode: while on, each read of the gate node blocks until a cycle is
 * released, so that a test advances the polling loop one cycle at a time.
 * Choose the first status node the loop reads in a cycle as the gate. */
void trvsim_step_mode(int gate_node, int on);
/* Release count cycles and return once the loop is blocked at the gate of
 * the cycle after them (1), or after timeout_ms (0; cycles not yet begun
 * are then withdrawn). trvsim_step(0, ...) only waits for the loop to
 * arrive at the gate. Leaving step mode (or trvsim_reset) releases the
 * loop; do so before stopping it, or step once more after the stop. */
int trvsim_step(int count, int timeout_ms);

/* ---- Scenarios (also read from the file named by TRVSIM_SCENARIO) ---- */

/* Exit status of a process whose TRVSIM_SCENARIO file cannot be read or
 * parsed, or whose TRVSIM_NODES is bad. The simulator first prints
 * "FILE:LINE: problem" (or "FILE: problem", "TRVSIM_NODES: problem") on
 * standard error. 97 is none of the statuses that test runners give a
 * meaning: not 1 or 2 (failed tests, usage), not 77 (skipped), not 99
 * (hard error of automake's harness), not 126/127 (cannot run) and below
 * 128 (killed by a signal, as a crash is). */
#define TRVSIM_EXIT_BAD_SCENARIO 97

/* Replaces the scenario with the one in text (format: sim/README.md); its
 * clock starts now. Returns 0, or -1 with a message naming the line in
 * error (nothing changes then). */
int trvsim_scenario_load(const char *text, char *error, size_t error_cap);
/* Actions of the scenario that have not fired yet. */
int trvsim_scenario_pending(void);
/* Fires the actions that are due now (as any call on a node does) and
 * returns the number still pending. */
int trvsim_scenario_poll(void);

#ifdef __cplusplus
}
#endif

#endif /* TRVSIM_H */
