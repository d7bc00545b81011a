package com.tarvel.jpos.test;

import com.tarvel.jpos.ServiceLayer;

/**
 * The soak in a real JVM: the native core (libtrvsoakjni.so) drives this
 * service from Java threads of its own, and each callback hands over to the
 * core, which fetches the data through the service's methods.
 * {@code Soak [--seed N] [--seconds S]}; exit status 0 when every invariant held.
 */
public final class Soak {
    static {
        System.loadLibrary("trvsoakjni");
    }

    static final class Service extends ServiceLayer {
        @Override
        protected void kbdDataOccurred() {
            if (callback(0)) {
                throw new IllegalStateException("soak: kbdDataOccurred throws");
            }
        }

        @Override
        protected void klkDataOccurred() {
            if (callback(1)) {
                throw new IllegalStateException("soak: klkDataOccurred throws");
            }
        }

        @Override
        protected void msrDataOccurred() {
            if (callback(2)) {
                throw new IllegalStateException("soak: msrDataOccurred throws");
            }
        }
    }

    private Soak() {
    }

    static native int run(ServiceLayer service, String[] args);

    /** Hands a callback to the core; true: the callback is to throw. */
    static native boolean callback(int kind);

    public static void main(String[] args) {
        System.exit(run(new Service(), args));
    }
}
