package hbagent;

import java.math.BigDecimal;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.LongAdder;
import java.util.function.Supplier;

/**
 * The service's counters and its request latency histogram, written in the
 * Prometheus text exposition format. Every method is safe to call from any
 * thread. No value of a business object ever becomes a label: the labels are
 * verb names, status codes and the names of the library's performance
 * monitors.
 *
 * <p>Verbs come from request messages, so a client could send any number of
 * different ones; past {@link #MAX_SERIES} verb and status pairs, new pairs
 * are counted under the verb "other" to keep the memory bounded.
 */
final class ServiceMetrics {
    /** Upper bounds of the latency buckets, in seconds. */
    static final double[] BUCKETS = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10,
                                     30};
    static final int MAX_SERIES = 1000;
    static final String OTHER_VERB = "other";

    private record RequestKey(String verb, int status) {}

    private final ConcurrentHashMap<RequestKey, LongAdder> requests = new ConcurrentHashMap<>();
    private final LongAdder eventsPublished = new LongAdder();
    private final LongAdder eventsRefused = new LongAdder();
    private final LongAdder redeliveries = new LongAdder();
    private final LongAdder deadLetters = new LongAdder();
    private volatile java.util.function.BooleanSupplier polling;
    /** Per bucket, not cumulative; the last one is +Inf. Guarded by this histogram's lock with sum and count. */
    private final long[] bucketCounts = new long[BUCKETS.length + 1];
    private double latencySum;
    private long latencyCount;
    private final Object histogramLock = new Object();
    private volatile Supplier<Map<String, ? extends Number>> monitors = Map::of;

    /** One request served: its verb (null: none), its status and how long it took. */
    void requestServed(String verb, int status, long nanos) {
        RequestKey key = new RequestKey(verb == null ? "" : verb, status);
        LongAdder counter = requests.get(key);
        if (counter == null) {
            if (requests.size() >= MAX_SERIES) {
                key = new RequestKey(OTHER_VERB, status);
            }
            counter = requests.computeIfAbsent(key, k -> new LongAdder());
        }
        counter.increment();
        double seconds = Math.max(0, nanos) / 1e9;
        int bucket = 0;
        while (bucket < BUCKETS.length && seconds > BUCKETS[bucket]) {
            ++bucket;
        }
        synchronized (histogramLock) {
            ++bucketCounts[bucket];
            latencySum += seconds;
            ++latencyCount;
        }
    }

    void eventPublished() { eventsPublished.increment(); }

    /** Whether this agent polls, read at each scrape (not set: the connector does not poll). */
    void polling(java.util.function.BooleanSupplier source) { polling = source; }

    void eventRefused() { eventsRefused.increment(); }

    void redelivered() { redeliveries.increment(); }

    void deadLettered() { deadLetters.increment(); }

    /**
     * Where the library's performance monitors come from, read at each
     * scrape: monitor name to value. A supplier that fails leaves the
     * monitors out of that scrape.
     */
    void monitors(Supplier<Map<String, ? extends Number>> source) { monitors = source == null ? Map::of : source; }

    /** Everything in the text exposition format. */
    String exposition() {
        StringBuilder out = new StringBuilder(4096);
        header(out, "hbagent_requests_total", "counter", "Verb requests served, by verb and status.");
        Map<RequestKey, Long> sorted = new TreeMap<>((a, b) -> a.verb().equals(b.verb())
                ? Integer.compare(a.status(), b.status()) : a.verb().compareTo(b.verb()));
        requests.forEach((k, v) -> sorted.put(k, v.sum()));
        for (Map.Entry<RequestKey, Long> e : sorted.entrySet()) {
            out.append("hbagent_requests_total{verb=\"").append(escape(e.getKey().verb())).append("\",status=\"")
                    .append(e.getKey().status()).append("\"} ").append(e.getValue()).append('\n');
        }

        long[] counts;
        double sum;
        long count;
        synchronized (histogramLock) {
            counts = bucketCounts.clone();
            sum = latencySum;
            count = latencyCount;
        }
        header(out, "hbagent_request_duration_seconds", "histogram",
                "Time from taking a request to sending its reply.");
        long cumulative = 0;
        for (int i = 0; i <= BUCKETS.length; ++i) {
            cumulative += counts[i];
            String le = i < BUCKETS.length ? BigDecimal.valueOf(BUCKETS[i]).stripTrailingZeros().toPlainString()
                    : "+Inf";
            out.append("hbagent_request_duration_seconds_bucket{le=\"").append(le).append("\"} ").append(cumulative)
                    .append('\n');
        }
        out.append("hbagent_request_duration_seconds_sum ").append(number(sum)).append('\n');
        out.append("hbagent_request_duration_seconds_count ").append(count).append('\n');

        counter(out, "hbagent_events_published_total", "Events the broker confirmed.", eventsPublished.sum());
        counter(out, "hbagent_events_refused_total", "Events answered with a failure (the connector keeps them).",
                eventsRefused.sum());
        counter(out, "hbagent_redeliveries_total", "Requests received again after a failed delivery.",
                redeliveries.sum());
        counter(out, "hbagent_dead_letters_total", "Requests given up and sent to the dead-letter queue.",
                deadLetters.sum());

        java.util.function.BooleanSupplier p = polling;
        if (p != null) {
            header(out, "hbagent_polling", "gauge", "1 while this agent holds the poll lease and polls, else 0.");
            out.append("hbagent_polling ").append(p.getAsBoolean() ? 1 : 0).append('\n');
        }

        List<Map.Entry<String, ? extends Number>> values = new ArrayList<>();
        try {
            Map<String, ? extends Number> read = monitors.get();
            if (read != null) {
                values.addAll(new TreeMap<>(read).entrySet());
            }
        } catch (RuntimeException e) {
            values.clear();
        }
        header(out, "hbagent_monitor", "gauge", "The library's performance monitors, by name.");
        for (Map.Entry<String, ? extends Number> e : values) {
            if (e.getKey() != null && e.getValue() != null) {
                out.append("hbagent_monitor{name=\"").append(escape(e.getKey())).append("\"} ")
                        .append(number(e.getValue().doubleValue())).append('\n');
            }
        }
        return out.toString();
    }

    private static void header(StringBuilder out, String name, String type, String help) {
        out.append("# HELP ").append(name).append(' ').append(help).append('\n');
        out.append("# TYPE ").append(name).append(' ').append(type).append('\n');
    }

    private static void counter(StringBuilder out, String name, String help, long value) {
        header(out, name, "counter", help);
        out.append(name).append(' ').append(value).append('\n');
    }

    /** A label value: backslash, double quote and line feed escaped, as the format requires. */
    static String escape(String value) {
        StringBuilder out = new StringBuilder(value.length());
        for (int i = 0; i < value.length(); ++i) {
            char c = value.charAt(i);
            switch (c) {
                case '\\' -> out.append("\\\\");
                case '"' -> out.append("\\\"");
                case '\n' -> out.append("\\n");
                default -> out.append(c);
            }
        }
        return out.toString();
    }

    /** A sample value: integral values without a fraction, NaN and infinities spelled as the format spells them. */
    static String number(double value) {
        if (Double.isNaN(value)) {
            return "NaN";
        }
        if (Double.isInfinite(value)) {
            return value > 0 ? "+Inf" : "-Inf";
        }
        if (value == Math.rint(value) && Math.abs(value) < 1e15) {
            return Long.toString((long) value);
        }
        return Double.toString(value);
    }
}
