import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import VqCommon.ReturnStatusDescriptor;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicLong;

/**
 * The JNI load test under the java launcher (-Xcheck:jni, -Xss256k): records at and one past the
 * nesting cap, a record of 10,000 children both ways, 8 threads of 10,000 mixed native calls,
 * and 1,000 short native threads after which the thread count is back at its baseline; then the
 * JVM must exit at once (a native thread left attached would keep it waiting). Argument: the
 * connector library.
 */
public final class HbLoadTest {
    private static final char D = '\u0003';
    private static final int THREADS = 8;
    private static final int CALLS = 10_000;
    private static final int BULK = 10_000;
    private static final int CAP = 100;

    private static final AtomicLong events = new AtomicLong();
    private static final AtomicLong bulkEventItems = new AtomicLong();

    private HbLoadTest() {}

    private static void check(boolean ok, String what) { HbProcessFigures.check(ok, what); }

    /** A chain of Node records, levels deep. */
    private static String chain(int levels) {
        StringBuilder out = new StringBuilder();
        for (int level = 1; level <= levels; ++level) {
            out.append(HbProcessFigures.tokens("BusinessObject", "Node", "1.0.0", "false", level == 1 ? "Retrieve" : "null",
                              "en_US", "3", "n" + level, level < levels ? "1" : "0"));
        }
        return out.append(HbProcessFigures.tokens("VqIgnore").repeat(levels)).toString();
    }

    /** One verb request: a String goes through n_DoVerbFor, a byte[] through n_DoVerbForI18n. */
    private record Call(int result, String content, byte[] bytes, String message) {
        static Call of(BusObjNativeInterface agent, Object request) {
            ReturnStatusDescriptor status = new ReturnStatusDescriptor();
            if (request instanceof byte[] b) {
                StringBucket bucket = new StringBucket(b);
                int r = agent.n_DoVerbForI18n(bucket, false, status);
                return new Call(r, null, bucket.contentinArray, status.getErrorString());
            }
            StringBucket bucket = new StringBucket((String) request);
            int r = agent.n_DoVerbFor(bucket, false, status);
            return new Call(r, bucket.content, null, status.getErrorString());
        }
    }

    private static int count(String text, String part) {
        int n = 0;
        for (int at = text.indexOf(part); at >= 0; at = text.indexOf(part, at + part.length())) {
            ++n;
        }
        return n;
    }

    private static long millisSince(long start) {
        return (System.nanoTime() - start) / 1_000_000;
    }

    private static void deepRecords(BusObjNativeInterface agent) {
        long start = System.nanoTime();
        Call atCap = Call.of(agent, chain(CAP));
        check(atCap.result == 1 && "depth=100".equals(atCap.message),
              "record at the cap: " + atCap.result + " " + atCap.message);
        check(count(atCap.content, "BusinessObject" + D) == CAP, "record at the cap written back");
        long capMillis = millisSince(start);
        start = System.nanoTime();
        String past = chain(CAP + 1);
        Call pastCap = Call.of(agent, past);
        long pastMillis = millisSince(start);
        check(pastCap.result == -1 && past.equals(pastCap.content), "record past the cap: " + pastCap.result);
        check(pastMillis < 1000, "record past the cap took " + pastMillis + " ms");
        System.out.println("deep: " + CAP + " levels read and written in " + capMillis + " ms; " + (CAP + 1)
                           + " levels refused in " + pastMillis + " ms");
    }

    private static void bulkRecords(BusObjNativeInterface agent) {
        StringBuilder text = new StringBuilder(HbProcessFigures.tokens("BusinessObject", "Bulk", "1.0.0", "false", "Retrieve",
                                                      "en_US", "3", "B0", Integer.toString(BULK), "false"));
        for (int k = 0; k < BULK; ++k) {
            text.append(HbProcessFigures.tokens(HbProcessFigures.item("I" + k, "null", "VqIgnore")));
        }
        long start = System.nanoTime();
        Call call = Call.of(agent, text.append(HbProcessFigures.tokens("VqIgnore")).toString());
        long millis = millisSince(start);
        check(call.result == 1 && ("items=" + BULK).equals(call.message),
              "bulk request: " + call.result + " " + call.message);
        check(call.content != null && count(call.content, D + "seen" + D) == BULK,
              "bulk reply holds every labelled item");
        agent.settings().setConfigProp("LoadPollMode", "bulk");
        int polled = agent.n_poll();
        agent.settings().setConfigProp("LoadPollMode", "event");
        check(polled == 0, "bulk event answered " + polled);
        check(bulkEventItems.get() == BULK, "bulk event carried " + bulkEventItems.get() + " items");
        System.out.println("bulk: " + BULK + " children in and out in " + millis + " ms; an event of "
                           + bulkEventItems.get() + " children");
    }

    private static void worker(BusObjNativeInterface agent, int t, long[] done) {
        String own = "Own" + t;
        for (int i = 0; i < CALLS; ++i) {
            String id = "T" + t + "-" + i;
            switch (i % 10) {
                case 0, 1 -> {
                    String verb = i % 10 == 0 ? "Create" : "Retrieve";
                    Call c = Call.of(agent, HbProcessFigures.tokens(HbProcessFigures.item(id, verb, "VqIgnore")));
                    check(c.result == 1 && (verb + " " + id).equals(c.message)
                          && c.content.contains(D + verb + D + "en_US"), verb + " " + id);
                }
                case 2 -> {
                    Call c = Call.of(agent, HbProcessFigures.prefixed(HbProcessFigures.item(id, "Update", "VqIgnore")));
                    check(c.result == 1 && ("Update " + id).equals(c.message) && c.bytes != null
                          && new String(c.bytes, StandardCharsets.UTF_8).contains("6#Update"),
                          "update bytes " + id);
                }
                case 3 -> {
                    Call c = Call.of(agent, HbProcessFigures.tokens(HbProcessFigures.item(id, "Delete", "VqIgnore")));
                    check(c.result == -3 && c.message != null && c.message.endsWith("cannot delete " + id),
                          "delete " + id + ": " + c.message);
                }
                case 4 -> {
                    check(agent.n_SubscribeTo(own, "Create", i) == 0, "subscribe " + own);
                    check(agent.n_isSubscribed(own, "Create"), "subscribed " + own);
                    agent.n_SubscribeTo("Churn", "*", t);
                }
                case 5 -> {
                    check(agent.n_CancelSub(own, "1.0.0", "Create") == 0, "cancel " + own);
                    check(!agent.n_isSubscribed(own, "Create"), "cancelled " + own);
                    agent.n_CancelSub("Churn", "1.0.0", null);
                }
                case 6, 9 -> check(agent.n_poll() == 0, "poll");
                case 7 -> check(agent.n_getPerfMonitors() != null, "perf monitors");
                default -> {
                    check(agent.n_UpdateSubscription("Churn", "Update", "x", i) == 0, "update sub");
                    agent.n_isSubscribed("Item", "Create");
                }
            }
            ++done[t];
        }
    }

    public static void main(String[] args) throws Exception {
        BusObjNativeInterface agent = new BusObjNativeInterface();
        agent.settings()
            .setConfigProp("ConnectorName", "Load")
            .setConfigProp("AgentTraceLevel", "0")
            .setConfigProp("PerfLevel", "1")
            .setConfigProp("LoadPollMode", "event")
            .setEncoding("ascii7")
            .setEventResponder((text, bytes, encoding) -> {
                events.incrementAndGet();
                if (text != null && text.startsWith("BusinessObject" + D + "Bulk")) {
                    bulkEventItems.set(count(text, "BusinessObject" + D + "Item"));
                }
                return text != null && text.contains("Load_") ? 0 : 99;
            });
        System.load(args[0]);
        check(agent.n_init("4.1.0", args[0]) == 1, "n_init");
        HbProcessFigures.loadConnectorSpecs().forEach(agent::n_gotBusObjSpecI18n);
        check(agent.n_SubscribeTo("Item", "Create", 0) == 0, "subscribe Item");
        check(agent.n_SubscribeTo("Bulk", "Create", 0) == 0, "subscribe Bulk");
        agent.log().setRecording(false);

        deepRecords(agent);
        bulkRecords(agent);

        long eventsBefore = events.get();
        long[] done = new long[THREADS];
        List<Thread> workers = new ArrayList<>();
        long start = System.nanoTime();
        for (int t = 0; t < THREADS; ++t) {
            final int index = t;
            workers.add(new Thread(() -> worker(agent, index, done), "load-" + t));
            workers.get(t).start();
        }
        for (Thread worker : workers) {
            worker.join();
        }
        long millis = millisSince(start);
        long calls = java.util.Arrays.stream(done).sum();
        long polls = (long) THREADS * (CALLS / 10) * 2;
        check(calls == (long) THREADS * CALLS, "calls made: " + calls);
        check(events.get() - eventsBefore == polls, "events received " + (events.get() - eventsBefore) + " of " + polls);
        System.out.println("load: " + THREADS + " threads x " + CALLS + " calls = " + calls + " native calls in "
                           + millis + " ms; " + polls + " events published from native threads");

        int baseline = HbProcessFigures.threads();
        agent.settings().setConfigProp("LoadPollMode", "loggers");
        long upcallsBefore = agent.log().upcallCount();
        check(agent.n_poll() == 0, "poll with short threads");
        long logged = agent.log().upcallCount() - upcallsBefore;
        int after = HbProcessFigures.threadsSettledTo(baseline);
        check(after <= baseline, "threads after 1000 short native threads: " + after + ", baseline " + baseline);
        System.out.println("threads: baseline " + baseline + ", after 1000 short native threads " + after + " ("
                           + logged + " upcalls)");

        check(agent.n_terminate() == 0, "n_terminate");
        HbProcessFigures.finish("LOAD");
    }
}
