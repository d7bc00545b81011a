package com.tarvel.jpos;

/**
 * Java face of libnativelayer.so: the native methods of the POS keyboard's
 * keyboard, MSR and keylock sessions, and the three callbacks through which
 * the library reports new data.
 *
 * <p>Calling order the library relies on: {@link #startPolling()} first, on a
 * thread of its own (it holds that thread until {@link #stopPolling()} is
 * called from another one); then the open, claim, release and close methods
 * and the getters. The callbacks run on the polling thread; a getter called
 * from a callback sees the data that caused it.
 *
 * <p>Results are integers: the open methods return {@link #OPENED} or -1, the
 * claim, release and configuration methods 0 or -1. No method throws.
 *
 * <p>Subclasses override the callbacks; the defaults ignore the news.
 */
public class ServiceLayer {
    /** Result of a successful open (0x1234). */
    public static final int OPENED = 4660;

    static {
        System.loadLibrary("nativelayer");
    }

    // ---- Library --------------------------------------------------------

    /** Version of the library: a new array {1, 8, 7}. */
    public native byte[] getVersion();

    // ---- Keyboard -------------------------------------------------------

    /** Opens the keyboard on whichever attachment is present; the name is not used. */
    public native int openKeyBoard(String name);
    /** Sends empty POS key tables to the keyboard and closes it. */
    public native void closeKeyBoard();
    public native int claimKeyboard();
    public native int releaseKeyboard();
    public native int enablekeyBoard();
    public native int disableKeyBoard();
    public native int getKeyboardPowerState();
    public native void clearKeyBoardInput();
    /** The pending key entries, oldest first; empties them. */
    public native int[] getKbdData();
    /** Sends the declared POS key tables to the open keyboard nodes. */
    public native int writeKeyboardConfig();
    /**
     * Declares one POS key. key holds five elements: POS key value,
     * combination key (set-1 code, 0 for none), unused, the key's set-1 code,
     * unused. The first argument is not read.
     */
    public native int setposkey(int unused, int[] key);

    // ---- Magnetic stripe reader -----------------------------------------

    /** Opens the MSR on whichever attachment has all three track nodes; the name is not used. */
    public native int openMSR(String name);
    public native void closeMSR();
    public native int claimMSR();
    public native int releaseMSR();
    public native int enableMSR();
    public native int disableMSR();
    public native void clearMSRInput();
    public native int getMSRPowerState();
    /**
     * Writes the MSR header record: the leading bytes of config (normally
     * the single command byte 0x10) followed by the header and trailer keys
     * read from trvpos.ini, 17 bytes at most. The first argument is not read.
     */
    public native int writeMSRConfig(int unused, byte[] config);
    /** The track's data of the last swipe; empties it. */
    public native byte[] getMsrTrack1Data();
    public native byte[] getMsrTrack2Data();
    public native byte[] getMsrTrack3Data();
    /** Always empty. */
    public native byte[] getMsrTrack4Data();

    // ---- Keylock --------------------------------------------------------

    /** Opens the keylock on whichever attachment is present; the name is not used. */
    public native int openKeyLock(String name);
    public native int closeKeyLock();
    public native int enableKeylock();
    public native int disableKeylock();
    public native int writeKeylockConfig();
    public native int getKeylockPowerState();
    /** Reads the keylock position now: 0 to 255, 0 when none. */
    public native int getKeyLockPosition();
    public native int getPositionCount();
    /** The keylock byte read last (one byte, or empty). */
    public native byte[] getKeyLockData();

    // ---- Polling ---------------------------------------------------------

    /**
     * Polls the drivers every 50 ms on the calling thread and calls back this
     * object, on this thread, until a stop is requested. Call it first, on a
     * thread of its own, before any open: it clears the descriptor slots of
     * sessions that are not open.
     *
     * <p>A call made while a run polls normally returns at once and leaves
     * that run alone; so does a call made from a callback. A call made after
     * the active run was asked to stop (for example by {@link #stopPolling()}
     * from a callback, to restart polling) waits for that run's end and then
     * polls. It returns at once when no status node can be opened (no
     * driver, or the cable of the only attachment out): call it again
     * later.
     *
     * <p>A device whose node goes away (a replug) is closed and reopened by
     * the library once it is back, with no call from Java; the sessions stay
     * open, and the POS key tables and the last MSR header record are sent
     * again.
     */
    public native void startPolling();
    /**
     * Requests the stop of the run that is polling, or of a
     * {@link #startPolling()} that has been entered and waits to begin (that
     * run then ends before its first cycle), and returns once that run has
     * ended. Called from a callback it only requests: the loop ends after
     * that callback's cycle. With no startPolling in progress it returns at
     * once and leaves no request behind, so a stop made before the polling
     * thread has entered startPolling is not seen: make sure the polling
     * thread is inside startPolling (for example: it has made a first
     * callback, or some time has passed since it started) before relying on
     * a stop. To notice that polling ended, watch the polling thread
     * ({@link Thread#join()}).
     */
    public native void stopPolling();

    // ---- Callbacks (called by the library on the polling thread) ---------

    /**
     * Key entries are pending: fetch them with {@link #getKbdData()}. While
     * 255 entries are pending and more wait in the driver, it is called in
     * every cycle until they are fetched.
     */
    protected void kbdDataOccurred() {
    }

    /** The keylock moved: fetch the position with {@link #getKeyLockData()}. */
    protected void klkDataOccurred() {
    }

    /**
     * A swipe is complete: fetch its tracks with the track getters. Tracks
     * not fetched are dropped when the next swipe begins; a track too long
     * for the library comes empty. The library wipes a track's bytes once
     * it has handed them out.
     */
    protected void msrDataOccurred() {
    }
}
