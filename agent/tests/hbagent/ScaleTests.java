package hbagent;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.jms.Connection;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Queue;
import javax.jms.Session;
import javax.jms.TemporaryQueue;
import javax.jms.TextMessage;
import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.broker.BrokerService;
import org.apache.activemq.store.SharedFileLocker;
import org.apache.activemq.store.kahadb.KahaDBPersistenceAdapter;

/**
 * Several "hbagent serve" processes on the SQLite sample (one database file)
 * and brokers in processes of their own, with processes killed by SIGKILL
 * while clients send requests: every request gets exactly one reply, none is
 * lost, the requests the connectors saw twice are counted, and the poll
 * lease moves to a live agent within its timeout. Each case prints a row:
 * what was killed, requests sent, replies, lost, duplicates, recovery time.
 * HB_SCALE_REQUESTS sets the request count of the request cases (default
 * 1200). With "broker DATA PORT" it is instead a broker process: it prints
 * "broker started" and runs until killed.
 */
final class ScaleTests extends ServiceCase {
    private static final long WAIT_MS = 60_000;
    private static final long LEASE_TIMEOUT_MS = 4000;

    private final Path slowConnector;
    private final int requests;
    private final List<String> rows = new ArrayList<>();

    private ScaleTests(String[] args) {
        super(args);
        slowConnector = Path.of(args[3]);
        String n = System.getenv("HB_SCALE_REQUESTS");
        requests = n == null || n.isBlank() ? 1200 : Integer.parseInt(n.trim());
        test("three agents, one broker process: an agent SIGKILLed and restarted under 4 client threads",
                this::agentKilled);
        test("the polling agent SIGKILLed: another takes the lease within the timeout, no event lost",
                this::pollerKilled);
        test("a shared-store broker pair: the active broker SIGKILLed, agents and clients fail over",
                this::brokerKilled);
        test("a handler that waits: the queue backs up on the broker, each agent holds a bounded few",
                this::slowHandler);
    }

    public static void main(String[] args) throws Exception {
        if (args.length == 3 && args[0].equals("broker")) {
            runBroker(Path.of(args[1]), Integer.parseInt(args[2]));
            return;
        }
        run(args, "ScaleTests HBAGENT CONNECTOR_LIBRARY SAMPLE_FOLDER SYNC_CONNECTOR_LIBRARY", ScaleTests::new);
    }

    /** Runs the cases, then prints their table. */
    @Override
    int runAll() {
        int failed = super.runAll();
        System.out.println("killed | requests sent | replies | lost | duplicates | recovery");
        rows.forEach(System.out::println);
        return failed;
    }

    // ---- Cases -----------------------------------------------------------------

    private void agentKilled() throws Exception {
        try (Scratch dir = new Scratch();
             BrokerProcess broker = BrokerProcess.start(dir.path.resolve("broker"), freePort())) {
            List<String> defines = agentDefines(dir, broker.url());
            List<Agent> agents = new ArrayList<>();
            try {
                startAgents(agents, 3, dir, defines);
                Load load = new Load(broker.url(), requests, 4, "K");
                load.awaitReplies(requests / 3);
                long killedAt = System.nanoTime();
                agents.get(0).close();  // SIGKILL
                Agent restarted = startAgent(dir, defines);
                agents.add(restarted);
                load.finish();
                restarted.awaitErr("serving hb.SQLiteDemo.requests");
                Result r = load.result(killedAt);
                rows.add("agent (1 of 3) | " + r.row());
                equal(0, r.lost);
                equal(0, r.extraReplies);
                // Only requests the killed agent had taken to its connector (2 consumers) come again.
                check(r.seenTwice <= 2, "at most the killed agent's in-flight requests seen twice: " + r.seenTwice);
                check(r.otherStatus == 0, "every reply is 1 (created) or -2 (created by the killed agent)");
                for (Agent a : agents.subList(1, agents.size())) {
                    equal(0, a.stop());
                }
            } finally {
                agents.forEach(Agent::close);
            }
        }
    }

    private void pollerKilled() throws Exception {
        try (Scratch dir = new Scratch();
             BrokerProcess broker = BrokerProcess.start(dir.path.resolve("broker"), freePort())) {
            List<String> defines = agentDefines(dir, broker.url());
            defines.add("agent.http.port=0");
            List<Agent> agents = new ArrayList<>();
            try (EventTap events = new EventTap(broker.url())) {
                startAgents(agents, 2, dir, defines);
                Agent poller = awaitPoller(agents, WAIT_MS);
                Agent other = agents.get(agents.get(0) == poller ? 1 : 0);
                check(metrics(poller).contains("hbagent_polling 1"), "the holder's metrics say it polls");
                check(metrics(other).contains("hbagent_polling 0"), "the other's metrics say it does not poll");
                String health = get(opsAddress(other) + "/health").body();
                check(health.contains("\"poll\":\"standby\""), "health says standby: " + health);
                int count = Math.max(40, requests / 10);
                Load load = new Load(broker.url(), count, 2, "P");
                load.awaitReplies(count / 2);
                long killedAt = System.nanoTime();
                poller.close();  // SIGKILL
                long takeover = other.awaitErr("poll lease taken", LEASE_TIMEOUT_MS + 2000);
                long takeoverMs = TimeUnit.NANOSECONDS.toMillis(takeover - killedAt);
                load.finish();
                Result r = load.result(killedAt);
                // Every created customer's event arrives; events published but not marked at the kill come again.
                Map<String, Integer> seen = events.await(r.created, WAIT_MS);
                int lostEvents = 0;
                for (String key : r.createdKeys) {
                    lostEvents += seen.containsKey(key) ? 0 : 1;
                }
                int duplicateEvents = 0;
                for (int n : seen.values()) {
                    duplicateEvents += n - 1;
                }
                rows.add("polling agent (1 of 2) | " + r.row() + " | events " + seen.size() + ", lost "
                        + lostEvents + ", duplicates " + duplicateEvents + ", lease taken over in " + takeoverMs
                        + " ms");
                equal(0, r.lost);
                equal(0, lostEvents);
                check(takeoverMs <= LEASE_TIMEOUT_MS, "the lease moved within " + LEASE_TIMEOUT_MS + " ms: "
                        + takeoverMs);
                check(metrics(other).contains("hbagent_polling 1"), "the new holder's metrics say it polls");
                equal(0, other.stop());
            } finally {
                agents.forEach(Agent::close);
            }
        }
    }

    private void brokerKilled() throws Exception {
        try (Scratch dir = new Scratch()) {
            Path store = dir.path.resolve("shared-store");
            int portA = freePort();
            int portB = freePort();
            String url = "failover:(tcp://127.0.0.1:" + portA + ",tcp://127.0.0.1:" + portB
                    + ")?randomize=false&initialReconnectDelay=100&maxReconnectDelay=1000";
            BrokerProcess active = BrokerProcess.start(store, portA);
            // The second waits for the store's lock, and listens once it has it.
            BrokerProcess standby = BrokerProcess.launch(store, portB);
            List<Agent> agents = new ArrayList<>();
            try {
                startAgents(agents, 2, dir, agentDefines(dir, url));
                int count = Math.max(100, requests / 4);
                Load load = new Load(url, count, 4, "B");
                load.awaitReplies(count / 3);
                long killedAt = System.nanoTime();
                active.close();  // SIGKILL
                standby.awaitStarted(WAIT_MS);
                load.finish();
                Result r = load.result(killedAt);
                rows.add("active broker (1 of 2, shared store) | " + r.row());
                equal(0, r.lost);
                equal(0, r.extraReplies);
                for (Agent a : agents) {
                    a.awaitErr("broker connection resumed");
                    equal(0, a.stop());
                }
            } finally {
                agents.forEach(Agent::close);
                active.close();
                standby.close();
            }
        }
    }

    private void slowHandler() throws Exception {
        final int agentCount = 2;
        final int threads = 2;
        int count = Math.max(120, requests / 10);
        try (Scratch dir = new Scratch();
             Broker broker = Broker.start(dir.path.resolve("broker"), freePort())) {
            List<Agent> agents = new ArrayList<>();
            Connection c = new ActiveMQConnectionFactory(broker.url()).createConnection();
            try {
                c.start();
                // The connector's every verb waits for this answer, which takes 20 ms.
                Session lookupSession = c.createSession(false, Session.AUTO_ACKNOWLEDGE);
                MessageProducer answers = lookupSession.createProducer(null);
                lookupSession.createConsumer(lookupSession.createQueue("hb.SyncTest.sync.Lookup"))
                        .setMessageListener(m -> {
                            try {
                                Thread.sleep(20);
                                TextMessage a = lookupSession.createTextMessage("");
                                a.setIntProperty("status", 1);
                                a.setJMSCorrelationID(m.getJMSMessageID());
                                answers.send(m.getJMSReplyTo(), a);
                            } catch (JMSException | InterruptedException e) {
                                // No answer: the verb times out and the count shows it.
                            }
                        });
                for (int i = 0; i < agentCount; ++i) {
                    agents.add(Agent.start(launcher, properties, slowConnector, dir,
                            List.of("agent.broker.url=" + broker.url(), "ConnectorName=SyncTest",
                                    "agent.serve.threads=" + threads, "agent.syncTimeout=30000"),
                            Map.of("HBAGENT_JAVA_OPTS", "-Xmx128m")));
                }
                for (Agent a : agents) {
                    a.awaitErr("serving hb.SyncTest.requests");
                }
                Session s = c.createSession(false, Session.AUTO_ACKNOWLEDGE);
                TemporaryQueue replyQueue = s.createTemporaryQueue();
                MessageConsumer in = s.createConsumer(replyQueue);
                MessageProducer out = s.createProducer(s.createQueue("hb.SyncTest.requests"));
                for (int i = 0; i < count; ++i) {
                    TextMessage m = s.createTextMessage(text("Customer { @verb Retrieve  CustomerId = \"S" + i
                            + "\" }"));
                    m.setJMSCorrelationID("S" + i);
                    m.setJMSReplyTo(replyQueue);
                    out.send(m);
                }
                long maxInFlight = 0;
                long maxQueued = 0;
                Map<String, Integer> got = new HashMap<>();
                int extra = 0;
                long end = System.currentTimeMillis() + 3 * WAIT_MS;
                while (got.size() < count && System.currentTimeMillis() < end) {
                    org.apache.activemq.broker.region.Destination q = broker.queue("hb.SyncTest.requests");
                    maxInFlight = Math.max(maxInFlight, q.getDestinationStatistics().getInflight().getCount());
                    maxQueued = Math.max(maxQueued, q.getDestinationStatistics().getMessages().getCount());
                    Message reply = in.receive(20);
                    if (reply != null && got.merge(reply.getJMSCorrelationID(), 1, Integer::sum) > 1) {
                        ++extra;
                    }
                }
                long started = System.nanoTime();
                for (Message late = in.receive(500); late != null; late = in.receive(500)) {
                    ++extra;
                }
                rows.add("nothing (handler waits 20 ms) | " + count + " | " + got.size() + " | "
                        + (count - got.size()) + " | " + extra + " extra replies | queue backed up to " + maxQueued
                        + ", at most " + maxInFlight + " in the agents at once ("
                        + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started) + " ms drain check)");
                equal(count, got.size());
                equal(0, extra);
                check(maxQueued >= count / 2, "the queue backed up on the broker: " + maxQueued);
                // One request in each consumer's connector, one more dispatched to it.
                check(maxInFlight <= (long) agentCount * threads * 2,
                        "at most " + agentCount * threads * 2 + " requests in the agents at once: " + maxInFlight);
                for (Agent a : agents) {
                    equal(0, a.stop());
                }
            } finally {
                c.close();
                agents.forEach(Agent::close);
            }
        }
    }

    // ---- Helpers -----------------------------------------------------------------

    private static List<String> agentDefines(Scratch dir, String url) {
        return new ArrayList<>(List.of("agent.broker.url=" + url, "DatabasePath=" + dir.path.resolve("customers.db"),
                "agent.serve.threads=2", "agent.pollInterval=100",
                "agent.pollLeaseTimeout=" + LEASE_TIMEOUT_MS, "AgentTraceLevel=0"));
    }

    /** Starts n agents into the list and waits until each serves. */
    private void startAgents(List<Agent> agents, int n, Scratch dir, List<String> defines) throws Exception {
        for (int i = 0; i < n; ++i) {
            agents.add(startAgent(dir, defines));
        }
        for (Agent a : agents) {
            a.awaitErr("serving hb.SQLiteDemo.requests");
        }
    }

    private Agent startAgent(Scratch dir, List<String> defines) throws IOException {
        // Without -Xcheck:jni: the JNI paths are the service tests' business; here it would only slow the agents.
        return Agent.start(launcher, properties, connector, dir, defines, Map.of("HBAGENT_JAVA_OPTS", "-Xmx256m"));
    }

    /** The agent that wrote "poll lease taken" first; exactly one may have. */
    private static Agent awaitPoller(List<Agent> agents, long ms) throws Exception {
        long end = System.currentTimeMillis() + ms;
        while (System.currentTimeMillis() < end) {
            Agent found = null;
            int holders = 0;
            for (Agent a : agents) {
                if (a.err().contains("poll lease taken")) {
                    found = a;
                    ++holders;
                }
            }
            check(holders <= 1, "one agent polls at a time");
            if (found != null) {
                // The others have joined too, and stay out.
                for (Agent a : agents) {
                    a.awaitErr("serving hb.SQLiteDemo.requests");
                }
                Thread.sleep(500);
                int after = 0;
                for (Agent a : agents) {
                    after += a.countErr("poll lease taken");
                }
                equal(1, after);
                return found;
            }
            Thread.sleep(50);
        }
        throw new AssertionError("no agent took the poll lease within " + ms + " ms");
    }

    /** What a load run saw. */
    record Result(int sent, int replies, int lost, int extraReplies, int seenTwice, int otherStatus, int created,
                  List<String> createdKeys, long recoveryMs) {
        String row() {
            return sent + " | " + replies + " | " + lost + " | " + seenTwice + " seen twice by a connector, "
                    + extraReplies + " extra replies | " + recoveryMs + " ms";
        }
    }

    /**
     * Create requests for customers PREFIX0..PREFIX(n-1) from client threads,
     * each with its own connection and reply queue, one request at a time per
     * thread; replies are counted by correlation id.
     */
    private final class Load {
        private final String url;
        private final int count;
        private final String prefix;
        private final AtomicInteger next = new AtomicInteger();
        private final AtomicInteger replies = new AtomicInteger();
        private final Map<String, Integer> replyCount = new ConcurrentHashMap<>();
        private final Map<String, Integer> status = new ConcurrentHashMap<>();
        private final Map<String, long[]> times = new ConcurrentHashMap<>();
        private final AtomicLong extra = new AtomicLong();
        private final List<Thread> workers = new ArrayList<>();
        private final List<Throwable> failures = new ArrayList<>();

        /** Starts the client threads. */
        Load(String url, int count, int threads, String prefix) {
            this.url = url;
            this.count = count;
            this.prefix = prefix;
            for (int i = 0; i < threads; ++i) {
                Thread t = new Thread(this::work, "scale-client-" + i);
                workers.add(t);
                t.start();
            }
        }

        private void work() {
            try {
                ActiveMQConnectionFactory f = new ActiveMQConnectionFactory(url);
                Connection c = f.createConnection();
                try {
                    c.start();
                    Session s = c.createSession(false, Session.AUTO_ACKNOWLEDGE);
                    // A named queue, not a temporary one: a temporary queue lives on one broker, so the
                    // replies waiting in it would be lost when that broker fails over to its standby.
                    Queue replyQueue = s.createQueue("hb.SQLiteDemo.replies." + prefix + "."
                            + Thread.currentThread().getName());
                    MessageConsumer in = s.createConsumer(replyQueue);
                    MessageProducer out = s.createProducer(s.createQueue("hb.SQLiteDemo.requests"));
                    // The whole run is bounded: once past the deadline what is left is not sent (and counts lost).
                    long deadline = System.currentTimeMillis() + 3 * WAIT_MS;
                    for (int i = next.getAndIncrement(); i < count && System.currentTimeMillis() < deadline;
                         i = next.getAndIncrement()) {
                        String key = prefix + i;
                        TextMessage m = s.createTextMessage(text("Customer { @verb Create  CustomerId = \""
                                + key + "\"  Name = \"n" + i + "\" }"));
                        m.setJMSCorrelationID(key);
                        m.setJMSReplyTo(replyQueue);
                        long sentAt = System.nanoTime();
                        out.send(m);
                        while (true) {
                            Message reply = in.receive(Math.max(1, Math.min(WAIT_MS,
                                    deadline - System.currentTimeMillis())));
                            if (reply == null) {
                                // Lost: the count at the end says so.
                                break;
                            }
                            String id = reply.getJMSCorrelationID();
                            if (replyCount.merge(id, 1, Integer::sum) > 1) {
                                extra.incrementAndGet();
                            } else {
                                replies.incrementAndGet();
                                status.put(id, reply.getIntProperty("status"));
                            }
                            if (key.equals(id)) {
                                times.put(key, new long[] {sentAt, System.nanoTime()});
                                break;
                            }
                        }
                    }
                    // Late duplicates of earlier requests would arrive here.
                    for (Message late = in.receive(1000); late != null; late = in.receive(1000)) {
                        replyCount.merge(late.getJMSCorrelationID(), 1, Integer::sum);
                        extra.incrementAndGet();
                    }
                } finally {
                    c.close();
                }
            } catch (Throwable e) {
                synchronized (failures) {
                    failures.add(e);
                }
            }
        }

        void awaitReplies(int n) throws InterruptedException {
            long end = System.currentTimeMillis() + WAIT_MS;
            while (replies.get() < n && System.currentTimeMillis() < end) {
                Thread.sleep(10);
            }
            check(replies.get() >= n, "the clients got " + n + " replies within " + WAIT_MS + " ms");
        }

        void finish() throws InterruptedException {
            for (Thread t : workers) {
                t.join(3 * WAIT_MS);
                check(!t.isAlive(), "a client thread ended");
            }
            synchronized (failures) {
                if (!failures.isEmpty()) {
                    throw new AssertionError("a client failed: " + failures.get(0), failures.get(0));
                }
            }
        }

        Result result(long killedAt) {
            int lost = 0;
            int seenTwice = 0;
            int other = 0;
            List<String> created = new ArrayList<>();
            for (int i = 0; i < count; ++i) {
                Integer st = status.get(prefix + i);
                if (st == null) {
                    ++lost;
                } else if (st == -2) {
                    // The row exists already: the connector carried this request out before.
                    ++seenTwice;
                    created.add(prefix + i);
                } else if (st == 1) {
                    created.add(prefix + i);
                } else {
                    ++other;
                }
            }
            long recovery = 0;
            for (long[] t : times.values()) {
                if (t[0] < killedAt && t[1] > killedAt) {
                    recovery = Math.max(recovery, t[1] - killedAt);
                }
            }
            return new Result(count, replies.get(), lost, (int) extra.get(), seenTwice, other, created.size(),
                    created, TimeUnit.NANOSECONDS.toMillis(recovery));
        }
    }

    /** A subscriber of the events topic that counts events by customer. */
    private static final class EventTap implements AutoCloseable {
        private static final Pattern KEY = Pattern.compile("\\b([PKB]\\d+)\\b");
        private final Connection connection;
        private final Map<String, Integer> byKey = new ConcurrentHashMap<>();

        EventTap(String url) throws JMSException {
            connection = new ActiveMQConnectionFactory(url).createConnection();
            connection.start();
            Session s = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            s.createConsumer(s.createTopic("hb.SQLiteDemo.events")).setMessageListener(m -> {
                try {
                    Matcher k = KEY.matcher(((TextMessage) m).getText());
                    if (k.find()) {
                        byKey.merge(k.group(1), 1, Integer::sum);
                    }
                } catch (JMSException | RuntimeException e) {
                    byKey.merge("unreadable", 1, Integer::sum);
                }
            });
        }

        /** Waits until events for n customers arrived (bounded), then a little more for duplicates. */
        Map<String, Integer> await(int n, long ms) throws InterruptedException {
            long end = System.currentTimeMillis() + ms;
            while (byKey.size() < n && System.currentTimeMillis() < end) {
                Thread.sleep(20);
            }
            Thread.sleep(1000);
            return new HashMap<>(byKey);
        }

        @Override
        public void close() throws JMSException { connection.close(); }
    }

    /** A persistent broker in a JVM of its own on 127.0.0.1, killed with SIGKILL at close. */
    static final class BrokerProcess implements AutoCloseable {
        private final Process process;
        private final int port;
        private final Path output;

        private BrokerProcess(Process process, int port, Path output) {
            this.process = process;
            this.port = port;
            this.output = output;
        }

        /** Starts the broker process and waits until it listens. */
        static BrokerProcess start(Path data, int port) throws Exception {
            BrokerProcess b = launch(data, port);
            b.awaitStarted(WAIT_MS);
            return b;
        }

        /** Starts the broker process; its output goes to a file beside its data folder. */
        static BrokerProcess launch(Path data, int port) throws IOException {
            String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
            Path output = data.resolveSibling("broker-" + port + ".out");
            ProcessBuilder pb = new ProcessBuilder(java, "-Xmx256m", "-cp", System.getProperty("java.class.path"),
                    ScaleTests.class.getName(), "broker", data.toString(), Integer.toString(port))
                    .redirectErrorStream(true).redirectOutput(output.toFile());
            return new BrokerProcess(pb.start(), port, output);
        }

        void awaitStarted(long ms) throws Exception {
            long end = System.currentTimeMillis() + ms;
            while (!Files.readString(output).contains("broker started")) {
                check(process.isAlive(), "the broker process runs:\n" + Files.readString(output));
                check(System.currentTimeMillis() < end, "the broker started within " + ms + " ms:\n"
                        + Files.readString(output));
                Thread.sleep(20);
            }
        }

        String url() { return "tcp://127.0.0.1:" + port; }

        @Override
        public void close() { kill(process); }
    }

    /** The broker process's main: a persistent broker; a second one on the same store waits for its lock. */
    private static void runBroker(Path data, int port) throws Exception {
        System.setProperty("org.slf4j.simpleLogger.defaultLogLevel", "error");
        BrokerService b = brokerService("scale" + port, data, true);
        KahaDBPersistenceAdapter store = new KahaDBPersistenceAdapter();
        store.setDirectory(data.resolve("kahadb").toFile());
        SharedFileLocker locker = new SharedFileLocker();
        locker.setLockAcquireSleepInterval(200);
        store.setLocker(locker);
        b.setPersistenceAdapter(store);
        b.addConnector("tcp://127.0.0.1:" + port);
        b.start();
        b.waitUntilStarted();
        System.out.println("broker started on " + port);
        System.out.flush();
        Thread.currentThread().join();
    }
}
