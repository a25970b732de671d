package hbagent;

import com.fasterxml.jackson.core.JsonFactory;
import com.fasterxml.jackson.core.JsonGenerator;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.io.StringWriter;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Supplier;

/**
 * The operations endpoint: GET /health and GET /metrics over HTTP, on the
 * JDK's built-in server, served by a small pool of daemon threads.
 *
 * <p>/health answers 200 when the supplied check says the service is up and
 * 503 otherwise (also when the check itself fails), with a JSON body such as
 * {"status":"up","connector":"up","broker":"connected"}. /metrics answers the
 * exposition text of a {@link ServiceMetrics}. Other paths answer 404, other
 * methods 405. The server binds to 127.0.0.1 unless told otherwise.
 */
final class OpsServer implements AutoCloseable {
    static final String DEFAULT_HOST = "127.0.0.1";
    private static final int THREADS = 2;
    private static final JsonFactory JSON = new JsonFactory();

    /** A health check's answer: up or not, with named details (such as "connector" and "broker") for the body. */
    record Health(boolean up, Map<String, String> details) {}

    private final HttpServer server;
    private final ExecutorService executor;

    /**
     * Starts serving on host:port (port 0: any free port, see {@link #port()}).
     * health is asked at each /health request, from the server's threads.
     */
    OpsServer(String host, int port, ServiceMetrics metrics, Supplier<Health> health) throws IOException {
        server = HttpServer.create(new InetSocketAddress(host, port), 16);
        AtomicInteger threadNumber = new AtomicInteger();
        executor = Executors.newFixedThreadPool(THREADS, r -> {
            Thread t = new Thread(r, "hbagent-http-" + threadNumber.incrementAndGet());
            t.setDaemon(true);
            return t;
        });
        server.setExecutor(executor);
        server.createContext("/", exchange -> {
            try {
                serve(exchange, metrics, health);
            } catch (IOException | RuntimeException e) {
                // The client went away or the answer could not be written; nothing to tell anyone.
            } finally {
                exchange.close();
            }
        });
        server.start();
    }

    /** The port the server listens on. */
    int port() { return server.getAddress().getPort(); }

    @Override
    public void close() {
        server.stop(0);
        executor.shutdownNow();
    }

    private static void serve(HttpExchange exchange, ServiceMetrics metrics, Supplier<Health> health)
            throws IOException {
        String path = exchange.getRequestURI().getPath();
        if (!path.equals("/health") && !path.equals("/metrics")) {
            answer(exchange, 404, "text/plain; charset=utf-8", "not found: GET /health or /metrics\n");
            return;
        }
        String method = exchange.getRequestMethod();
        if (!method.equals("GET") && !method.equals("HEAD")) {
            exchange.getResponseHeaders().set("Allow", "GET, HEAD");
            answer(exchange, 405, "text/plain; charset=utf-8", "method not allowed\n");
            return;
        }
        if (path.equals("/metrics")) {
            answer(exchange, 200, "text/plain; version=0.0.4; charset=utf-8", metrics.exposition());
            return;
        }
        Health h;
        try {
            h = health.get();
        } catch (RuntimeException e) {
            h = new Health(false, Map.of("error", "the health check failed: " + e));
        }
        if (h == null) {
            h = new Health(false, Map.of("error", "no health known yet"));
        }
        answer(exchange, h.up() ? 200 : 503, "application/json", healthBody(h));
    }

    static String healthBody(Health h) throws IOException {
        StringWriter text = new StringWriter();
        try (JsonGenerator g = JSON.createGenerator(text)) {
            g.writeStartObject();
            g.writeStringField("status", h.up() ? "up" : "down");
            for (Map.Entry<String, String> e : new LinkedHashMap<>(h.details() == null ? Map.of() : h.details())
                    .entrySet()) {
                if (!e.getKey().equals("status")) {
                    g.writeStringField(e.getKey(), e.getValue());
                }
            }
            g.writeEndObject();
        }
        return text.toString() + "\n";
    }

    private static void answer(HttpExchange exchange, int code, String type, String body) throws IOException {
        byte[] bytes = body.getBytes(StandardCharsets.UTF_8);
        exchange.getResponseHeaders().set("Content-Type", type);
        boolean head = exchange.getRequestMethod().equals("HEAD");
        exchange.sendResponseHeaders(code, head ? -1 : bytes.length);
        if (!head) {
            try (OutputStream out = exchange.getResponseBody()) {
                out.write(bytes);
            }
        }
    }
}
