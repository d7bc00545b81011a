package com.example.pos;

import com.tarvel.jpos.ServiceLayer;

import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * A small service on the POS keyboard: polls on a thread of its own, opens
 * the keyboard, MSR and keylock, and collects what arrives in its callbacks.
 */
public class PosService extends ServiceLayer {
    /** One card swipe: the bytes of tracks 1 to 3 (empty when absent). */
    public record Swipe(byte[] track1, byte[] track2, byte[] track3) {
    }

    private final BlockingQueue<Integer> keys = new LinkedBlockingQueue<>();
    private final BlockingQueue<Integer> keylockPositions = new LinkedBlockingQueue<>();
    private final BlockingQueue<Swipe> swipes = new LinkedBlockingQueue<>();
    private Thread poller;

    /** Starts polling, then opens the devices; true when all three opened. */
    public boolean start() {
        poller = new Thread(this::startPolling, "pos-polling");
        poller.setDaemon(true);
        poller.start();
        boolean keyboard = openKeyBoard("keyboard") == OPENED;
        boolean msr = openMSR("msr") == OPENED;
        boolean keylock = openKeyLock("keylock") == OPENED;
        return keyboard && msr && keylock;
    }

    /** Whether the polling loop still runs: startPolling has not returned. */
    public boolean isPolling() {
        return poller != null && poller.isAlive();
    }

    /** Waits until polling has ended (startPolling returned); false after timeoutMs. */
    public boolean awaitPollingEnd(long timeoutMs) throws InterruptedException {
        if (poller != null) {
            poller.join(timeoutMs);
        }
        return !isPolling();
    }

    /**
     * Closes the devices and ends polling. stopPolling returns at once while
     * the polling thread has not yet entered startPolling, so it is repeated
     * until the thread has ended.
     */
    public void stop() throws InterruptedException {
        closeKeyBoard();
        closeMSR();
        closeKeyLock();
        while (isPolling()) {
            stopPolling();
            poller.join(100);
        }
    }

    /** Declares one POS key (value for a set-1 scan code) and sends the tables. */
    public boolean declarePosKey(int value, int set1Code) {
        return setposkey(0, new int[] {value, 0, 0, set1Code, 0}) == 0 && writeKeyboardConfig() == 0;
    }

    /** The next key entry, or null after timeoutMs. */
    public Integer nextKey(long timeoutMs) throws InterruptedException {
        return keys.poll(timeoutMs, TimeUnit.MILLISECONDS);
    }

    /** The next keylock position, or null after timeoutMs. */
    public Integer nextKeylockPosition(long timeoutMs) throws InterruptedException {
        return keylockPositions.poll(timeoutMs, TimeUnit.MILLISECONDS);
    }

    /** The next swipe, or null after timeoutMs. */
    public Swipe nextSwipe(long timeoutMs) throws InterruptedException {
        return swipes.poll(timeoutMs, TimeUnit.MILLISECONDS);
    }

    // The callbacks run on the polling thread, one at a time; each fetches
    // all there is. A getter returns null only when memory ran out, and
    // then keeps the data for the next call.

    @Override
    protected void kbdDataOccurred() {
        int[] entries = getKbdData();
        if (entries != null) {
            for (int entry : entries) {
                keys.add(entry);
            }
        }
    }

    @Override
    protected void klkDataOccurred() {
        byte[] position = getKeyLockData();
        if (position != null && position.length == 1) {
            keylockPositions.add(position[0] & 0xff);
        }
    }

    @Override
    protected void msrDataOccurred() {
        swipes.add(new Swipe(getMsrTrack1Data(), getMsrTrack2Data(), getMsrTrack3Data()));
    }
}
