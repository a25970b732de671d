package hbbench;

import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import VqCommon.ReturnStatusDescriptor;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * Verb requests through the native library next to raw JNI echoes of the same
 * text and bytes. Each measurement is warmed up, then timed in rounds that
 * alternate with its peer's, so a change of machine load hits both; the
 * median round is printed as "name wall-nanoseconds cpu-nanoseconds" per
 * call (the thread's CPU time, which other processes' load disturbs less).
 *
 * <p>System properties: hbconnector.library (the library, read by the agent
 * class), hbbench.library (the benchmark connector with the echoes).
 */
public final class HbBench {
    static native byte[] document(String shape, boolean lengthPrefixed);

    static native String echoString(String text);

    static native String echoStringRegion(String text);

    static native byte[] echoBytes(byte[] bytes);

    static native void empty();

    static native int lookups(StringBucket bucket);

    private static final int ROUNDS = 15;
    private static final long ROUND_NANOS = 60_000_000L;

    private interface Call {
        void run();
    }

    private static volatile Object sink;

    /** Calls per round so that a round lasts about ROUND_NANOS. */
    private static long calibrate(Call call) {
        long n = 1;
        while (true) {
            long start = System.nanoTime();
            for (long i = 0; i < n; i++) call.run();
            long elapsed = System.nanoTime() - start;
            if (elapsed > ROUND_NANOS / 4) return Math.max(1, n * ROUND_NANOS / elapsed);
            n *= 2;
        }
    }

    private static final java.lang.management.ThreadMXBean THREADS =
            java.lang.management.ManagementFactory.getThreadMXBean();

    private static double timeRound(Call call, long n) {
        long start = System.nanoTime();
        long cpu = THREADS.getCurrentThreadCpuTime();
        for (long i = 0; i < n; i++) call.run();
        lastCpu = (double) (THREADS.getCurrentThreadCpuTime() - cpu) / n;
        return (double) (System.nanoTime() - start) / n;
    }

    private static double lastCpu;

    private static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    private static String only = "";

    private static void compare(String oursName, Call ours, String peerName, Call peer) {
        compare(new String[] {oursName, peerName}, new Call[] {ours, peer});
    }

    /** Times calls[0] (ours) and its peers in alternating rounds; prints each median round. */
    private static void compare(String[] names, Call[] calls) {
        if (!names[0].contains(only)) return;
        // Warm-up: compile every path.
        for (int i = 0; i < 3; i++) {
            for (Call call : calls) timeRound(call, calibrate(call));
        }
        long[] n = new long[calls.length];
        for (int k = 0; k < calls.length; k++) n[k] = calibrate(calls[k]);
        double[][] wall = new double[calls.length][ROUNDS];
        double[][] cpu = new double[calls.length][ROUNDS];
        for (int r = 0; r < ROUNDS; r++) {
            for (int k = 0; k < calls.length; k++) {
                wall[k][r] = timeRound(calls[k], n[k]);
                cpu[k][r] = lastCpu;
            }
        }
        for (int k = 0; k < calls.length; k++) {
            System.out.printf("%s %.1f %.1f%n", names[k], median(wall[k]), median(cpu[k]));
        }
    }

    /** args[0], when given, runs only the measurements whose name contains it. */
    public static void main(String[] args) {
        if (args.length > 0) only = args[0];
        BusObjNativeInterface agent = new BusObjNativeInterface();
        agent.log().setRecording(false);
        agent.settings().setConfigProp("CharacterEncoding", "UTF-8");
        String benchLibrary = System.getProperty("hbbench.library");
        System.load(benchLibrary);
        int started = agent.n_init("4.1.0", benchLibrary);
        if (started != 1) throw new IllegalStateException("n_init answered " + started);

        for (String shape : new String[] {"S", "M", "L"}) {
            String text = new String(document(shape, false), StandardCharsets.ISO_8859_1);
            byte[] bytes = document(shape, true);
            StringBucket bucket = new StringBucket();
            ReturnStatusDescriptor status = new ReturnStatusDescriptor();

            bucket.content = text;
            int result = agent.n_DoVerbFor(bucket, false, status);
            if (result != 1 || !text.equals(bucket.content)) {
                throw new IllegalStateException("n_DoVerbFor " + shape + " answered " + result);
            }
            bucket.contentinArray = bytes;
            result = agent.n_DoVerbForI18n(bucket, false, status);
            if (result != 1 || !Arrays.equals(bytes, bucket.contentinArray)) {
                throw new IllegalStateException("n_DoVerbForI18n " + shape + " answered " + result);
            }

            // Two echoes: the usual GetStringUTFChars one, and one that copies the
            // characters out with GetStringUTFRegion as the library does.
            compare(new String[] {"jni/n_DoVerbFor/" + shape, "jni/string_echo/" + shape,
                                  "jni/string_echo_region/" + shape},
                    new Call[] {() -> {
                        bucket.content = text;
                        agent.n_DoVerbFor(bucket, false, status);
                    }, () -> sink = echoString(text), () -> sink = echoStringRegion(text)});
            compare("jni/n_DoVerbForI18n/" + shape, () -> {
                bucket.contentinArray = bytes;
                agent.n_DoVerbForI18n(bucket, false, status);
            }, "jni/bytes_echo/" + shape, () -> sink = echoBytes(bytes));
        }
        StringBucket bucket = new StringBucket();
        compare("jni/empty_call", HbBench::empty, "jni/lookup_field_and_method",
                () -> sink = lookups(bucket));
        agent.n_terminate();
    }
}
