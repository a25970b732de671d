package hbagent;

import java.net.ConnectException;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicReference;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** The metrics text and the operations endpoint, fetched over real HTTP. */
public final class OpsServerTests extends TestCase {
    static final HttpClient CLIENT = HttpClient.newBuilder().connectTimeout(Duration.ofSeconds(5)).build();

    static HttpResponse<String> get(int port, String path, String method) throws Exception {
        HttpRequest request = HttpRequest.newBuilder(URI.create("http://127.0.0.1:" + port + path))
                .timeout(Duration.ofSeconds(10)).method(method, HttpRequest.BodyPublishers.noBody()).build();
        return CLIENT.send(request, HttpResponse.BodyHandlers.ofString());
    }

    /** The value of the one sample line that starts with prefix followed by a space. */
    static double sample(String text, String prefix) {
        double found = Double.NaN;
        int seen = 0;
        for (String line : text.split("\n")) {
            if (line.startsWith(prefix + " ")) {
                found = Double.parseDouble(line.substring(prefix.length() + 1).replace("+Inf", "Infinity"));
                ++seen;
            }
        }
        check(seen == 1, seen + " lines for " + prefix + " in\n" + text);
        return found;
    }

    /** Histogram bucket counts in order, checked to be cumulative with strictly rising bounds ending in +Inf. */
    static List<Long> buckets(String text) {
        Matcher m = Pattern.compile("(?m)^hbagent_request_duration_seconds_bucket\\{le=\"([^\"]+)\"\\} (\\d+)$")
                .matcher(text);
        List<Long> counts = new ArrayList<>();
        double lastBound = -1;
        String lastLe = null;
        while (m.find()) {
            lastLe = m.group(1);
            double bound = lastLe.equals("+Inf") ? Double.POSITIVE_INFINITY : Double.parseDouble(lastLe);
            check(bound > lastBound, "bounds rise: " + lastLe);
            lastBound = bound;
            long count = Long.parseLong(m.group(2));
            check(counts.isEmpty() || count >= counts.get(counts.size() - 1), "cumulative at le=" + lastLe);
            counts.add(count);
        }
        equal("+Inf", lastLe);
        return counts;
    }

    OpsServerTests() {
        test("requests by verb and status, a cumulative latency histogram, counters, and monitors", () -> {
            ServiceMetrics m = new ServiceMetrics();
            m.requestServed("Create", 1, 300_000);           // 0.3 ms: first bucket
            m.requestServed("Create", 1, 7_000_000);         // 7 ms
            m.requestServed("Create", -1, 7_000_000);
            m.requestServed("Re\"t\\r\nieve", 1, 40_000_000_000L); // above every finite bound
            m.requestServed(null, -1, 0);
            m.eventPublished();
            m.eventPublished();
            m.eventRefused();
            m.redelivered();
            m.deadLettered();
            m.monitors(() -> Map.of("EventsProcessed", 12, "Queue \"depth\"", 2.5));
            String text = m.exposition();
            equal(2.0, sample(text, "hbagent_requests_total{verb=\"Create\",status=\"1\"}"));
            equal(1.0, sample(text, "hbagent_requests_total{verb=\"Create\",status=\"-1\"}"));
            equal(1.0, sample(text, "hbagent_requests_total{verb=\"Re\\\"t\\\\r\\nieve\",status=\"1\"}"));
            equal(1.0, sample(text, "hbagent_requests_total{verb=\"\",status=\"-1\"}"));
            List<Long> counts = buckets(text);
            equal(ServiceMetrics.BUCKETS.length + 1, counts.size());
            equal(List.of(2L, 2L), counts.subList(0, 2));           // 0 and 0.3 ms at le=0.0005 and le=0.001
            equal(4L, counts.get(counts.size() - 2));               // all but the 40 s one by le=30
            equal(5L, counts.get(counts.size() - 1));
            equal(5.0, sample(text, "hbagent_request_duration_seconds_count"));
            double sum = sample(text, "hbagent_request_duration_seconds_sum");
            check(Math.abs(sum - 40.0143) < 1e-9, "sum " + sum);
            equal(2.0, sample(text, "hbagent_events_published_total"));
            equal(1.0, sample(text, "hbagent_events_refused_total"));
            equal(1.0, sample(text, "hbagent_redeliveries_total"));
            equal(1.0, sample(text, "hbagent_dead_letters_total"));
            equal(12.0, sample(text, "hbagent_monitor{name=\"EventsProcessed\"}"));
            equal(2.5, sample(text, "hbagent_monitor{name=\"Queue \\\"depth\\\"\"}"));
            check(text.contains("# TYPE hbagent_request_duration_seconds histogram\n"), "histogram type line");
            check(text.contains("le=\"0.0005\"") && !text.contains("E-"), "bounds in plain notation");
            for (String line : text.split("\n")) {
                check(line.startsWith("# HELP hbagent_") || line.startsWith("# TYPE hbagent_")
                        || line.matches("hbagent_[a-z_]+(\\{.*\\})? [-+0-9.eEInfa]+"), "a well-formed line: " + line);
            }
            m.monitors(() -> {
                throw new IllegalStateException("library gone");
            });
            check(!m.exposition().contains("hbagent_monitor{"), "a failing monitor source is left out");
        });

        test("many verbs fold into \"other\"; counts stay exact under concurrent updates", () -> {
            ServiceMetrics m = new ServiceMetrics();
            for (int i = 0; i < ServiceMetrics.MAX_SERIES + 500; ++i) {
                m.requestServed("V" + i, 1, 1000);
            }
            String text = m.exposition();
            equal(500.0, sample(text, "hbagent_requests_total{verb=\"other\",status=\"1\"}"));
            check(text.contains("verb=\"V999\""), "the first series kept");
            check(!text.contains("verb=\"V1200\""), "no series past the bound");

            ServiceMetrics c = new ServiceMetrics();
            List<Thread> threads = new ArrayList<>();
            for (int t = 0; t < 4; ++t) {
                int n = t;
                threads.add(new Thread(() -> {
                    for (int i = 0; i < 20_000; ++i) {
                        c.requestServed(n % 2 == 0 ? "Create" : "Update", 1, i * 1000L);
                        c.eventPublished();
                    }
                }));
            }
            threads.forEach(Thread::start);
            for (int i = 0; i < 50; ++i) {
                String during = c.exposition();
                List<Long> counts = buckets(during);
                equal((double) counts.get(counts.size() - 1), sample(during, "hbagent_request_duration_seconds_count"));
            }
            for (Thread t : threads) {
                t.join(30_000);
            }
            String after = c.exposition();
            equal(40_000.0, sample(after, "hbagent_requests_total{verb=\"Create\",status=\"1\"}"));
            equal(40_000.0, sample(after, "hbagent_requests_total{verb=\"Update\",status=\"1\"}"));
            equal(80_000.0, sample(after, "hbagent_request_duration_seconds_count"));
            equal(80_000.0, sample(after, "hbagent_events_published_total"));
        });

        test("GET /health follows the check, GET /metrics serves the text, on a free port of 127.0.0.1", () -> {
            ServiceMetrics m = new ServiceMetrics();
            m.requestServed("Create", 1, 1_000_000);
            AtomicReference<OpsServer.Health> state = new AtomicReference<>(
                    new OpsServer.Health(true, Map.of("connector", "up", "broker", "connected")));
            int port;
            try (OpsServer server = new OpsServer(OpsServer.DEFAULT_HOST, 0, m, () -> {
                OpsServer.Health h = state.get();
                if (h == null) {
                    throw new IllegalStateException("no state");
                }
                return h;
            })) {
                port = server.port();
                check(port > 0, "a bound port");
                HttpResponse<String> health = get(port, "/health", "GET");
                equal(200, health.statusCode());
                equal("application/json", health.headers().firstValue("Content-Type").orElse(""));
                check(health.body().contains("\"status\":\"up\"") && health.body().contains("\"broker\":\"connected\""),
                        health.body());

                state.set(new OpsServer.Health(false, Map.of("connector", "up", "broker", "disconnected")));
                health = get(port, "/health", "GET");
                equal(503, health.statusCode());
                check(health.body().contains("\"status\":\"down\"") && health.body().contains("disconnected"),
                        health.body());
                state.set(null);
                health = get(port, "/health", "GET");
                equal(503, health.statusCode());
                check(health.body().contains("no state"), health.body());

                HttpResponse<String> metrics = get(port, "/metrics?x=1", "GET");
                equal(200, metrics.statusCode());
                check(metrics.headers().firstValue("Content-Type").orElse("").startsWith("text/plain; version=0.0.4"),
                        "exposition content type");
                equal(1.0, sample(metrics.body(), "hbagent_requests_total{verb=\"Create\",status=\"1\"}"));
                equal(405, get(port, "/metrics", "POST").statusCode());
                equal(404, get(port, "/", "GET").statusCode());
                equal(404, get(port, "/healthz", "GET").statusCode());
                equal(200, get(port, "/metrics", "HEAD").statusCode());
            }
            try {
                get(port, "/health", "GET");
                throw new AssertionError("still answering after close");
            } catch (ConnectException e) {
                // closed, as it should be
            }
        });
    }

    public static void main(String[] args) { System.exit(new OpsServerTests().runAll() == 0 ? 0 : 1); }
}
