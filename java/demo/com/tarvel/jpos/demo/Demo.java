package com.tarvel.jpos.demo;

import com.tarvel.jpos.ServiceLayer;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * Prints what the POS keyboard service receives, as it happens: keylock
 * positions, key entries, and every swipe's tracks as text and hex.
 *
 * <pre>
 * Demo [--seconds N]                             on the driver simulator
 * Demo --hardware [--seconds N] [--write-config]  on the loaded drivers
 * </pre>
 *
 * On the simulator (TRVSIM_SCENARIO and TRVSIM_LOG set) it declares a few
 * POS keys, sends them and the MSR header keys of ./trvpos.ini to the
 * drivers, runs until the scenario's last action "log end-of-demo" has fired
 * (at most N seconds, default 60), then shows the configuration that reached
 * the drivers, from the simulator's write log. On the hardware it runs until
 * Enter (or for N seconds), and sends configuration only with --write-config.
 */
public final class Demo extends ServiceLayer {
    private static final String[] STATUS_NODES = {
        "/dev/qkbd_stat", "/dev/trvposusb_kbdstat", "/dev/trvposusb_msrstat",
    };

    /** The last action of a demo scenario: "at ... log end-of-demo". */
    private static final String END_MARK = "end-of-demo";

    private final long startNanos = System.nanoTime();
    private int swipes;

    private String stamp() {
        return String.format("[%6.2f s]", (System.nanoTime() - startNanos) / 1e9);
    }

    @Override
    protected void kbdDataOccurred() {
        int[] keys = getKbdData();
        StringBuilder s = new StringBuilder(stamp()).append(" keys:");
        for (int k : keys) {
            s.append(String.format(" %08x", k));
        }
        System.out.println(s);
    }

    @Override
    protected void klkDataOccurred() {
        byte[] b = getKeyLockData();
        System.out.println(stamp() + " keylock position " + (b.length > 0 ? Integer.toString(b[0] & 0xff) : "(none)"));
    }

    @Override
    protected void msrDataOccurred() {
        byte[][] tracks = {getMsrTrack1Data(), getMsrTrack2Data(), getMsrTrack3Data()};
        System.out.println(stamp() + " swipe " + (++swipes));
        for (int t = 0; t < tracks.length; t++) {
            byte[] b = tracks[t];
            if (b.length == 0) {
                System.out.printf("    track %d: (none)%n", t + 1);
                continue;
            }
            System.out.printf("    track %d: %d bytes%n", t + 1, b.length);
            System.out.println("      text: " + text(b));
            System.out.println("      hex:  " + hex(b, 0, b.length));
        }
    }

    static String text(byte[] b) {
        StringBuilder s = new StringBuilder();
        for (byte x : b) {
            int c = x & 0xff;
            s.append(c >= 0x20 && c < 0x7f ? (char) c : '.');
        }
        return s.toString();
    }

    static String hex(byte[] b, int from, int to) {
        StringBuilder s = new StringBuilder();
        for (int i = from; i < to; i++) {
            if (i > from) {
                s.append(' ');
            }
            s.append(String.format("%02x", b[i] & 0xff));
        }
        return s.toString();
    }

    // ---- Configuration ----------------------------------------------------

    /** POS keys the demo declares: {POS key value, combination key, unused, key, unused}. */
    private static final int[][] POS_KEYS = {
        {0x0101, 0, 0, 0x3B, 0},      // F1
        {0x0102, 0, 0, 0x3C, 0},      // F2
        {0x0103, 0, 0, 0xE01C, 0},    // keypad Enter
        {0x0104, 0x1D, 0, 0x1E, 0},   // Left Control + A
    };

    private void sendConfiguration() {
        StringBuilder s = new StringBuilder("setposkey (set-1 code: POS key value):");
        for (int[] k : POS_KEYS) {
            int result = setposkey(0, k);
            s.append(String.format(" %s%x: %04x%s", k[1] != 0 ? String.format("%x+", k[1]) : "", k[3], k[0],
                                   result == 0 ? "" : " refused"));
        }
        System.out.println(s);
        System.out.println("writeKeyboardConfig: " + writeKeyboardConfig());
        System.out.println("writeMSRConfig (command 10, header keys of trvpos.ini): "
                           + writeMSRConfig(0, new byte[] {0x10}));
    }

    /** The simulator's log shows that the scenario's closing action has fired. */
    static boolean scenarioEnded(Path log) throws IOException {
        if (!Files.exists(log)) {
            return false;
        }
        for (String line : Files.readAllLines(log, StandardCharsets.UTF_8)) {
            if (line.startsWith("scenario line ") && line.endsWith(" log " + END_MARK)) {
                return true;
            }
        }
        return false;
    }

    /**
     * A file's path for the output: relative to the working folder when the
     * file lies below it, else its name alone, so that the output shows no
     * folder of the machine it ran on.
     */
    static String shown(Path p) {
        Path abs = p.toAbsolutePath().normalize();
        Path cwd = Paths.get("").toAbsolutePath().normalize();
        if (abs.startsWith(cwd) && !abs.equals(cwd)) {
            return cwd.relativize(abs).toString();
        }
        Path name = abs.getFileName();
        return name == null ? abs.toString() : name.toString();
    }

    /** Describes what the library wrote to the simulated drivers, from the write log. */
    static void showWrites(Path log) throws IOException {
        System.out.println("configuration that reached the drivers (" + shown(log) + "):");
        for (String line : Files.readAllLines(log, StandardCharsets.UTF_8)) {
            // write <node> n=<asked> ret=<taken> data=<hex bytes>
            if (!line.startsWith("write ")) {
                continue;
            }
            String[] f = line.split(" ", 5);
            String node = f[1];
            byte[] data = parseHex(f.length > 4 ? f[4].replaceFirst("^data=", "") : "");
            System.out.println("  " + node + ": " + data.length + " bytes");
            System.out.println("    " + describe(node, data));
        }
    }

    static byte[] parseHex(String s) {
        String t = s.trim();
        if (t.isEmpty()) {
            return new byte[0];
        }
        String[] parts = t.split("\\s+");
        byte[] b = new byte[parts.length];
        for (int i = 0; i < parts.length; i++) {
            b[i] = (byte) Integer.parseInt(parts[i], 16);
        }
        return b;
    }

    static String describe(String node, byte[] d) {
        if (node.endsWith("qkbd_keyboard") && d.length == 385) {
            List<String> keys = new ArrayList<>();
            for (int i = 0; i < d.length; i++) {
                if (d[i] != 0) {
                    keys.add(i < 128 ? String.format("%02x", i)
                             : String.format("%s%02x", i < 256 ? "e0" : "e1", i % 128 + (i == 384 ? 128 : 0)));
                }
            }
            return "PS/2 POS key table, set-1 codes marked: " + (keys.isEmpty() ? "none (empty table)" : String.join(" ", keys));
        }
        if (node.endsWith("trvposusb_keyboard") && d.length == 1024) {
            List<String> keys = new ArrayList<>();
            for (int u = 0; u < 512; u++) {
                int v = (d[2 * u] & 0xff) | (d[2 * u + 1] & 0xff) << 8;
                if (v == 0) {
                    continue;
                }
                if (u == 256) {
                    keys.add(String.format("combination key=usage %02x", v));
                } else if (u > 256) {
                    keys.add(String.format("combination+usage %02x=%04x", u - 256, v));
                } else {
                    keys.add(String.format("usage %02x=%04x", u, v));
                }
            }
            return "USB POS key table: " + (keys.isEmpty() ? "none (empty table)" : String.join(", ", keys));
        }
        if (node.endsWith("trvposusb_msrstat") && d.length > 0) {
            StringBuilder s = new StringBuilder(String.format("MSR header record: command %02x", d[0] & 0xff));
            String[] pairs = {"GH", "GT", "H1", "T1", "H2", "T2", "H3", "T3"};
            for (int k = 0; k < pairs.length && 2 + 2 * k < d.length; k++) {
                s.append(String.format(", %s %02x/%02x", pairs[k], d[1 + 2 * k] & 0xff, d[2 + 2 * k] & 0xff));
            }
            return s.append(" (modifier/key usages)").toString();
        }
        return hex(d, 0, d.length);
    }

    // ---- Running -------------------------------------------------------------

    private static void usage() {
        System.err.println("usage: Demo [--hardware] [--seconds N] [--write-config]");
        System.exit(2);
    }

    public static void main(String[] args) throws Exception {
        boolean hardware = false;
        boolean writeConfig = false;
        double seconds = -1;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--hardware":
                    hardware = true;
                    break;
                case "--write-config":
                    writeConfig = true;
                    break;
                case "--seconds":
                    if (++i >= args.length) {
                        usage();
                    }
                    seconds = Double.parseDouble(args[i]);
                    break;
                default:
                    usage();
            }
        }
        String scenario = System.getenv("TRVSIM_SCENARIO");
        if (!hardware && (scenario == null || scenario.isEmpty())) {
            System.err.println("Demo: no simulator scenario (TRVSIM_SCENARIO); run `make demo`, or add"
                               + " --hardware to use the loaded drivers");
            System.exit(2);
        }
        if (hardware) {
            boolean any = false;
            for (String n : STATUS_NODES) {
                any |= Files.exists(Paths.get(n));
            }
            if (!any) {
                System.err.println("Demo: none of " + String.join(", ", STATUS_NODES)
                                   + " exists: are the keyboard drivers loaded?");
                System.exit(1);
            }
        } else {
            writeConfig = true;
        }

        Demo demo = new Demo();
        byte[] v = demo.getVersion();
        System.out.printf("POS keyboard demo: library %d.%d.%d, %s%n", v[0], v[1], v[2],
                          hardware ? "loaded drivers" : "simulated keyboard (" + shown(Paths.get(scenario)) + ")");

        Thread polling = new Thread(demo::startPolling, "polling");
        polling.setDaemon(true);
        polling.start();
        // The loop opens the status nodes first thing; give it one cycle.
        Thread.sleep(100);
        if (!polling.isAlive()) {
            System.err.println("Demo: polling ended at once: no status node could be opened"
                               + " (missing nodes or no read-write permission)");
            System.exit(1);
        }

        int kbd = demo.openKeyBoard("keyboard");
        int msr = demo.openMSR("msr");
        int klk = demo.openKeyLock("keylock");
        System.out.printf("open: keyboard %d, MSR %d, keylock %d (%d = opened)%n", kbd, msr, klk, OPENED);
        if (kbd != OPENED && msr != OPENED && klk != OPENED) {
            System.err.println("Demo: no device could be opened (missing nodes or no read-write permission)");
            demo.stopPolling();
            System.exit(1);
        }
        if (kbd == OPENED) {
            System.out.println("claim keyboard: " + demo.claimKeyboard());
        }
        if (msr == OPENED) {
            System.out.println("claim MSR: " + demo.claimMSR());
        }
        if (writeConfig) {
            demo.sendConfiguration();
        }

        String log = System.getenv("TRVSIM_LOG");
        Path logPath = hardware || log == null || log.isEmpty() ? null : Paths.get(log);
        if (logPath != null) {
            // On the simulator the run ends with the scenario's last action.
            double limit = seconds >= 0 ? seconds : 60;
            System.out.printf("listening until the scenario ends (at most %.0f s)%n", limit);
            long deadline = System.nanoTime() + (long) (limit * 1e9);
            while (!scenarioEnded(logPath) && System.nanoTime() < deadline) {
                Thread.sleep(100);
            }
            Thread.sleep(200);
        } else if (seconds >= 0) {
            System.out.printf("listening for %.1f s%n", seconds);
            Thread.sleep((long) (seconds * 1000));
        } else {
            System.out.println("listening; press Enter to end");
            new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8)).readLine();
        }

        if (kbd == OPENED) {
            demo.releaseKeyboard();
            demo.closeKeyBoard();
        }
        if (msr == OPENED) {
            demo.releaseMSR();
            demo.closeMSR();
        }
        if (klk == OPENED) {
            demo.closeKeyLock();
        }
        demo.stopPolling();
        polling.join(2000);
        System.out.println("closed; " + demo.swipes + " swipe(s) seen");

        if (logPath != null && Files.exists(logPath)) {
            showWrites(logPath);
        }
        System.exit(0);
    }
}
