package com.tarvel.jpos.test;

/** The driver simulator (preloaded libtrvsim.so), driven from Java. */
final class Sim {
    static {
        System.loadLibrary("trvsimjni");
    }

    // Nodes, in the simulator's numbering.
    static final int PS2_STAT = 0;
    static final int PS2_KEYBOARD = 1;
    static final int PS2_KEYLOCK = 2;
    static final int PS2_MSR1 = 3;
    static final int PS2_MSR2 = 4;
    static final int PS2_MSR3 = 5;
    static final int USB_KBDSTAT = 6;
    static final int USB_MSRSTAT = 7;
    static final int USB_KEYBOARD = 8;
    static final int USB_KEYLOCK = 9;
    static final int USB_MSR1 = 10;
    static final int USB_MSR2 = 11;
    static final int USB_MSR3 = 12;
    static final int NODE_COUNT = 13;

    /** Data nodes: what a session opens and must close again. */
    static final int[] DATA_NODES = {
        PS2_KEYBOARD, PS2_KEYLOCK, PS2_MSR1, PS2_MSR2, PS2_MSR3,
        USB_KEYBOARD, USB_KEYLOCK, USB_MSR1, USB_MSR2, USB_MSR3,
    };

    // Attachments.
    static final int PS2 = 0;
    static final int USB = 1;

    private Sim() {
    }

    static native void reset();
    static native void setPresent(int node, boolean present);
    static native void ps2Type(byte[] bytes);
    static native void usbType(int[] entries);
    static native void setKeylock(int attachment, int position);
    static native void swipeTrack(int attachment, int track, byte[] bytes);
    static native long reads(int node);
    static native int openDescriptors(int node);
    static native int writeCount(int node);
    static native byte[] written(int node, int index);
    static native long queued(int node);
    static native boolean waitReads(int node, long count, int timeoutMs);
    static native void stepMode(int gateNode, boolean on);
    static native boolean step(int count, int timeoutMs);
}
