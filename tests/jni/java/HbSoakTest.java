import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import VqCommon.ReturnStatusDescriptor;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;

/**
 * The soak: verb requests of mixed sizes in both forms from 4 threads while a fifth polls (events
 * from native threads). After the warm-up resident memory may grow by at most a bound, and
 * descriptors and threads must be back at their baseline after n_terminate. Arguments: the
 * connector library, the number of requests (HB_SOAK_REQUESTS overrides it), the bound in kB.
 */
public final class HbSoakTest {
    private static final int THREADS = 4;
    // Warm-up rounds run until one grows memory by at most SETTLED_KB (JIT and malloc arenas in
    // place), for at most half the requests; a leak never settles, so it still shows.
    private static final long WARM_UP = 100_000;
    private static final long SETTLED_KB = 512;
    private static final char D = HbProcessFigures.D;
    private static final AtomicLong events = new AtomicLong();

    private HbSoakTest() {}

    private static void check(boolean ok, String what) { HbProcessFigures.check(ok, what); }

    /** A label of 0 to about 4,000 characters, the size chosen by the request's number. */
    private static String label(long n) {
        int size = (int) ((n * 2654435761L) % 97);
        return size == 0 ? "VqBlank" : "L".repeat(size * size / 2 + 1);
    }

    /** A Bulk record with items children. */
    private static String[] bulk(String id, int items) {
        List<String> t = new ArrayList<>(List.of("BusinessObject", "Bulk", "1.0.0", "false", "Retrieve", "en_US", "3",
                                                 id, Integer.toString(items), "false"));
        for (int k = 0; k < items; ++k) {
            t.addAll(List.of(HbProcessFigures.item(id + "-" + k, "null", "VqIgnore")));
        }
        t.add("VqIgnore");
        return t.toArray(new String[0]);
    }

    private static void request(BusObjNativeInterface agent, long n) {
        String id = "S" + n;
        boolean bytes = (n & 1) != 0;
        boolean isBulk = n % 16 == 3;
        String[] tokens = isBulk ? bulk(id, (int) (n % 64)) : HbProcessFigures.item(id, "Update", label(n));
        ReturnStatusDescriptor status = new ReturnStatusDescriptor();
        int result;
        String reply;
        if (bytes) {
            StringBucket bucket = new StringBucket(HbProcessFigures.prefixed(tokens));
            result = agent.n_DoVerbForI18n(bucket, false, status);
            reply = bucket.contentinArray != null ? new String(bucket.contentinArray, StandardCharsets.UTF_8) : "";
        } else {
            StringBucket bucket = new StringBucket(HbProcessFigures.tokens(tokens));
            result = agent.n_DoVerbFor(bucket, false, status);
            reply = bucket.content != null ? bucket.content : "";
        }
        String expected = isBulk ? "items=" + (n % 64) : "Update " + id;
        check(result == 1 && expected.equals(status.getErrorString()),
              "request " + n + ": " + result + " " + status.getErrorString());
        check(reply.contains(isBulk ? "Bulk" : (bytes ? "6#Update" : D + "Update" + D)), "reply " + n);
    }

    private static void run(BusObjNativeInterface agent, long from, long to) throws InterruptedException {
        AtomicLong next = new AtomicLong(from);
        List<Thread> workers = new ArrayList<>();
        for (int t = 0; t < THREADS; ++t) {
            workers.add(new Thread(() -> {
                for (long n = next.getAndIncrement(); n < to; n = next.getAndIncrement()) {
                    request(agent, n);
                }
            }, "soak-" + t));
        }
        AtomicBoolean done = new AtomicBoolean();
        Thread poller = new Thread(() -> {
            while (!done.get()) {
                check(agent.n_poll() == 0, "poll");
            }
        }, "soak-poll");
        poller.start();
        workers.forEach(Thread::start);
        for (Thread worker : workers) {
            worker.join();
        }
        done.set(true);
        poller.join();
    }

    public static void main(String[] args) throws Exception {
        String library = args[0];
        String asked = System.getenv("HB_SOAK_REQUESTS");
        long requests = Long.parseLong(asked != null && !asked.isBlank() ? asked.trim() : args[1]);
        long boundKb = Long.parseLong(args[2]);
        BusObjNativeInterface agent = new BusObjNativeInterface();
        agent.settings()
            .setConfigProp("ConnectorName", "Soak")
            .setConfigProp("AgentTraceLevel", "0")
            .setConfigProp("PerfLevel", "1")
            .setConfigProp("LoadPollMode", "event")
            .setEncoding("ascii7")
            .setEventResponder((text, bytes, encoding) -> {
                events.incrementAndGet();
                return text != null && text.contains("Soak_") ? 0 : 99;
            });
        agent.log().setRecording(false);
        System.load(library);
        int threadsStart = HbProcessFigures.threads();
        check(agent.n_init("4.1.0", library) == 1, "n_init");
        HbProcessFigures.loadConnectorSpecs().forEach(agent::n_gotBusObjSpecI18n);
        check(agent.n_SubscribeTo("Item", "Create", 0) == 0, "subscribe Item");
        long rssStart = HbProcessFigures.residentKb();

        long start = System.nanoTime();
        long warmUp = 0;
        long rssWarm = rssStart;
        while (warmUp < requests / 2) {
            long next = Math.min(requests / 2, warmUp + WARM_UP);
            run(agent, warmUp, next);
            warmUp = next;
            long rss = HbProcessFigures.residentKb();
            boolean settled = rss - rssWarm <= SETTLED_KB;
            rssWarm = rss;
            if (settled) {
                break;
            }
        }
        // The JVM opens descriptors of its own on first use of some paths: count after the warm-up.
        int fdsStart = HbProcessFigures.descriptors();
        String fdsStartTargets = HbProcessFigures.descriptorTargets();
        long eventsWarm = events.get();
        run(agent, warmUp, requests);
        long millis = (System.nanoTime() - start) / 1_000_000;
        long rssEnd = HbProcessFigures.residentKb();
        check(events.get() > eventsWarm, "events published during the soak");
        check(agent.n_terminate() == 0, "n_terminate");
        int threadsEnd = HbProcessFigures.threadsSettledTo(threadsStart);
        int fdsEnd = HbProcessFigures.descriptors();
        long growth = rssEnd - rssWarm;
        System.out.println("soak: " + requests + " requests from " + THREADS + " threads and " + events.get()
                           + " events in " + millis + " ms; VmRSS start " + rssStart + " kB, after warm-up ("
                           + warmUp + " requests) " + rssWarm + " kB, end " + rssEnd + " kB, growth " + growth
                           + " kB (bound " + boundKb + " kB); threads " + threadsStart + " -> " + threadsEnd
                           + "; descriptors " + fdsStart + " -> " + fdsEnd);
        check(growth <= boundKb, "resident memory grew by " + growth + " kB after the warm-up");
        check(threadsEnd <= threadsStart, "threads " + threadsStart + " -> " + threadsEnd);
        check(fdsEnd <= fdsStart, "descriptors " + fdsStart + " -> " + fdsEnd + ": before " + fdsStartTargets
                                  + "; after " + HbProcessFigures.descriptorTargets());
        HbProcessFigures.finish("SOAK");
    }
}
