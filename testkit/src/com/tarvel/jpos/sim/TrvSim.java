package com.tarvel.jpos.sim;

import java.nio.charset.StandardCharsets;

/**
 * The driver simulator, driven from Java: tests of a JavaPOS service built on
 * {@link com.tarvel.jpos.ServiceLayer} without the keyboard or its drivers.
 *
 * <p>The simulator, {@code libtrvsim.so}, makes the sixteen device nodes of the
 * PS/2 ({@code /dev/qkbd_*}) and USB ({@code /dev/trvposusb_*}) drivers exist
 * for the JVM that it is preloaded into, and models the drivers behind them:
 * status nodes report what is queued, data nodes deliver it, writes are
 * recorded. It must be preloaded, as only then does it see the calls of
 * {@code libnativelayer.so}:
 *
 * <pre>
 * LD_PRELOAD=/usr/lib/x86_64-linux-gnu/tarvel-pos/libtrvsim.so java --enable-native-access=ALL-UNNAMED ...
 * </pre>
 *
 * Without it, the first use of this class fails with an
 * {@link ExceptionInInitializerError} whose cause, an
 * {@link IllegalStateException}, says how to preload it; every later use in
 * that JVM then fails with {@link NoClassDefFoundError}.
 *
 * <p>The simulator's state is process-wide, like the library's: one JVM is
 * one keyboard. Call {@link #reset()} before each test (every node present,
 * nothing queued, no faults, counters and write logs cleared), and run the
 * tests of one JVM one after the other. All methods are thread-safe.
 *
 * <p>Time is best counted in polling cycles: either let the loop run and wait
 * for reads of a status node ({@link #waitReads}), or put the loop in step
 * mode and advance it cycle by cycle ({@link #stepMode}, {@link #step(int)}).
 * A cycle of the library's loop reads each status node it has opened once, in
 * the order {@link Node#PS2_STAT}, {@link Node#USB_KBDSTAT},
 * {@link Node#USB_MSRSTAT}.
 */
public final class TrvSim {
    /**
     * Exit status of a JVM whose scenario file ({@code TRVSIM_SCENARIO}) cannot
     * be read or parsed, or whose {@code TRVSIM_NODES} is bad: 97. Before it
     * exits, the simulator prints {@code FILE:LINE: problem} on standard error.
     * No test runner gives 97 a meaning of its own (failed tests are 1, a
     * skipped test 77, a crash 128 and above).
     */
    public static final int EXIT_BAD_SCENARIO = 97;

    /** Default time limit of {@link #step(int)} and {@link #awaitReads}, in ms. */
    public static final int TIMEOUT_MS = 5000;

    /** The keyboard's two attachments. */
    public enum Attachment {
        /** The PS/2 attachment: nodes {@code /dev/qkbd_*}. */
        PS2,
        /** The USB attachment: nodes {@code /dev/trvposusb_*}. */
        USB
    }

    /** The simulated device nodes, in the simulator's numbering. */
    public enum Node {
        /** Combined PS/2 status: keylock, key count, track lengths. */
        PS2_STAT("/dev/qkbd_stat"),
        /** PS/2 key data (scan-code bytes); the PS/2 POS key table is written here. */
        PS2_KEYBOARD("/dev/qkbd_keyboard"),
        /** PS/2 keylock position byte. */
        PS2_KEYLOCK("/dev/qkbd_keylock"),
        /** PS/2 track 1, as scan codes. */
        PS2_MSR1("/dev/qkbd_msr1"),
        /** PS/2 track 2, as scan codes. */
        PS2_MSR2("/dev/qkbd_msr2"),
        /** PS/2 track 3, as scan codes. */
        PS2_MSR3("/dev/qkbd_msr3"),
        /** USB keyboard status: the count of queued key entries. */
        USB_KBDSTAT("/dev/trvposusb_kbdstat"),
        /** USB MSR status: track lengths and keylock; the MSR header record is written here. */
        USB_MSRSTAT("/dev/trvposusb_msrstat"),
        /** USB key data (32-bit entries); the USB POS key table is written here. */
        USB_KEYBOARD("/dev/trvposusb_keyboard"),
        /** USB keylock position byte. */
        USB_KEYLOCK("/dev/trvposusb_keylock"),
        /** USB track 1, bytes as stored. */
        USB_MSR1("/dev/trvposusb_msr1"),
        /** USB track 2, bytes as stored. */
        USB_MSR2("/dev/trvposusb_msr2"),
        /** USB track 3, bytes as stored. */
        USB_MSR3("/dev/trvposusb_msr3");

        private final String path;

        Node(String path) {
            this.path = path;
        }

        /** The node's path, e.g. {@code "/dev/qkbd_stat"}. */
        public String path() {
            return path;
        }

        /** Whether the node is one of the three status nodes that polling reads. */
        public boolean isStatus() {
            return this == PS2_STAT || this == USB_KBDSTAT || this == USB_MSRSTAT;
        }

        /** The attachment the node belongs to. */
        public Attachment attachment() {
            return ordinal() < USB_KBDSTAT.ordinal() ? Attachment.PS2 : Attachment.USB;
        }
    }

    static {
        System.loadLibrary("trvsimjni");
        if (!preloaded()) {
            throw new IllegalStateException("the driver simulator libtrvsim.so is not preloaded into this JVM:"
                    + " start java with LD_PRELOAD=/usr/lib/x86_64-linux-gnu/tarvel-pos/libtrvsim.so"
                    + " (or the libtrvsim.so of a build tree)");
        }
    }

    private TrvSim() {
    }

    // ---- State ----------------------------------------------------------

    /**
     * Back to the start: every node present, nothing queued, keylock
     * positions 0, no faults, step mode off, read counters and write logs
     * cleared. Descriptors that the library holds stay valid.
     */
    public static native void reset();

    /** Makes a node exist or vanish; an absent node fails to open (ENOENT). */
    public static void setPresent(Node node, boolean present) {
        nSetPresent(node.ordinal(), present);
    }

    /** Makes every node of one attachment exist or vanish. */
    public static void setPresent(Attachment attachment, boolean present) {
        for (Node n : Node.values()) {
            if (n.attachment() == attachment) {
                setPresent(n, present);
            }
        }
    }

    // ---- What happens at the keyboard -----------------------------------

    /**
     * Keys typed on the PS/2 keyboard: scan-code bytes of set 1 (make and
     * break codes, e.g. {@code 0x1E, 0x9E} for "a" pressed and released),
     * queued on {@code /dev/qkbd_keyboard}. Each byte reaches the service as
     * one key entry.
     */
    public static void typePs2(int... scanCodes) {
        byte[] b = new byte[scanCodes.length];
        for (int i = 0; i < b.length; i++) {
            b[i] = (byte) scanCodes[i];
        }
        nTypePs2(b);
    }

    /**
     * Key entries typed on the USB keyboard: 32-bit values as the USB driver
     * delivers them, queued on {@code /dev/trvposusb_keyboard}; each reaches
     * the service unchanged as one key entry.
     */
    public static void typeUsb(int... entries) {
        nTypeUsb(entries);
    }

    /**
     * Turns the keylock: the attachment's status reports the position (0 to
     * 0xFFFF; 0 means none) and its keylock node delivers the low byte. The
     * library reports a change to a non-zero position.
     */
    public static void turnKeylock(Attachment attachment, int position) {
        nSetKeylock(attachment.ordinal(), position);
    }

    /**
     * Swipes one track: its bytes are queued on the track node (1 to 3) and
     * its length announced until the library reads it. On USB the bytes reach
     * the service as they are; on PS/2 they are set-1 scan codes that the
     * library turns into text. Several swipes queue one behind the other; an
     * empty track is not queued.
     */
    public static void swipeTrack(Attachment attachment, int track, byte[] bytes) {
        nSwipeTrack(attachment.ordinal(), track, bytes);
    }

    /**
     * Swipes a card: tracks 1, 2 and 3 in this order (a null or missing track
     * is left out). Without a track 3 the library reports the swipe about
     * 250 ms (five cycles) after the last track arrived, with one at once.
     */
    public static void swipe(Attachment attachment, byte[]... tracks) {
        for (int i = 0; i < tracks.length && i < 3; i++) {
            if (tracks[i] != null) {
                swipeTrack(attachment, i + 1, tracks[i]);
            }
        }
    }

    /** The bytes of an ASCII text, for USB tracks: {@code ascii(";4111=2512?")}. */
    public static byte[] ascii(String text) {
        return text.getBytes(StandardCharsets.US_ASCII);
    }

    // ---- Faults ---------------------------------------------------------

    /** While on, opening the node fails with EIO. */
    public static void failOpen(Node node, boolean on) {
        nFailOpen(node.ordinal(), on);
    }

    /** The next {@code count} reads of the node fail with EIO; -1: all, 0: none. */
    public static void failReads(Node node, int count) {
        nFailReads(node.ordinal(), count);
    }

    /**
     * Reads of the node deliver at most {@code max} bytes; -1 lifts the limit.
     * A short status read makes the library skip that status for the cycle.
     */
    public static void shortReads(Node node, int max) {
        nShortReads(node.ordinal(), max);
    }

    /** Writes to the node accept at most {@code max} bytes; -1 lifts the limit. */
    public static void shortWrites(Node node, int max) {
        nShortWrites(node.ordinal(), max);
    }

    /**
     * The next {@code count} reads (-1: all) of a status node return exactly
     * these bytes (at most 64) instead of the current record.
     */
    public static void rawStatus(Node node, byte[] bytes, int count) {
        nRawStatus(node.ordinal(), bytes, count);
    }

    /**
     * The attachment's status announces this length for the track (1 to 3)
     * whatever is queued, e.g. 0xFFFF (no usable data); -1 ends it.
     */
    public static void forceTrackLength(Attachment attachment, int track, int length) {
        nTrackLength(attachment.ordinal(), track, length);
    }

    /**
     * Unplugs the node (true) or plugs it back in (false). While unplugged it
     * is absent; the descriptors open on it when it went stay dead (reads and
     * writes fail with ENODEV) until closed, also once it is back. Queued data
     * stays in the driver. The library reopens a node that came back by
     * itself.
     */
    public static void unplug(Node node, boolean unplugged) {
        nUnplug(node.ordinal(), unplugged);
    }

    /** Unplugs (true) or plugs back (false) every node of an attachment. */
    public static void unplug(Attachment attachment, boolean unplugged) {
        for (Node n : Node.values()) {
            if (n.attachment() == attachment) {
                unplug(n, unplugged);
            }
        }
    }

    // ---- What the library did -------------------------------------------

    /** Reads made on the node since the last reset, failed ones included. */
    public static long reads(Node node) {
        return nReads(node.ordinal());
    }

    /** Descriptors now open on the node. */
    public static int openDescriptors(Node node) {
        return nOpenDescriptors(node.ordinal());
    }

    /** Descriptors now open on all simulated nodes. */
    public static int openDescriptors() {
        return nOpenDescriptors(-1);
    }

    /** Items still queued on a data node: bytes, or entries on the USB keyboard. */
    public static long queued(Node node) {
        return nQueued(node.ordinal());
    }

    /** Writes made on the node since the last reset. */
    public static int writeCount(Node node) {
        return nWriteCount(node.ordinal());
    }

    /**
     * The bytes of one write on the node: index 0 is the oldest kept (the
     * newest 256 are kept), -1 the newest; null when there is no such write.
     */
    public static byte[] written(Node node, int index) {
        return nWritten(node.ordinal(), index);
    }

    /** The newest write on the node, or null. */
    public static byte[] lastWritten(Node node) {
        return written(node, -1);
    }

    /**
     * The PS/2 POS key table that the library wrote last to
     * {@code /dev/qkbd_keyboard}: 385 bytes, non-zero at 0..127 for a plain
     * set-1 code, 128 + code for an E0 code, 256 + code for an E1 code; null
     * when none was written. All zeros after {@code closeKeyBoard}.
     */
    public static byte[] ps2PosKeyTable() {
        return lastWritten(Node.PS2_KEYBOARD);
    }

    /**
     * The USB POS key table that the library wrote last to
     * {@code /dev/trvposusb_keyboard}, as its 512 unsigned 16-bit entries: the
     * POS key value at a key's HID usage; entry 256 holds a combination key's
     * usage and 256 + usage the value of the key with it. Null when none was
     * written.
     */
    public static int[] usbPosKeyTable() {
        byte[] b = lastWritten(Node.USB_KEYBOARD);
        if (b == null) {
            return null;
        }
        int[] table = new int[b.length / 2];
        for (int i = 0; i < table.length; i++) {
            table[i] = (b[2 * i] & 0xff) | (b[2 * i + 1] & 0xff) << 8;
        }
        return table;
    }

    /**
     * The MSR header record that the library wrote last to
     * {@code /dev/trvposusb_msrstat} ({@code writeMSRConfig}): the command
     * byte, then modifier and key usage of GH, GT, H1, T1, H2, T2, H3, T3;
     * null when none was written.
     */
    public static byte[] msrHeaderRecord() {
        return lastWritten(Node.USB_MSRSTAT);
    }

    // ---- Polling cycles -------------------------------------------------

    /**
     * Waits until the node has been read at least {@code count} times since
     * the last reset; false after {@code timeoutMs}.
     */
    public static boolean waitReads(Node node, long count, int timeoutMs) {
        return nWaitReads(node.ordinal(), count, timeoutMs);
    }

    /**
     * Waits until a freely running loop has read the status node
     * {@code cycles} more times (each cycle reads it once); throws
     * {@link IllegalStateException} after {@link #TIMEOUT_MS}.
     */
    public static void awaitReads(Node statusNode, int cycles) {
        long want = reads(statusNode) + cycles;
        if (!waitReads(statusNode, want, TIMEOUT_MS)) {
            throw new IllegalStateException(statusNode.path() + " was not read " + cycles
                    + " more time(s) within " + TIMEOUT_MS + " ms: is polling running?");
        }
    }

    /**
     * Step mode: while on, each read of the gate node waits until a cycle is
     * released with {@link #step(int)}, so that the polling loop runs one
     * cycle at a time. The gate must be the first status node the loop reads:
     * {@link Node#PS2_STAT} when it is present, else {@link Node#USB_KBDSTAT},
     * else {@link Node#USB_MSRSTAT}. Turn step mode off before stopping the
     * loop (or step once more after the stop): a loop held at the gate cannot
     * see the stop.
     */
    public static void stepMode(Node gate, boolean on) {
        nStepMode(gate.ordinal(), on);
    }

    /**
     * Releases {@code cycles} cycles and returns once the loop is held at the
     * gate of the cycle after them; {@code step(0)} only waits until the loop
     * arrives at the gate. False after {@code timeoutMs} (cycles not begun by
     * then are withdrawn).
     */
    public static boolean step(int cycles, int timeoutMs) {
        return nStep(cycles, timeoutMs);
    }

    /**
     * As {@link #step(int, int)} with {@link #TIMEOUT_MS}, throwing
     * {@link IllegalStateException} when the loop does not come round.
     */
    public static void step(int cycles) {
        if (!step(cycles, TIMEOUT_MS)) {
            throw new IllegalStateException("the polling loop did not come round " + cycles
                    + " cycle(s) within " + TIMEOUT_MS + " ms: is it polling, and in step mode?");
        }
    }

    // ---- Scenarios ------------------------------------------------------

    /**
     * Replaces the scenario with this text (the format of scenario files,
     * e.g. {@code "at reads usb_msrstat 5 swipe usb 2 \";4111=2512?\"\n"});
     * its clock starts now.
     *
     * @throws IllegalArgumentException naming the line in error; nothing
     *         changes then
     */
    public static void loadScenario(String text) {
        String error = nLoadScenario(text);
        if (error != null) {
            throw new IllegalArgumentException("scenario " + error);
        }
    }

    /** Actions of the scenario that have not fired yet. */
    public static native int scenarioPending();

    // ---- Native half (libtrvsimjni.so) ----------------------------------

    private static native boolean preloaded();
    private static native void nSetPresent(int node, boolean present);
    private static native void nTypePs2(byte[] bytes);
    private static native void nTypeUsb(int[] entries);
    private static native void nSetKeylock(int attachment, int position);
    private static native void nSwipeTrack(int attachment, int track, byte[] bytes);
    private static native void nFailOpen(int node, boolean on);
    private static native void nFailReads(int node, int count);
    private static native void nShortReads(int node, int max);
    private static native void nShortWrites(int node, int max);
    private static native void nRawStatus(int node, byte[] bytes, int count);
    private static native void nTrackLength(int attachment, int track, int length);
    private static native void nUnplug(int node, boolean on);
    private static native long nReads(int node);
    private static native int nOpenDescriptors(int node);
    private static native long nQueued(int node);
    private static native int nWriteCount(int node);
    private static native byte[] nWritten(int node, int index);
    private static native boolean nWaitReads(int node, long count, int timeoutMs);
    private static native void nStepMode(int gate, boolean on);
    private static native boolean nStep(int cycles, int timeoutMs);
    private static native String nLoadScenario(String text);
}
