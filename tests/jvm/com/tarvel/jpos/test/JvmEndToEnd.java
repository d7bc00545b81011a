package com.tarvel.jpos.test;

import com.tarvel.jpos.ServiceLayer;
import com.tarvel.jpos.sim.TrvSim;
import com.tarvel.jpos.sim.TrvSim.Attachment;
import com.tarvel.jpos.sim.TrvSim.Node;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

/**
 * End-to-end cases of libnativelayer.so in a real JVM, on the preloaded
 * driver simulator. One case per JVM (the library and the simulator keep
 * process-global state): {@code JvmEndToEnd <case>}. Exit status 0 when the
 * case passes; the CTest wrapper also fails on any -Xcheck:jni complaint.
 *
 * Most cases run the polling loop in the simulator's step mode, so that each
 * check counts polling cycles instead of waiting for time to pass.
 */
public final class JvmEndToEnd {
    private static final int TIMEOUT_MS = 5000;

    /** Data nodes: what a session opens and must close again. */
    static final Node[] DATA_NODES = {
        Node.PS2_KEYBOARD, Node.PS2_KEYLOCK, Node.PS2_MSR1, Node.PS2_MSR2, Node.PS2_MSR3,
        Node.USB_KEYBOARD, Node.USB_KEYLOCK, Node.USB_MSR1, Node.USB_MSR2, Node.USB_MSR3,
    };

    /** A service that records every callback and fetches the data in it. */
    static class Recorder extends ServiceLayer {
        final List<Integer> keys = Collections.synchronizedList(new ArrayList<>());
        final List<byte[]> keylockBytes = Collections.synchronizedList(new ArrayList<>());
        final List<byte[][]> swipes = Collections.synchronizedList(new ArrayList<>());
        final AtomicInteger kbdCalls = new AtomicInteger();
        final AtomicInteger klkCalls = new AtomicInteger();
        final AtomicInteger msrCalls = new AtomicInteger();
        final AtomicInteger foreignThreadCalls = new AtomicInteger();
        final AtomicBoolean throwInCallbacks = new AtomicBoolean();
        final AtomicBoolean fetchKeys = new AtomicBoolean(true);
        final AtomicReference<Throwable> escaped = new AtomicReference<>();
        volatile Thread pollingThread;

        private void enter() {
            if (Thread.currentThread() != pollingThread) {
                foreignThreadCalls.incrementAndGet();
            }
        }

        private void maybeThrow(String what) {
            if (throwInCallbacks.get()) {
                throw new IllegalStateException("callback " + what + " fails on purpose");
            }
        }

        @Override
        protected void kbdDataOccurred() {
            enter();
            kbdCalls.incrementAndGet();
            if (fetchKeys.get()) {
                for (int k : getKbdData()) {
                    keys.add(k);
                }
            }
            maybeThrow("kbd");
        }

        @Override
        protected void klkDataOccurred() {
            enter();
            klkCalls.incrementAndGet();
            keylockBytes.add(getKeyLockData());
            maybeThrow("klk");
        }

        @Override
        protected void msrDataOccurred() {
            enter();
            msrCalls.incrementAndGet();
            swipes.add(new byte[][] {
                getMsrTrack1Data(), getMsrTrack2Data(), getMsrTrack3Data(), getMsrTrack4Data(),
            });
            maybeThrow("msr");
        }
    }

    // ---- Checks ---------------------------------------------------------

    static void expect(boolean ok, String what) {
        if (!ok) {
            throw new AssertionError(what);
        }
    }

    static void expectEq(long want, long got, String what) {
        expect(want == got, what + ": want " + want + ", got " + got);
    }

    static void expectBytes(byte[] want, byte[] got, String what) {
        expect(Arrays.equals(want, got), what + ": want " + hex(want) + ", got " + hex(got));
    }

    static String hex(byte[] b) {
        if (b == null) {
            return "null";
        }
        StringBuilder s = new StringBuilder("[");
        for (byte x : b) {
            s.append(String.format(" %02x", x & 0xff));
        }
        return s.append(" ]").toString();
    }

    static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    static byte[] bytes(int... v) {
        byte[] b = new byte[v.length];
        for (int i = 0; i < v.length; i++) {
            b[i] = (byte) v[i];
        }
        return b;
    }

    static void step(int cycles) {
        expect(TrvSim.step(cycles, TIMEOUT_MS), "polling loop did not come round " + cycles + " cycle(s)");
    }

    // ---- Setting up and tearing down ------------------------------------

    /** Starts polling on a thread of its own, in step mode, and waits for the first cycle. */
    static Thread startStepped(Recorder s) {
        TrvSim.stepMode(Node.PS2_STAT, true);
        Thread t = startThread(s);
        step(0);
        return t;
    }

    static Thread startThread(Recorder s) {
        Thread t = new Thread(s::startPolling, "polling");
        t.setDaemon(true);
        s.pollingThread = t;
        t.setUncaughtExceptionHandler((th, e) -> s.escaped.set(e));
        t.start();
        return t;
    }

    static void openAll(ServiceLayer s) {
        expectEq(ServiceLayer.OPENED, s.openKeyBoard("keyboard"), "openKeyBoard");
        expectEq(0, s.claimKeyboard(), "claimKeyboard");
        expectEq(ServiceLayer.OPENED, s.openMSR("msr"), "openMSR");
        expectEq(0, s.claimMSR(), "claimMSR");
        expectEq(ServiceLayer.OPENED, s.openKeyLock("keylock"), "openKeyLock");
    }

    /** Closes everything, stops polling and checks that no data node stays open. */
    static void closeAllAndStop(Recorder s, Thread polling) throws InterruptedException {
        expectEq(0, s.releaseKeyboard(), "releaseKeyboard");
        expectEq(0, s.releaseMSR(), "releaseMSR");
        s.closeKeyBoard();
        s.closeMSR();
        expectEq(0, s.closeKeyLock(), "closeKeyLock");
        stop(s, polling);
        for (Node node : DATA_NODES) {
            expectEq(0, TrvSim.openDescriptors(node), "descriptors left open on node " + node);
        }
    }

    static void stop(Recorder s, Thread polling) throws InterruptedException {
        TrvSim.stepMode(Node.PS2_STAT, false);
        s.stopPolling();
        polling.join(TIMEOUT_MS);
        expect(!polling.isAlive(), "startPolling did not return after stopPolling");
        expect(s.escaped.get() == null, "exception escaped from startPolling: " + s.escaped.get());
    }

    static void expectNothingLeftQueued() {
        for (Node node : DATA_NODES) {
            expectEq(0, TrvSim.queued(node), "data left queued on node " + node);
        }
    }

    static void expectOnPollingThread(Recorder s) {
        expectEq(0, s.foreignThreadCalls.get(), "callbacks made on another thread than the polling one");
    }

    // ---- Cases ------------------------------------------------------------

    /** Keys typed on both attachments reach getKbdData once each, in order, with their values. */
    static void keyboard() throws Exception {
        Recorder s = new Recorder();
        Thread polling = startStepped(s);
        openAll(s);

        int[] usb = {0x00000004, 0x00020005, 0x7fff0102, 0xffffffff};
        TrvSim.typeUsb(usb);
        step(1);
        expectEq(1, s.kbdCalls.get(), "callbacks after a USB batch");
        expect(s.keys.equals(boxed(usb)), "USB entries: want " + boxed(usb) + ", got " + s.keys);

        // PS/2 scan-code bytes each arrive as one entry.
        s.keys.clear();
        TrvSim.typePs2(0x1E, 0x9E, 0xE0, 0x1C, 0xE0, 0x9C);
        step(1);
        expectEq(2, s.kbdCalls.get(), "callbacks after a PS/2 batch");
        expect(s.keys.equals(List.of(0x1E, 0x9E, 0xE0, 0x1C, 0xE0, 0x9C)), "PS/2 entries: got " + s.keys);

        // Nothing new: no callback, and the pending entries were consumed.
        step(3);
        expectEq(2, s.kbdCalls.get(), "callbacks without new keys");
        expectEq(0, s.getKbdData().length, "entries left after the callback fetched them");

        // Entries the callback leaves pending survive clearKeyBoardInput.
        s.fetchKeys.set(false);
        TrvSim.typeUsb(new int[] {9, 10});
        step(1);
        expectEq(3, s.kbdCalls.get(), "callbacks after a batch left pending");
        s.clearKeyBoardInput();
        expect(boxed(s.getKbdData()).equals(List.of(9, 10)), "entries pending across clearKeyBoardInput");
        expectNothingLeftQueued();
        expectOnPollingThread(s);
        closeAllAndStop(s, polling);
    }

    /** Keylock turned on both attachments: one callback per change, with the position byte. */
    static void keylock() throws Exception {
        Recorder s = new Recorder();
        Thread polling = startStepped(s);
        openAll(s);

        TrvSim.turnKeylock(Attachment.USB, 2);
        step(1);
        expectEq(1, s.klkCalls.get(), "callbacks after the USB keylock moved to 2");
        expectBytes(bytes(2), s.keylockBytes.get(0), "USB keylock data");

        step(2);
        expectEq(1, s.klkCalls.get(), "callbacks while the position stays");

        TrvSim.turnKeylock(Attachment.PS2, 3);
        step(1);
        expectEq(2, s.klkCalls.get(), "callbacks after the PS/2 keylock moved to 3");
        expectBytes(bytes(3), s.keylockBytes.get(1), "PS/2 keylock data");

        // On demand, the USB keylock is asked first.
        expectEq(2, s.getKeyLockPosition(), "getKeyLockPosition");
        expectEq(0, s.getPositionCount(), "getPositionCount");

        TrvSim.turnKeylock(Attachment.USB, 4);
        step(1);
        expectEq(3, s.klkCalls.get(), "callbacks after the USB keylock moved to 4");
        expectBytes(bytes(4), s.keylockBytes.get(2), "USB keylock data");
        expectBytes(bytes(4), s.getKeyLockData(), "getKeyLockData does not consume the byte");

        expectOnPollingThread(s);
        closeAllAndStop(s, polling);
    }

    /** Swipes on both attachments: tracks 1+2 once after the wait, track 3 at once, bytes intact. */
    static void msr() throws Exception {
        Recorder s = new Recorder();
        Thread polling = startStepped(s);
        openAll(s);

        // USB, tracks 1 and 2 only: reported in the sixth cycle, not before, and once.
        byte[] t1 = ascii("%B4111111111111111^CARD/TEST^29121010000000000000?");
        byte[] t2 = ascii(";4111111111111111=29121010000000000?");
        TrvSim.swipeTrack(Attachment.USB, 1, t1);
        TrvSim.swipeTrack(Attachment.USB, 2, t2);
        step(5);
        expectEq(0, s.msrCalls.get(), "swipe reported before the wait for track 3 ran out");
        step(1);
        expectEq(1, s.msrCalls.get(), "swipe of tracks 1+2 after the wait");
        step(5);
        expectEq(1, s.msrCalls.get(), "swipe of tracks 1+2 reported again");
        byte[][] sw = s.swipes.get(0);
        expectBytes(t1, sw[0], "USB track 1");
        expectBytes(t2, sw[1], "USB track 2");
        expectEq(0, sw[2].length, "USB track 3 of a two-track swipe");
        expectEq(0, sw[3].length, "track 4");

        // USB, all three tracks (track 3 carries every kind of byte): reported at once.
        byte[] t3 = new byte[255];
        for (int i = 0; i < t3.length; i++) {
            t3[i] = (byte) (255 - i);
        }
        byte[] t1b = ascii("%B5500000000000004^SECOND/CARD^3001?");
        byte[] t2b = ascii(";5500000000000004=3001?");
        TrvSim.swipeTrack(Attachment.USB, 1, t1b);
        TrvSim.swipeTrack(Attachment.USB, 2, t2b);
        TrvSim.swipeTrack(Attachment.USB, 3, t3);
        step(1);
        expectEq(2, s.msrCalls.get(), "three-track swipe reported in the cycle that read track 3");
        sw = s.swipes.get(1);
        expectBytes(t1b, sw[0], "USB track 1 of the three-track swipe");
        expectBytes(t2b, sw[1], "USB track 2 of the three-track swipe");
        expectBytes(t3, sw[2], "USB track 3");

        // PS/2: scan codes (Shift held over "b", digits) arrive as framed text.
        TrvSim.swipeTrack(Attachment.PS2, 1, bytes(0x2A, 0x30, 0xB0, 0xAA, 0x02, 0x82, 0x03, 0x83));
        TrvSim.swipeTrack(Attachment.PS2, 2, bytes(0x06, 0x86, 0x07, 0x87));
        TrvSim.swipeTrack(Attachment.PS2, 3, bytes(0x0A, 0x8A, 0x0B, 0x8B));
        step(1);
        expectEq(3, s.msrCalls.get(), "PS/2 three-track swipe reported at once");
        sw = s.swipes.get(2);
        expectBytes(bytes(0x00, '%', 'B', '1', '2', '?'), sw[0], "PS/2 track 1");
        expectBytes(bytes(0x00, ';', '5', '6', '?'), sw[1], "PS/2 track 2");
        expectBytes(bytes(0x00, ';', '9', '0', '?'), sw[2], "PS/2 track 3");

        step(6);
        expectEq(3, s.msrCalls.get(), "callbacks after the last swipe");
        expectEq(3, s.swipes.size(), "swipes fetched");
        expectEq(0, s.getMsrTrack1Data().length, "track 1 after it was fetched");
        expectNothingLeftQueued();
        expectOnPollingThread(s);
        closeAllAndStop(s, polling);
    }

    /** POS keys declared and sent; the MSR header written from ./trvpos.ini; empty tables on close. */
    static void config() throws Exception {
        Recorder s = new Recorder();
        Thread polling = startStepped(s);
        openAll(s);

        expectEq(0, s.setposkey(0, new int[] {7, 0, 0, 0x1E, 0}), "setposkey a alone");
        expectEq(0, s.setposkey(0, new int[] {0x1234, 0, 0, 0xE01C, 0}), "setposkey keypad Enter");
        expectEq(0, s.setposkey(0, new int[] {9, 0x1D, 0, 0x30, 0}), "setposkey Ctrl+b");
        expectEq(-1, s.setposkey(0, new int[] {1, 0, 0, 0x1F}), "setposkey with four elements");
        expectEq(0, s.writeKeyboardConfig(), "writeKeyboardConfig");

        byte[] ps2 = TrvSim.written(Node.PS2_KEYBOARD, -1);
        byte[] wantPs2 = new byte[385];
        wantPs2[0x1E] = 1;
        wantPs2[128 + 0x1C] = 1;
        expectBytes(wantPs2, ps2, "PS/2 POS key table");

        byte[] usb = TrvSim.written(Node.USB_KEYBOARD, -1);
        byte[] wantUsb = new byte[1024];
        putLe16(wantUsb, 4, 7);          // a
        putLe16(wantUsb, 88, 0x1234);    // keypad Enter
        putLe16(wantUsb, 256, 224);      // combination key: left Control
        putLe16(wantUsb, 256 + 5, 9);    // b with it
        expectBytes(wantUsb, usb, "USB POS key table");

        // Header and trailer keys of ./trvpos.ini behind the command byte.
        expectEq(0, s.writeMSRConfig(0, bytes(0x10)), "writeMSRConfig");
        expectBytes(bytes(0x10, 0x00, 0x00, 0x00, 0x28, 0xE1, 0x22, 0xE1, 0x38,
                          0x00, 0x33, 0xE1, 0x38, 0x00, 0x33, 0xE1, 0x38),
                    TrvSim.written(Node.USB_MSRSTAT, -1), "MSR header record");
        expectEq(-1, s.writeMSRConfig(0, new byte[0]), "writeMSRConfig of an empty array");
        expectEq(1, TrvSim.writeCount(Node.USB_MSRSTAT), "writes on the MSR status node");

        // Closing the keyboard sends empty tables before it closes the nodes.
        int ps2Writes = TrvSim.writeCount(Node.PS2_KEYBOARD);
        int usbWrites = TrvSim.writeCount(Node.USB_KEYBOARD);
        expectEq(0, s.releaseKeyboard(), "releaseKeyboard");
        s.closeKeyBoard();
        expectEq(ps2Writes + 1, TrvSim.writeCount(Node.PS2_KEYBOARD), "PS/2 writes at close");
        expectEq(usbWrites + 1, TrvSim.writeCount(Node.USB_KEYBOARD), "USB writes at close");
        expectBytes(new byte[385], TrvSim.written(Node.PS2_KEYBOARD, -1), "PS/2 table at close");
        expectBytes(new byte[1024], TrvSim.written(Node.USB_KEYBOARD, -1), "USB table at close");
        expectEq(-1, s.writeKeyboardConfig(), "writeKeyboardConfig with the keyboard closed");

        expectEq(ServiceLayer.OPENED, s.openKeyBoard("keyboard"), "reopen keyboard");
        expectEq(0, s.claimKeyboard(), "claim after release and reopen");
        closeAllAndStop(s, polling);
    }

    /** Every session method in the expected order; the constant methods; a second polling run. */
    static void lifecycle() throws Exception {
        Recorder s = new Recorder();
        expectBytes(bytes(1, 8, 7), s.getVersion(), "getVersion");
        expect(s.getVersion() != s.getVersion(), "getVersion returns a new array each time");

        Thread polling = startStepped(s);
        openAll(s);
        expectEq(-1, s.openKeyBoard("again"), "second openKeyBoard");
        expectEq(-1, s.openMSR("again"), "second openMSR");
        expectEq(-1, s.openKeyLock("again"), "second openKeyLock");
        expectEq(-1, s.claimKeyboard(), "second claimKeyboard");
        expectEq(-1, s.claimMSR(), "second claimMSR");

        Object[][] constants = {
            {"enablekeyBoard", s.enablekeyBoard()}, {"disableKeyBoard", s.disableKeyBoard()},
            {"getKeyboardPowerState", s.getKeyboardPowerState()},
            {"enableMSR", s.enableMSR()}, {"disableMSR", s.disableMSR()},
            {"getMSRPowerState", s.getMSRPowerState()},
            {"enableKeylock", s.enableKeylock()}, {"disableKeylock", s.disableKeylock()},
            {"writeKeylockConfig", s.writeKeylockConfig()},
            {"getKeylockPowerState", s.getKeylockPowerState()},
            {"getPositionCount", s.getPositionCount()},
        };
        for (Object[] c : constants) {
            expectEq(0, (Integer) c[1], (String) c[0]);
        }
        s.clearMSRInput();

        // Every data node of both attachments is held while the sessions are open.
        for (Node node : DATA_NODES) {
            expectEq(1, TrvSim.openDescriptors(node), "descriptors on node " + node + " while open");
        }
        closeAllAndStop(s, polling);
        expectEq(-1, s.closeKeyLock(), "closeKeyLock when closed");
        expectEq(-1, s.releaseKeyboard(), "releaseKeyboard without a claim");

        // A second run delivers again.
        polling = startStepped(s);
        openAll(s);
        TrvSim.typeUsb(new int[] {42});
        step(1);
        expect(s.keys.equals(List.of(42)), "keys in the second polling run: " + s.keys);
        closeAllAndStop(s, polling);
    }

    /** Callbacks that throw: the loop goes on and later data still arrives, once each. */
    static void throwingCallback() throws Exception {
        Recorder s = new Recorder();
        s.throwInCallbacks.set(true);
        Thread polling = startStepped(s);
        openAll(s);

        for (int round = 1; round <= 3; round++) {
            TrvSim.typeUsb(new int[] {round});
            TrvSim.turnKeylock(Attachment.USB, round);
            TrvSim.swipeTrack(Attachment.USB, 3, bytes(';', '0' + round, '?'));
            step(1);
            expectEq(round, s.kbdCalls.get(), "kbd callbacks in round " + round);
            expectEq(round, s.klkCalls.get(), "klk callbacks in round " + round);
            expectEq(round, s.msrCalls.get(), "msr callbacks in round " + round);
            expectEq(round, s.keys.get(round - 1), "key of round " + round);
            expectBytes(bytes(round), s.keylockBytes.get(round - 1), "keylock of round " + round);
            expectBytes(bytes(';', '0' + round, '?'), s.swipes.get(round - 1)[2], "track 3 of round " + round);
        }
        expectEq(3, s.keys.size(), "keys delivered");
        expect(polling.isAlive(), "polling ended after callbacks threw");
        closeAllAndStop(s, polling);
    }

    /** Getters on another thread while polling runs freely: no entry lost or doubled. */
    static void otherThreadGetters() throws Exception {
        Recorder s = new Recorder();
        Thread polling = startThread(s);
        expect(TrvSim.waitReads(Node.USB_MSRSTAT, 1, TIMEOUT_MS), "polling did not start");
        openAll(s);

        List<Integer> stolen = Collections.synchronizedList(new ArrayList<>());
        AtomicBoolean running = new AtomicBoolean(true);
        AtomicReference<String> otherFault = new AtomicReference<>();
        Thread other = new Thread(() -> {
            while (running.get()) {
                for (int k : s.getKbdData()) {
                    stolen.add(k);
                }
                int pos = s.getKeyLockPosition();
                if (pos != 0 && pos != 5) {
                    otherFault.compareAndSet(null, "getKeyLockPosition gave " + pos);
                }
                if (!Arrays.equals(bytes(1, 8, 7), s.getVersion())) {
                    otherFault.compareAndSet(null, "getVersion changed");
                }
                if (s.getMsrTrack4Data().length != 0) {
                    otherFault.compareAndSet(null, "track 4 not empty");
                }
            }
        }, "other");
        other.start();

        TrvSim.turnKeylock(Attachment.USB, 5);
        List<Integer> typed = new ArrayList<>();
        int next = 1;
        for (int batch = 0; batch < 40; batch++) {
            int[] entries = new int[1 + batch % 4];
            for (int i = 0; i < entries.length; i++) {
                entries[i] = next;
                typed.add(next++);
            }
            TrvSim.typeUsb(entries);
            long reads = TrvSim.reads(Node.USB_KBDSTAT);
            expect(TrvSim.waitReads(Node.USB_KBDSTAT, reads + 2, TIMEOUT_MS), "polling stalled");
        }
        long reads = TrvSim.reads(Node.USB_KBDSTAT);
        expect(TrvSim.waitReads(Node.USB_KBDSTAT, reads + 2, TIMEOUT_MS), "polling stalled");
        running.set(false);
        other.join(TIMEOUT_MS);
        expect(otherFault.get() == null, String.valueOf(otherFault.get()));

        // What either thread fetched, each entry exactly once; each fetcher in order.
        for (int k : s.getKbdData()) {
            stolen.add(k);
        }
        expect(isIncreasing(s.keys), "entries out of order in the callbacks: " + s.keys);
        expect(isIncreasing(stolen), "entries out of order on the other thread: " + stolen);
        List<Integer> all = new ArrayList<>(s.keys);
        all.addAll(stolen);
        Collections.sort(all);
        expect(all.equals(typed), "entries lost or doubled: want " + typed + ", got " + all);
        expectEq(1, s.klkCalls.get(), "keylock callbacks");
        expectNothingLeftQueued();
        closeAllAndStop(s, polling);
    }

    /** Null and malformed arguments: results, no writes, no crash. */
    static void nullArguments() throws Exception {
        Recorder s = new Recorder();
        Thread polling = startStepped(s);
        expectEq(ServiceLayer.OPENED, s.openKeyBoard(null), "openKeyBoard(null)");
        expectEq(ServiceLayer.OPENED, s.openMSR(null), "openMSR(null)");
        expectEq(ServiceLayer.OPENED, s.openKeyLock(null), "openKeyLock(null)");
        expectEq(-1, s.openKeyBoard(null), "second openKeyBoard(null)");

        Object[][] rejected = {
            {"setposkey(0, null)", s.setposkey(0, null)},
            {"setposkey(0, int[0])", s.setposkey(0, new int[0])},
            {"setposkey(0, int[6])", s.setposkey(0, new int[6])},
            {"writeMSRConfig(0, null)", s.writeMSRConfig(0, null)},
            {"writeMSRConfig(0, byte[0])", s.writeMSRConfig(0, new byte[0])},
        };
        for (Object[] c : rejected) {
            expectEq(-1, (Integer) c[1], (String) c[0]);
        }
        expectEq(0, TrvSim.writeCount(Node.USB_MSRSTAT), "writes on the MSR status node");
        expectEq(0, TrvSim.writeCount(Node.PS2_KEYBOARD), "writes on the PS/2 keyboard node");
        expectEq(0, TrvSim.writeCount(Node.USB_KEYBOARD), "writes on the USB keyboard node");

        // The sessions opened with null names work.
        TrvSim.typeUsb(new int[] {77});
        step(1);
        expect(s.keys.equals(List.of(77)), "keys after opening with a null name: " + s.keys);
        s.closeKeyBoard();
        s.closeMSR();
        expectEq(0, s.closeKeyLock(), "closeKeyLock");
        stop(s, polling);
    }

    /** Calls made without a polling loop return instead of waiting for one. */
    static void withoutPolling() throws Exception {
        Recorder s = new Recorder();
        expectEq(-1, s.writeMSRConfig(0, bytes(0x10)), "writeMSRConfig before polling");
        expectEq(0, s.getKeyLockPosition(), "getKeyLockPosition with the keylock closed");
        Thread stopper = new Thread(s::stopPolling, "stopper");
        stopper.setDaemon(true);
        stopper.start();
        stopper.join(TIMEOUT_MS);
        expect(!stopper.isAlive(), "stopPolling waits for a polling loop that never ran");

        // That stop does not end the next polling run before it starts.
        Thread polling = startStepped(s);
        expectEq(ServiceLayer.OPENED, s.openKeyBoard("keyboard"), "openKeyBoard");
        TrvSim.typeUsb(new int[] {5});
        step(2);
        expect(polling.isAlive(), "polling run ended by an earlier stop");
        expect(s.keys.equals(List.of(5)), "keys after an early stopPolling: " + s.keys);
        s.closeKeyBoard();
        stop(s, polling);

        // With no status node, startPolling returns at once and makes no callback.
        for (Node node : Node.values()) {
            TrvSim.setPresent(node, false);
        }
        polling = startThread(s);
        polling.join(TIMEOUT_MS);
        expect(!polling.isAlive(), "startPolling without status nodes did not return");
        expectEq(-1, s.openKeyBoard("keyboard"), "openKeyBoard without nodes");
    }

    // ---- Helpers ---------------------------------------------------------

    static List<Integer> boxed(int[] v) {
        List<Integer> l = new ArrayList<>();
        for (int x : v) {
            l.add(x);
        }
        return l;
    }

    static boolean isIncreasing(List<Integer> l) {
        synchronized (l) {
            for (int i = 1; i < l.size(); i++) {
                if (l.get(i) <= l.get(i - 1)) {
                    return false;
                }
            }
        }
        return true;
    }

    static void putLe16(byte[] table, int entry, int value) {
        table[2 * entry] = (byte) value;
        table[2 * entry + 1] = (byte) (value >> 8);
    }

    interface Case {
        void run() throws Exception;
    }

    static final Map<String, Case> CASES = new LinkedHashMap<>();

    static {
        CASES.put("keyboard", JvmEndToEnd::keyboard);
        CASES.put("keylock", JvmEndToEnd::keylock);
        CASES.put("msr", JvmEndToEnd::msr);
        CASES.put("config", JvmEndToEnd::config);
        CASES.put("lifecycle", JvmEndToEnd::lifecycle);
        CASES.put("throwing-callback", JvmEndToEnd::throwingCallback);
        CASES.put("other-thread-getters", JvmEndToEnd::otherThreadGetters);
        CASES.put("null-arguments", JvmEndToEnd::nullArguments);
        CASES.put("without-polling", JvmEndToEnd::withoutPolling);
    }

    public static void main(String[] args) {
        if (args.length != 1 || !CASES.containsKey(args[0])) {
            System.err.println("usage: JvmEndToEnd <case>; cases: " + CASES.keySet());
            System.exit(2);
        }
        TrvSim.reset();
        try {
            CASES.get(args[0]).run();
        } catch (Throwable e) {
            System.out.println("FAIL " + args[0] + ": " + e);
            e.printStackTrace(System.out);
            System.exit(1);
        }
        System.out.println("PASS " + args[0]);
        System.exit(0);
    }
}
