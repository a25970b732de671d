package hbbench;

import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import javax.jms.Connection;
import javax.jms.DeliveryMode;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Queue;
import javax.jms.Session;
import javax.jms.TextMessage;
import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.broker.BrokerService;

/**
 * The service benchmark: requests per second and latency percentiles through
 * "hbagent serve" (a connector that returns its object unchanged, and the
 * SQLite sample's Retrieve; JSON wire) next to a bare
 * JMS echo consumer on the same broker in the same run, the floor. Both serve
 * with 4 consumers in transacted sessions (reply and acknowledgement in one
 * commit) in their own JVM; closed-loop clients send requests and wait for
 * their replies, with persistent and with non-persistent messages. Then
 * events per second: customers created in a batch, the time from the first
 * to the last of their events on a queue.
 *
 * <p>Usage: ServiceBench HBAGENT SQLITE_CONNECTOR UNCHANGED_CONNECTOR PROPERTIES [SECONDS [CLIENTS]],
 * or ServiceBench echo URL QUEUE THREADS (the floor's process), or
 * ServiceBench scale HBAGENT UNCHANGED_CONNECTOR PROPERTIES [SECONDS [CLIENTS]]: 1, 2 and 3 agents
 * on one broker in a process of its own, next to the echo floor, with the
 * CPU time each process spent per request; or ServiceBench broker DATA PORT
 * (that broker's process).
 */
public final class ServiceBench {
    private static final String RETRIEVE = "{\"type\":\"Customer\",\"verb\":\"Retrieve\","
            + "\"attributes\":{\"CustomerId\":\"C1\"}}";

    private ServiceBench() {}

    public static void main(String[] args) throws Exception {
        if (args.length == 4 && args[0].equals("echo")) {
            echo(args[1], args[2], Integer.parseInt(args[3]));
            return;
        }
        if (args.length == 3 && args[0].equals("broker")) {
            broker(Path.of(args[1]), Integer.parseInt(args[2]));
            return;
        }
        if (args.length >= 4 && args[0].equals("scale")) {
            scale(args);
            return;
        }
        if (args.length < 4) {
            System.err.println("usage: ServiceBench HBAGENT SQLITE_CONNECTOR UNCHANGED_CONNECTOR PROPERTIES"
                    + " [SECONDS [CLIENTS]]");
            System.exit(2);
        }
        int seconds = args.length > 4 ? Integer.parseInt(args[4]) : 5;
        int clients = args.length > 5 ? Integer.parseInt(args[5]) : 8;
        Path dir = Files.createTempDirectory("hb-service-bench-");
        int port;
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            port = s.getLocalPort();
        }
        String url = "tcp://127.0.0.1:" + port;
        BrokerService broker = new BrokerService();
        broker.setBrokerName("bench");
        broker.setDataDirectoryFile(dir.resolve("broker").toFile());
        broker.setUseJmx(false);
        broker.setUseShutdownHook(false);
        broker.addConnector(url);
        broker.start();
        broker.waitUntilStarted();
        List<Process> processes = new ArrayList<>();
        try {
            String classpath = System.getProperty("java.class.path");
            processes.add(new ProcessBuilder("java", "-cp", classpath, "hbbench.ServiceBench", "echo", url,
                    "bench.echo", "4").redirectOutput(ProcessBuilder.Redirect.DISCARD)
                    .redirectError(dir.resolve("echo.err").toFile()).start());
            Process unchanged = new ProcessBuilder("/bin/sh", args[0], "serve", "-p", args[3], "-c", args[2],
                    "-D", "agent.broker.url=" + url, "-D", "ConnectorName=Unchanged", "-D", "AgentTraceLevel=0",
                    "-D", "PerfLevel=0")
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                    .redirectError(dir.resolve("unchanged.err").toFile()).start();
            processes.add(unchanged);
            Process agent = new ProcessBuilder("/bin/sh", args[0], "serve", "-p", args[3], "-c", args[1],
                    "-D", "agent.broker.url=" + url, "-D", "DatabasePath=" + dir.resolve("customers.db"),
                    "-D", "agent.pollInterval=10", "-D", "PollQuantity=100", "-D", "AgentTraceLevel=0",
                    "-D", "agent.collaboration.CustomerSync.destination=queue:bench.events")
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(dir.resolve("agent.err").toFile())
                    .start();
            processes.add(agent);
            awaitLine(dir.resolve("agent.err"), "serving ", agent);
            awaitLine(dir.resolve("unchanged.err"), "serving ", unchanged);
            String queue = "hb.SQLiteDemo.requests";
            try (Client seed = new Client(url, queue)) {
                seed.call("{\"type\":\"Customer\",\"verb\":\"Create\",\"attributes\":"
                        + "{\"CustomerId\":\"C1\",\"Name\":\"Ada\"}}", DeliveryMode.PERSISTENT);
            }
            System.out.println("service benchmark: " + clients + " closed-loop clients, " + seconds
                    + " s per run after 2 s of warm-up, 4 consumers each side; "
                    + Runtime.getRuntime().availableProcessors() + " processors");
            System.out.println();
            System.out.println("| messages | path | requests/s | p50 ms | p99 ms | ratio to echo |");
            System.out.println("|---|---|---:|---:|---:|---:|");
            for (int mode : new int[] {DeliveryMode.PERSISTENT, DeliveryMode.NON_PERSISTENT}) {
                String name = mode == DeliveryMode.PERSISTENT ? "persistent" : "non-persistent";
                // Alternate echo and agent twice; keep each one's better run.
                Result echo = null;
                Result same = null;
                Result served = null;
                for (int round = 0; round < 2; ++round) {
                    echo = best(echo, run(url, "bench.echo", RETRIEVE, mode, clients, seconds, 2));
                    same = best(same, run(url, "hb.Unchanged.requests", RETRIEVE, mode, clients, seconds, 2));
                    served = best(served, run(url, queue, RETRIEVE, mode, clients, seconds, 2));
                }
                System.out.println(row(name, "bare JMS echo (floor)", echo, echo));
                System.out.println(row(name, "hbagent serve, object unchanged, JSON", same, echo));
                System.out.println(row(name, "hbagent serve, SQLite Retrieve, JSON", served, echo));
            }
            System.out.println();
            events(url, queue, 2000);
        } finally {
            for (Process p : processes) {
                p.destroy();
                if (!p.waitFor(60, TimeUnit.SECONDS)) {
                    p.destroyForcibly();
                }
            }
            broker.stop();
            broker.waitUntilStopped();
            try (Stream<Path> all = Files.walk(dir)) {
                for (Path p : all.sorted(Comparator.reverseOrder()).toList()) {
                    Files.deleteIfExists(p);
                }
            }
        }
    }

    record Result(long count, double perSecond, double p50, double p99, long calls) {}

    private static Result best(Result a, Result b) { return a == null || b.perSecond > a.perSecond ? b : a; }

    private static String row(String mode, String path, Result r, Result floor) {
        return String.format("| %s | %s | %.0f | %.2f | %.2f | %.2f |", mode, path, r.perSecond, r.p50, r.p99,
                r.perSecond / floor.perSecond);
    }

    /** Closed-loop clients for warmup + seconds; latencies of the measured part only. */
    private static Result run(String url, String queue, String body, int mode, int clients, int seconds, int warmup)
            throws Exception {
        long start = System.nanoTime() + TimeUnit.SECONDS.toNanos(warmup);
        long end = start + TimeUnit.SECONDS.toNanos(seconds);
        List<long[]> all = new ArrayList<>();
        int[] counts = new int[clients];
        int[] calls = new int[clients];
        List<Thread> threads = new ArrayList<>();
        CountDownLatch ready = new CountDownLatch(clients);
        Exception[] failure = new Exception[1];
        for (int c = 0; c < clients; ++c) {
            long[] latencies = new long[1 << 20];
            all.add(latencies);
            int index = c;
            Thread t = new Thread(() -> {
                try (Client client = new Client(url, queue)) {
                    ready.countDown();
                    int n = 0;
                    long now;
                    do {
                        long sent = System.nanoTime();
                        client.call(body, mode);
                        ++calls[index];
                        now = System.nanoTime();
                        if (sent >= start && now <= end && n < latencies.length) {
                            latencies[n++] = now - sent;
                        }
                    } while (now < end);
                    counts[index] = n;
                } catch (Exception e) {
                    failure[0] = e;
                }
            });
            threads.add(t);
            t.start();
        }
        for (Thread t : threads) {
            t.join();
        }
        if (failure[0] != null) {
            throw failure[0];
        }
        int total = Arrays.stream(counts).sum();
        long[] merged = new long[total];
        int at = 0;
        for (int c = 0; c < clients; ++c) {
            System.arraycopy(all.get(c), 0, merged, at, counts[c]);
            at += counts[c];
        }
        Arrays.sort(merged);
        double p50 = total == 0 ? 0 : merged[(int) (total * 0.50)] / 1e6;
        double p99 = total == 0 ? 0 : merged[Math.min(total - 1, (int) (total * 0.99))] / 1e6;
        return new Result(total, seconds == 0 ? total : total / (double) seconds, p50, p99,
                Arrays.stream(calls).sum());
    }

    /**
     * 1, 2 and 3 agents (the unchanged connector, 4 consumers each) on one
     * broker in its own JVM, next to the bare echo floor (4 consumers), all
     * persistent. CPU per request: each process's CPU time over the run
     * (warm-up included) divided by the requests of the run.
     */
    private static void scale(String[] args) throws Exception {
        String hbagent = args[1];
        String connector = args[2];
        String properties = args[3];
        int seconds = args.length > 4 ? Integer.parseInt(args[4]) : 5;
        int clients = args.length > 5 ? Integer.parseInt(args[5]) : 8;
        Path dir = Files.createTempDirectory("hb-scale-bench-");
        int port;
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            port = s.getLocalPort();
        }
        String url = "tcp://127.0.0.1:" + port;
        String classpath = System.getProperty("java.class.path");
        List<Process> processes = new ArrayList<>();
        try {
            Process broker = new ProcessBuilder("java", "-cp", classpath, "hbbench.ServiceBench", "broker",
                    dir.resolve("broker").toString(), Integer.toString(port))
                    .redirectOutput(dir.resolve("broker.out").toFile()).redirectErrorStream(true).start();
            processes.add(broker);
            awaitLine(dir.resolve("broker.out"), "broker started", broker);
            Process echo = new ProcessBuilder("java", "-cp", classpath, "hbbench.ServiceBench", "echo", url,
                    "bench.echo", "4").redirectOutput(ProcessBuilder.Redirect.DISCARD)
                    .redirectError(dir.resolve("echo.err").toFile()).start();
            processes.add(echo);
            System.out.println("scale benchmark: " + clients + " closed-loop clients, " + seconds
                    + " s per run after 2 s of warm-up, persistent messages, broker in its own JVM; "
                    + Runtime.getRuntime().availableProcessors() + " processors");
            System.out.println();
            System.out.println("| path | requests/s | p50 ms | p99 ms | ratio to echo | broker CPU ms/req"
                    + " | agents (or echo) CPU ms/req | clients CPU ms/req |");
            System.out.println("|---|---:|---:|---:|---:|---:|---:|---:|");
            Thread.sleep(2000);
            Result floor = measured("bare JMS echo (floor)", url, "bench.echo", clients, seconds, broker,
                    List.of(echo), null);
            echo.destroy();
            echo.waitFor(30, TimeUnit.SECONDS);
            List<Process> agents = new ArrayList<>();
            for (int n = 1; n <= 3; ++n) {
                Path err = dir.resolve("agent" + n + ".err");
                Process agent = new ProcessBuilder("/bin/sh", hbagent, "serve", "-p", properties, "-c", connector,
                        "-D", "agent.broker.url=" + url, "-D", "ConnectorName=Unchanged", "-D", "AgentTraceLevel=0",
                        "-D", "PerfLevel=0").redirectOutput(ProcessBuilder.Redirect.DISCARD)
                        .redirectError(err.toFile()).start();
                processes.add(agent);
                agents.add(agent);
                awaitLine(err, "serving ", agent);
                measured("hbagent serve x" + n + ", object unchanged, JSON", url, "hb.Unchanged.requests", clients,
                        seconds, broker, agents, floor);
            }
        } finally {
            for (Process p : processes) {
                p.destroy();
                if (!p.waitFor(60, TimeUnit.SECONDS)) {
                    p.destroyForcibly();
                }
            }
            try (Stream<Path> all = Files.walk(dir)) {
                for (Path p : all.sorted(Comparator.reverseOrder()).toList()) {
                    Files.deleteIfExists(p);
                }
            }
        }
    }

    private static Result measured(String path, String url, String queue, int clients, int seconds, Process broker,
                                   List<Process> servers, Result floor) throws Exception {
        long brokerBefore = cpu(broker.toHandle());
        long serversBefore = 0;
        for (Process p : servers) {
            serversBefore += cpu(p.toHandle());
        }
        long selfBefore = cpu(ProcessHandle.current());
        Result r = run(url, queue, RETRIEVE, DeliveryMode.PERSISTENT, clients, seconds, 2);
        long serversAfter = 0;
        for (Process p : servers) {
            serversAfter += cpu(p.toHandle());
        }
        double n = Math.max(1, r.calls());
        System.out.println(String.format("| %s | %.0f | %.2f | %.2f | %.2f | %.3f | %.3f | %.3f |", path,
                r.perSecond, r.p50, r.p99, floor == null ? 1.0 : r.perSecond / floor.perSecond,
                (cpu(broker.toHandle()) - brokerBefore) / 1e6 / n, (serversAfter - serversBefore) / 1e6 / n,
                (cpu(ProcessHandle.current()) - selfBefore) / 1e6 / n));
        return r;
    }

    /** A process's CPU time so far in nanoseconds (0 when the system does not say). */
    private static long cpu(ProcessHandle p) {
        return p.info().totalCpuDuration().map(java.time.Duration::toNanos).orElse(0L);
    }

    /** A persistent broker alone in this process, until it is killed. */
    private static void broker(Path data, int port) throws Exception {
        BrokerService b = new BrokerService();
        b.setBrokerName("bench" + port);
        b.setDataDirectoryFile(data.toFile());
        b.setUseJmx(false);
        b.setUseShutdownHook(false);
        b.addConnector("tcp://127.0.0.1:" + port);
        b.start();
        b.waitUntilStarted();
        System.out.println("broker started");
        System.out.flush();
        Thread.currentThread().join();
    }

    /** Creates count customers, then times their events from the first to the last. */
    private static void events(String url, String queue, int count) throws Exception {
        try (Client client = new Client(url, queue)) {
            Session s = client.connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            MessageConsumer events = s.createConsumer(s.createQueue("bench.events"));
            while (events.receive(200) != null) {
                // The seed customer's event.
            }
            for (int i = 0; i < count; ++i) {
                client.call("{\"type\":\"Customer\",\"verb\":\"Create\",\"attributes\":{\"CustomerId\":\"E" + i
                        + "\",\"Name\":\"N\"}}", DeliveryMode.NON_PERSISTENT);
            }
            Message first = events.receive(30_000);
            long start = System.nanoTime();
            int received = first == null ? 0 : 1;
            while (received < count && events.receive(30_000) != null) {
                ++received;
            }
            double seconds = (System.nanoTime() - start) / 1e9;
            System.out.printf("events: %d of %d Create events from the SQLite sample (poll every 10 ms, 100 a poll,"
                    + " each sent persistently and confirmed before the connector marks it): %.0f events/s%n",
                    received, count, (received - 1) / seconds);
        }
    }

    /** The floor: transacted consumers that send the request's text back as the reply. */
    private static void echo(String url, String queue, int threads) throws Exception {
        Connection connection = new ActiveMQConnectionFactory(url).createConnection();
        ((org.apache.activemq.ActiveMQConnection) connection).getPrefetchPolicy().setQueuePrefetch(1);
        connection.start();
        List<Thread> all = new ArrayList<>();
        for (int i = 0; i < threads; ++i) {
            Thread t = new Thread(() -> {
                try {
                    Session session = connection.createSession(true, Session.SESSION_TRANSACTED);
                    MessageConsumer consumer = session.createConsumer(session.createQueue(queue));
                    MessageProducer replies = session.createProducer(null);
                    while (true) {
                        Message request = consumer.receive();
                        TextMessage reply = session.createTextMessage(((TextMessage) request).getText());
                        reply.setIntProperty("status", 1);
                        reply.setJMSCorrelationID(request.getJMSMessageID());
                        replies.send(request.getJMSReplyTo(), reply, request.getJMSDeliveryMode(),
                                Message.DEFAULT_PRIORITY, Message.DEFAULT_TIME_TO_LIVE);
                        session.commit();
                    }
                } catch (JMSException e) {
                    // The connection closes when the process ends.
                }
            });
            all.add(t);
            t.start();
        }
        for (Thread t : all) {
            t.join();
        }
    }

    private static void awaitLine(Path file, String text, Process process) throws Exception {
        long end = System.currentTimeMillis() + 60_000;
        while (!Files.exists(file) || !Files.readString(file).contains(text)) {
            if (!process.isAlive() || System.currentTimeMillis() > end) {
                throw new IllegalStateException("hbagent serve did not start: "
                        + (Files.exists(file) ? Files.readString(file) : ""));
            }
            Thread.sleep(100);
        }
    }

    /** One requester with its own connection and reply queue. */
    static final class Client implements AutoCloseable {
        final Connection connection;
        private final Session session;
        private final MessageProducer producer;
        private final Queue replies;
        private final MessageConsumer consumer;

        Client(String url, String queue) throws JMSException {
            connection = new ActiveMQConnectionFactory(url).createConnection();
            connection.start();
            session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            producer = session.createProducer(session.createQueue(queue));
            replies = session.createTemporaryQueue();
            consumer = session.createConsumer(replies);
        }

        void call(String body, int mode) throws JMSException {
            TextMessage m = session.createTextMessage(body);
            m.setJMSReplyTo(replies);
            producer.send(m, mode, Message.DEFAULT_PRIORITY, Message.DEFAULT_TIME_TO_LIVE);
            Message reply = consumer.receive(30_000);
            if (reply == null || reply.getIntProperty("status") != 1) {
                throw new IllegalStateException("no reply or a failed one: " + reply);
            }
        }

        @Override
        public void close() throws JMSException { connection.close(); }
    }
}
