package hbagent;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import javax.jms.BytesMessage;
import javax.jms.Connection;
import javax.jms.DeliveryMode;
import javax.jms.Message;
import javax.jms.MessageProducer;
import javax.jms.Session;
import javax.jms.TextMessage;
import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.broker.BrokerService;

/**
 * hbagent request and hbagent listen against an embedded broker on a free
 * port of 127.0.0.1, with a small responder standing in for a serving agent.
 */
public final class ClientTests extends TestCase {
    private BrokerService broker;
    private Path brokerDir;
    private String url;
    private Connection responderConnection;
    /** The last request the responder saw. */
    private final AtomicReference<Message> lastRequest = new AtomicReference<>();

    static Output request(String... args) { return capture((out, err) -> RequestCommand.run(args, out, err)); }

    static Output listenNow(String... args) { return capture((out, err) -> ListenCommand.run(args, out, err)); }

    /**
     * Answers requests on hb.Echo.requests as the service would: the verb
     * "Fail" gets status -3 with a message, "Bad" an agent error, "Silent" no
     * reply, "Bytes" a record in bytes; any other verb status 1 with the
     * request's body back.
     */
    private void startResponder() throws Exception {
        responderConnection = new ActiveMQConnectionFactory(url).createConnection();
        Session session = responderConnection.createSession(false, Session.AUTO_ACKNOWLEDGE);
        MessageProducer replies = session.createProducer(null);
        session.createConsumer(session.createQueue("hb.Echo.requests")).setMessageListener(request -> {
            try {
                lastRequest.set(request);
                String verb = request.getStringProperty("verb");
                if ("Silent".equals(verb)) {
                    return;
                }
                Message reply;
                if ("Bytes".equals(verb)) {
                    BytesMessage b = session.createBytesMessage();
                    b.writeBytes(new byte[] {1, 2, (byte) 0xff});
                    reply = b;
                } else {
                    reply = session.createTextMessage(verb.equals("Fail") || verb.equals("Bad") ? ""
                            : ((TextMessage) request).getText());
                }
                switch (verb) {
                    case "Fail" -> {
                        reply.setIntProperty("status", -3);
                        reply.setStringProperty("message", "no such \"row\"");
                    }
                    case "Bad" -> {
                        reply.setIntProperty("status", -1);
                        reply.setStringProperty("error", "Orders[1].City: a number where a text belongs");
                    }
                    default -> reply.setIntProperty("status", 1);
                }
                String correlation = request.getJMSCorrelationID();
                reply.setJMSCorrelationID(correlation != null ? correlation : request.getJMSMessageID());
                replies.send(request.getJMSReplyTo(), reply);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        });
        responderConnection.start();
    }

    private void send(String dest, Message... messages) throws Exception {
        Connection c = new ActiveMQConnectionFactory(url).createConnection();
        try {
            Session s = c.createSession(false, Session.AUTO_ACKNOWLEDGE);
            MessageProducer p = s.createProducer(dest.startsWith("topic://") ? s.createTopic(dest.substring(8))
                    : s.createQueue(dest.substring(8)));
            p.setDeliveryMode(DeliveryMode.PERSISTENT);
            for (Message m : messages) {
                p.send(m);
            }
        } finally {
            c.close();
        }
    }

    /** Runs listen on another thread; returns once it has subscribed. */
    private Future<Output> listen(ExecutorService pool, String... args) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        Future<Output> f = pool.submit(() -> {
            int code = ListenCommand.run(args, new PrintStream(out, true, StandardCharsets.UTF_8),
                    new PrintStream(err, true, StandardCharsets.UTF_8));
            return new Output(code, out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8));
        });
        for (int i = 0; i < 200 && !err.toString(StandardCharsets.UTF_8).contains("listening on") && !f.isDone(); ++i) {
            Thread.sleep(50);
        }
        check(err.toString(StandardCharsets.UTF_8).contains("listening on"), "listen subscribed: " + err);
        return f;
    }

    /** For building the messages the tests send. */
    private Connection messageConnection;
    private Session session;

    ClientTests() {
        test("request: the reply's status, message and object; exit 0 for status 1, 1 for another", () -> {
            Output ok = request("--broker", url, "--queue", "hb.Echo.requests", "Customer", "Create",
                    "{\"attributes\": {\"Name\": \"caf\u00e9\"}, \"locale\": \"fr_FR\"}");
            equal(0, ok.code());
            equal("{\"status\":1,\"object\":{\"type\":\"Customer\",\"verb\":\"Create\",\"attributes\":{\"Name\":"
                    + "\"caf\u00e9\"},\"locale\":\"fr_FR\"}}\n", ok.out());
            Message sent = lastRequest.get();
            equal("Create", sent.getStringProperty("verb"));
            equal(Boolean.FALSE, sent.getObjectProperty("transactional"));
            check(sent.getJMSReplyTo() != null && sent.getJMSCorrelationID() != null, "reply-to and correlation");

            Output failed = request("--broker", url, "--queue", "hb.Echo.requests", "Customer", "Fail", "{}");
            equal(1, failed.code());
            equal("{\"status\":-3,\"message\":\"no such \\\"row\\\"\"}\n", failed.out());

            Output bytes = request("--broker", url, "--queue", "hb.Echo.requests", "--transactional", "Customer",
                    "Bytes", "{\"prior\": {}}");
            equal(0, bytes.code());
            equal("{\"status\":1,\"recordBase64\":\"AQL/\"}\n", bytes.out());
            equal(Boolean.TRUE, lastRequest.get().getObjectProperty("transactional"));
        });

        test("request: agent errors, timeouts and bad arguments exit 2; no broker exits 3", () -> {
            Output bad = request("--broker", url, "--queue", "hb.Echo.requests", "Customer", "Bad", "{}");
            equal(2, bad.code());
            check(bad.out().contains("\"status\":-1") && bad.out().contains("Orders[1].City"), bad.out());

            long start = System.nanoTime();
            Output silent = request("--broker", url, "--queue", "hb.Echo.requests", "--timeout", "1", "Customer",
                    "Silent", "{}");
            equal(2, silent.code());
            check(silent.err().contains("no reply from hb.Echo.requests within 1.0 s"), silent.err());
            check(System.nanoTime() - start < 20_000_000_000L, "the timeout ends the wait");

            List<String[]> usage = new java.util.ArrayList<>(List.of(
                    new String[] {"--broker", url, "--queue", "q", "Customer", "Create"},
                    new String[] {"--broker", url, "--queue", "q", "--timeout", "0", "C", "V", "{}"},
                    new String[] {"--broker", url, "C", "V", "{}"},
                    new String[] {"--brokr", url, "C", "V", "{}"}));
            for (String doc : List.of("{\"a\": [1,}", "[]", "{} {}", "{\"type\": \"Order\"}", "{\"verb\": {}}",
                    "@/nonexistent/x.json")) {
                usage.add(new String[] {"--broker", url, "--queue", "q", "Customer", "Create", doc});
            }
            for (String[] args : usage) {
                Output r = request(args);
                equal(2, r.code());
                check(r.err().startsWith("hbagent request: "), "says why: " + r.err());
            }
            check(request("--broker", url, "--queue", "q", "C", "V", "{\"a\": [1,}").err().contains("line 1, column"),
                    "JSON position of a bad document");
            String deep = "{\"a\":".repeat(5000) + "1" + "}".repeat(5000);
            check(request("--broker", url, "--queue", "q", "C", "V", deep).err().contains("nested deeper"),
                    "deep document refused");

            int freePort = freePort();
            Output none = request("--broker", "tcp://127.0.0.1:" + freePort, "--queue", "q", "C", "V", "{}");
            equal(3, none.code());
            check(none.err().contains("cannot connect to the broker"), none.err());
            start = System.nanoTime();
            Output failover = request("--broker", "failover:(tcp://127.0.0.1:" + freePort + ")", "--timeout", "1",
                    "--queue", "q", "C", "V", "{}");
            equal(3, failover.code());
            check(failover.err().contains("within 1.0 s"), failover.err());
            check(System.nanoTime() - start < 20_000_000_000L, "a failover URL does not wait for ever");
        });

        test("request runs with the launcher's class path alone (no broker classes)", () -> {
            String classpath = System.getProperty("hbagent.test.clientClasspath");
            check(classpath != null, "the test is given the client class path");
            Path java = Path.of(System.getProperty("java.home"), "bin", "java");
            Process child = new ProcessBuilder(java.toString(), "-cp", classpath, "hbagent.ClientTests", "request",
                    "--broker", url, "--queue", "hb.Echo.requests", "Customer", "Create", "{}")
                    .redirectErrorStream(true).start();
            String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            check(child.waitFor(60, TimeUnit.SECONDS), "the child ended");
            equal(0, child.exitValue());
            equal("{\"status\":1,\"object\":{\"type\":\"Customer\",\"verb\":\"Create\"}}\n", output);
        });

        test("request: the queue and broker from the properties file, the document from a file", () -> {
            Path props = write("echo.properties", "ConnectorName = Echo\nagent.broker.url = " + url + "\n");
            Path doc = write("doc.json", "{\n  \"attributes\": {\"Name\": \"\u65e5\u672c\"}\n}\n");
            Output ok = request("-p", props.toString(), "Customer", "Retrieve", "@" + doc);
            equal(0, ok.code());
            check(ok.out().contains("\"Name\":\"\u65e5\u672c\"") && ok.out().contains("\"verb\":\"Retrieve\""),
                    ok.out());
            Files.writeString(props, "agent.broker.url = " + url + "\n");
            Output noName = request("-p", props.toString(), "Customer", "Retrieve", "{}");
            equal(2, noName.code());
            check(noName.err().contains("no ConnectorName"), noName.err());
            Files.writeString(props, "ConnectorName = Other\nagent.serve.queue = hb.Echo.requests\n"
                    + "agent.broker.url = " + url + "\n");
            equal(0, request("-p", props.toString(), "Customer", "Retrieve", "{}").code());
        });

        test("listen: one JSON document a line, from a topic or a queue, until --count or --timeout", () -> {
            ExecutorService pool = Executors.newSingleThreadExecutor();
            try {
                Future<Output> events = listen(pool, "--broker", url, "--count", "3", "--timeout", "30",
                        "topic://hb.Echo.events");
                TextMessage pretty = session.createTextMessage("{\n  \"type\": \"Customer\",\n  \"verb\": \"Create\""
                        + ",\n  \"attributes\": {\"Name\": \"a\\nb\"}\n}");
                TextMessage record = session.createTextMessage("BusinessObject\u0003Customer\u0003");
                record.setStringProperty("type", "Customer");
                record.setStringProperty("verb", "Delete");
                record.setStringProperty("collaboration", "Sync");
                BytesMessage bytes = session.createBytesMessage();
                bytes.writeBytes(new byte[] {'e', '#', 0, (byte) 0x80});
                send("topic://hb.Echo.events", pretty, record, bytes);
                Output r = events.get(60, TimeUnit.SECONDS);
                equal(0, r.code());
                equal(String.join("\n",
                        "{\"type\":\"Customer\",\"verb\":\"Create\",\"attributes\":{\"Name\":\"a\\nb\"}}",
                        "{\"type\":\"Customer\",\"verb\":\"Delete\",\"collaboration\":\"Sync\","
                                + "\"record\":\"BusinessObject\\u0003Customer\\u0003\"}",
                        "{\"recordBase64\":\"ZSMAgA==\"}", ""), r.out());

                send("queue://hb.Echo.sync.X", session.createTextMessage("{\"n\": 1}"),
                        session.createTextMessage("{\"n\": 2}"), session.createTextMessage("{\"n\": 3}"));
                Output q = listen(pool, "--broker", url, "--count", "2", "queue://hb.Echo.sync.X")
                        .get(60, TimeUnit.SECONDS);
                equal(0, q.code());
                equal("{\"n\":1}\n{\"n\":2}\n", q.out());

                Output quiet = listen(pool, "--broker", url, "--timeout", "0.5", "topic://hb.Echo.events")
                        .get(60, TimeUnit.SECONDS);
                equal(0, quiet.code());
                equal("", quiet.out());
                Output shortOf = listen(pool, "--broker", url, "--count", "5", "--timeout", "0.5",
                        "queue://hb.Echo.sync.X").get(60, TimeUnit.SECONDS);
                equal(2, shortOf.code());
                equal("{\"n\":3}\n", shortOf.out());
                check(shortOf.err().contains("1 of 5 messages"), shortOf.err());
            } finally {
                pool.shutdownNow();
                check(pool.awaitTermination(30, TimeUnit.SECONDS), "listeners ended");
            }
            Output noScheme = listenNow("--broker", url, "hb.Echo.events");
            check(noScheme.code() == 2 && noScheme.err().contains("topic://NAME or queue://NAME"), noScheme.err());
            equal(2, listenNow("--broker", url, "--count", "0", "topic://x").code());
            equal(2, listenNow("--broker", url, "topic://").code());
        });
    }

    private void setUp() throws Exception {
        brokerDir = Files.createTempDirectory("hbagent-clients");
        broker = ServiceCase.brokerService("clients-test", brokerDir.resolve("broker"), false);
        broker.setTmpDataDirectory(brokerDir.resolve("tmp").toFile());
        broker.addConnector("tcp://127.0.0.1:0");
        broker.start();
        check(broker.waitUntilStarted(), "broker started");
        url = broker.getTransportConnectors().get(0).getPublishableConnectString();
        startResponder();
        messageConnection = new ActiveMQConnectionFactory(url).createConnection();
        session = messageConnection.createSession(false, Session.AUTO_ACKNOWLEDGE);
    }

    private void tearDown() throws Exception {
        for (Connection c : new Connection[] {responderConnection, messageConnection}) {
            if (c != null) {
                c.close();
            }
        }
        if (broker != null) {
            broker.stop();
            broker.waitUntilStopped();
        }
        if (brokerDir != null) {
            deleteTree(brokerDir);
        }
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("request")) {
            // A child JVM running the client with the launcher's class path only.
            System.exit(RequestCommand.run(java.util.Arrays.copyOfRange(args, 1, args.length)));
        }
        ClientTests tests = new ClientTests();
        int failed;
        try {
            tests.setUp();
            failed = tests.runAll();
        } finally {
            tests.tearDown();
        }
        System.exit(failed == 0 ? 0 : 1);
    }
}
