package com.example.pos;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tarvel.jpos.sim.TrvSim;
import com.tarvel.jpos.sim.TrvSim.Attachment;
import com.tarvel.jpos.sim.TrvSim.Node;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * PosService against the driver simulator. The polling loop runs in step
 * mode: each TrvSim.step(n) runs exactly n polling cycles, so no test waits
 * for time to pass. The callbacks have run when step returns.
 */
class PosServiceTest {
    private final PosService service = new PosService();

    @BeforeEach
    void startSteppedPolling() {
        TrvSim.reset();
        TrvSim.stepMode(Node.PS2_STAT, true); // the first status node of a cycle
        assertTrue(service.start(), "keyboard, MSR and keylock open");
        TrvSim.step(0); // the loop has started and waits at its first cycle
    }

    @AfterEach
    void stop() throws InterruptedException {
        TrvSim.stepMode(Node.PS2_STAT, false); // a held loop cannot see the stop
        service.stop();
        assertFalse(service.isPolling());
    }

    @Test
    void keysArriveUnchangedFromBothAttachments() throws InterruptedException {
        TrvSim.typeUsb(0x00000004, 0x00020005);
        TrvSim.step(1);
        assertEquals(0x00000004, service.nextKey(0));
        assertEquals(0x00020005, service.nextKey(0));

        // PS/2: "a" pressed and released are two entries, make then break code.
        TrvSim.typePs2(0x1E, 0x9E);
        TrvSim.step(1);
        assertEquals(0x1E, service.nextKey(0));
        assertEquals(0x9E, service.nextKey(0));
        assertNull(service.nextKey(0));
    }

    @Test
    void swipeWithoutTrack3IsReportedFiveCyclesLater() throws InterruptedException {
        byte[] track1 = TrvSim.ascii("%B4111111111111111^TEST/CARD^2912?");
        byte[] track2 = TrvSim.ascii(";4111111111111111=2912?");
        TrvSim.swipe(Attachment.USB, track1, track2);
        TrvSim.step(5);
        assertNull(service.nextSwipe(0), "still waiting for track 3");
        TrvSim.step(1);
        PosService.Swipe swipe = service.nextSwipe(0);
        assertArrayEquals(track1, swipe.track1());
        assertArrayEquals(track2, swipe.track2());
        assertEquals(0, swipe.track3().length);
    }

    @Test
    void keylockTurnsAreReportedOncePerChange() throws InterruptedException {
        TrvSim.turnKeylock(Attachment.USB, 2);
        TrvSim.step(3);
        assertEquals(2, service.nextKeylockPosition(0));
        assertNull(service.nextKeylockPosition(0), "no callback while it stays");
        TrvSim.turnKeylock(Attachment.USB, 3);
        TrvSim.step(1);
        assertEquals(3, service.nextKeylockPosition(0));
    }

    @Test
    void aFailedReadDelaysKeysByOneCycle() throws InterruptedException {
        TrvSim.failReads(Node.USB_KEYBOARD, 1);
        TrvSim.typeUsb(7);
        TrvSim.step(1);
        assertNull(service.nextKey(0), "the failed read delivered nothing");
        TrvSim.step(1);
        assertEquals(7, service.nextKey(0), "the driver kept the key");
    }

    @Test
    void posKeysReachBothDriversAndAreClearedOnClose() throws InterruptedException {
        assertTrue(service.declarePosKey(0x0101, 0x3B)); // F1
        assertEquals(1, TrvSim.ps2PosKeyTable()[0x3B]);
        assertEquals(0x0101, TrvSim.usbPosKeyTable()[0x3A]); // F1's HID usage

        service.closeKeyBoard();
        assertArrayEquals(new byte[385], TrvSim.ps2PosKeyTable());
    }

    @Test
    void pollingEndsAtOnceWithoutDrivers() throws InterruptedException {
        stop();
        for (Node node : Node.values()) {
            TrvSim.setPresent(node, false);
        }
        PosService alone = new PosService();
        assertFalse(alone.start(), "no device opens");
        assertTrue(alone.awaitPollingEnd(5000), "startPolling returned: no status node");
        alone.stop();
    }
}
