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
            callback(0);
        }

        @Override
        protected void klkDataOccurred() {
            callback(1);
        }

        @Override
        protected void msrDataOccurred() {
            callback(2);
        }
    }

    private Soak() {
    }

    static native int run(ServiceLayer service, String[] args);

    static native void callback(int kind);

    public static void main(String[] args) {
        System.exit(run(new Service(), args));
    }
}
