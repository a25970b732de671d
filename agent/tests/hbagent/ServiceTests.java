package hbagent;

import java.io.IOException;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashMap;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;
import javax.jms.BytesMessage;
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
 * "hbagent serve" against the SQLite sample connector, each case with its
 * own broker on a free port in a temporary folder: the four verbs in both
 * agent encodings, events (also across a stop between publishing and
 * marking), bad requests, the broker going away behind a failover URL,
 * SIGTERM during a burst, and a connector that does not start. The agent
 * runs in its own JVM under -Xcheck:jni; any JNI warning fails the case.
 *
 * <p>Arguments: the hbagent launcher, the sample connector library and the
 * sample's source folder.
 */
final class ServiceTests extends TestCase {
    private static final Charset UTF8 = StandardCharsets.UTF_8;
    private static final long WAIT_MS = 30_000;

    private final Path launcher;
    private final Path connectorLibrary;
    private final Path syncConnectorLibrary;
    private final Path properties;
    private final Map<String, Spec> specs = new LinkedHashMap<>();
    /** Whether the current case runs the JSON wire (requests, replies and events as documents). */
    private boolean json;

    private ServiceTests(Path launcher, Path connectorLibrary, Path sample, Path syncConnectorLibrary) {
        this.launcher = launcher;
        this.connectorLibrary = connectorLibrary;
        this.syncConnectorLibrary = syncConnectorLibrary;
        this.properties = sample.resolve("demo.properties");
        for (Spec s : Scenario.loadSpecs(sample.resolve("customer.spec"), UTF8)) {
            specs.put(s.name(), s);
        }

        test("four verbs, text agent, record wire; events on the default topic", () -> verbs(false, false));
        test("four verbs, byte agent, record wire; events on a configured queue", () -> verbs(true, false));
        test("four verbs, text agent, JSON wire; operations endpoint", () -> verbs(false, true));
        test("four verbs, byte agent, JSON wire", () -> verbs(true, true));
        test("bad JSON requests get error replies naming the place", this::badJson);
        test("bad requests get error replies and the agent keeps serving", this::badRequests);
        test("an unanswerable reply is retried, then dead-lettered", () -> deadLetter(null));
        test("... or moved to a configured dead-letter queue", () -> deadLetter("test.dead"));
        test("events: a stop between publishing and marking publishes the event again", this::eventsAcrossStop);
        test("broker stopped and started behind a failover URL", this::brokerRestart);
        test("SIGTERM during a burst: every answered request acknowledged, the others served later", this::burst);
        test("SIGTERM while the broker is away: the agent still ends, with status 0", this::stopWhileAway);
        test("the embedded broker: started on the listen URL, serves, stops with the agent", this::embedded);
        test("a connector whose n_init fails: exit status 2 with the reason", this::initFails);
        test("a listen or operations port in use: exit status 2 with the reason", this::portsInUse);
        test("consumeSync: JMS request/reply, and a timeout without a reply", this::synchronousRequests);
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 4) {
            System.err.println("usage: ServiceTests HBAGENT CONNECTOR_LIBRARY SAMPLE_FOLDER SYNC_CONNECTOR_LIBRARY");
            System.exit(2);
        }
        System.setProperty("org.slf4j.simpleLogger.defaultLogLevel", "error");
        ServiceTests t = new ServiceTests(Path.of(args[0]), Path.of(args[1]), Path.of(args[2]), Path.of(args[3]));
        System.exit(t.runAll() == 0 ? 0 : 1);
    }

    // ---- Cases -----------------------------------------------------------------

    private void verbs(boolean bytes, boolean jsonWire) throws Exception {
        this.json = jsonWire;
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort())) {
            List<String> defines = new ArrayList<>(List.of("agent.broker.url=" + broker.url(),
                    "DatabasePath=" + dir.path.resolve("customers.db"), "agent.pollInterval=200"));
            if (jsonWire) {
                defines.add("agent.wire=json");
            }
            if (jsonWire && !bytes) {
                defines.add("agent.http.port=0");
            }
            if (bytes) {
                defines.add("agent.encoding=UTF-8");
                defines.add("agent.collaboration.CustomerSync.destination=queue:test.customer.events");
            }
            try (Client client = new Client(broker.url());
                 Agent agent = Agent.start(this, dir, defines)) {
                MessageConsumer events = bytes ? client.session.createConsumer(
                        client.session.createQueue("test.customer.events"))
                        : client.session.createConsumer(client.session.createTopic("hb.SQLiteDemo.events"));
                Message reply = client.call(request(client, bytes, "Customer { @verb Create  CustomerId = \"C1\""
                        + "  Name = \"Ada \u00e9\"  Addresses = [ Address { City = \"London\" } ] }"), null);
                equal(1, reply.getIntProperty("status"));
                equal("created customer C1 (addresses: 1 created, 0 updated, 0 deleted)",
                        reply.getStringProperty("message"));
                check(!reply.propertyExists("error"), "no error property on a served request");
                BusObj created = object(reply, bytes);
                equal("active", value(created, "Status"));
                equal("1", value(created, "Addresses[0].AddressId"));
                // Each write's event is taken before the next write: the sample drops the
                // event of a customer that is gone by the time it polls.
                expectEvent(agent, events, bytes, "Create");

                reply = client.call(request(client, bytes, "Customer { @verb Retrieve  CustomerId = \"C1\" }"),
                        "corr-1");
                equal("corr-1", reply.getJMSCorrelationID());
                equal(1, reply.getIntProperty("status"));
                equal("Ada \u00e9", value(object(reply, bytes), "Name"));

                reply = client.call(request(client, bytes, "Customer { @verb Update  CustomerId = \"C1\""
                        + "  Phone = \"+44 1\" }"), null);
                equal(1, reply.getIntProperty("status"));
                equal("+44 1", value(object(reply, bytes), "Phone"));
                expectEvent(agent, events, bytes, "Update");

                reply = client.call(request(client, bytes, "Customer { @verb Delete  CustomerId = \"C1\" }"), null);
                equal(1, reply.getIntProperty("status"));
                expectEvent(agent, events, bytes, "Delete");
                reply = client.call(request(client, bytes, "Customer { @verb Retrieve  CustomerId = \"C1\" }"), null);
                equal(-2, reply.getIntProperty("status"));
                equal(0L, bodyLength(reply));

                if (jsonWire && !bytes) {
                    operations(agent, client);
                }
                equal(0, agent.stop());
                agent.expectOut("n_terminate returned 0");
            }
        } finally {
            this.json = false;
        }
    }

    /** The address of the agent's operations endpoint, as it printed it. */
    private static String opsAddress(Agent agent) throws Exception {
        agent.awaitErr("operations endpoint on http://127.0.0.1:");
        java.util.regex.Matcher m = java.util.regex.Pattern
                .compile("operations endpoint on (http://127.0.0.1:\\d+)/").matcher(agent.err());
        check(m.find(), "the endpoint's address is printed");
        return m.group(1);
    }

    static java.net.http.HttpResponse<String> get(String url) throws Exception {
        return java.net.http.HttpClient.newHttpClient().send(java.net.http.HttpRequest.newBuilder(
                java.net.URI.create(url)).build(), java.net.http.HttpResponse.BodyHandlers.ofString());
    }

    private static int health(Agent agent) throws Exception { return get(opsAddress(agent) + "/health").statusCode(); }

    /** /health and /metrics of a running agent after the four verbs. */
    private void operations(Agent agent, Client client) throws Exception {
        java.net.http.HttpResponse<String> health = get(opsAddress(agent) + "/health");
        equal(200, health.statusCode());
        check(health.body().contains("\"broker\":\"connected\""), "health names the broker: " + health.body());
        String metrics = get(opsAddress(agent) + "/metrics").body();
        for (String line : List.of("hbagent_requests_total{verb=\"Create\",status=\"1\"} 1",
                "hbagent_requests_total{verb=\"Retrieve\",status=\"-2\"} 1",
                "hbagent_events_published_total 3", "hbagent_monitor{name=\"init\"}",
                "hbagent_monitor{name=\"poll\"}")) {
            check(metrics.contains(line), "metrics hold " + line + ":\n" + metrics);
        }
    }

    private void expectEvent(Agent agent, MessageConsumer events, boolean bytes, String verb) throws Exception {
        Message event = events.receive(WAIT_MS);
        if (event == null) {
            throw new AssertionError("no " + verb + " event:\n" + agent.out() + agent.err());
        }
        check(bytes && !json ? event instanceof BytesMessage : event instanceof TextMessage, "event form");
        if (event instanceof BytesMessage b) {
            // The library's bytes as it wrote them: the record and its terminating zero.
            byte[] data = new byte[(int) b.getBodyLength()];
            b.readBytes(data);
            check(data.length > 0 && data[data.length - 1] == 0, "byte event ends in a zero byte");
            b.reset();
        }
        equal("Customer", event.getStringProperty("type"));
        equal(verb, event.getStringProperty("verb"));
        equal("CustomerSync", event.getStringProperty("collaboration"));
        check(event.getJMSDeliveryMode() == DeliveryMode.PERSISTENT, "events are persistent");
        BusObj bo = object(event, bytes);
        equal(verb, ByteText.show(bo.verb, UTF8));
        equal("C1", value(bo, "CustomerId"));
    }

    private void badRequests() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort())) {
            try (Client client = new Client(broker.url());
                 Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(),
                         "agent.serve.maxMessageBytes=2000", "DatabasePath=" + dir.path.resolve("customers.db")))) {
                Session s = client.session;
                String create = text("Customer { @verb Create  CustomerId = \"C7\"  Name = \"Grace\" }");
                refused(client, s.createTextMessage("BusinessObject\u0003Custo"), "the record does not read");
                refused(client, s.createTextMessage(text("Customer { @verb Create  Name = \"x\" }")
                        .replace("Customer", "Nobody")), "the record does not read");
                TextMessage m = s.createTextMessage(create);
                m.setStringProperty("verb", "Delete");
                refused(client, m, "the verb property \"Delete\" differs from the record's verb \"Create\"");
                m = s.createTextMessage(create);
                m.setBooleanProperty("transactional", true);
                refused(client, m, "a transactional request carries a prior image");
                m = s.createTextMessage(create);
                m.setIntProperty("transactional", 7);
                refused(client, m, "the wrong kind of value");
                refused(client, s.createBytesMessage(), "record requests come as a TextMessage");
                refused(client, s.createMapMessage(), "not a ");
                refused(client, s.createTextMessage(create.replace("Grace", "G".repeat(3000))),
                        "larger than agent.serve.maxMessageBytes (2000 bytes)");

                // Without JMSReplyTo: served all the same, and said to be unanswerable.
                MessageProducer producer = s.createProducer(s.createQueue("hb.SQLiteDemo.requests"));
                producer.send(s.createTextMessage(create));
                agent.awaitErr("has no JMSReplyTo: served (status 1), unanswerable");
                Message reply = client.call(s.createTextMessage(
                        text("Customer { @verb Retrieve  CustomerId = \"C7\" }")), null);
                equal(1, reply.getIntProperty("status"));
                equal("Grace", value(object(reply, false), "Name"));
                equal(0, agent.stop());
            }
        }
    }

    private void badJson() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort())) {
            try (Client client = new Client(broker.url());
                 Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(), "agent.wire=json",
                         "DatabasePath=" + dir.path.resolve("customers.db")))) {
                Session s = client.session;
                refused(client, s.createTextMessage("{\"type\": \"Customer\", \"attributes\": {"),
                        "malformed JSON at line 1");
                refused(client, s.createTextMessage("{\"type\": \"Nobody\", \"verb\": \"Create\"}"),
                        "unknown business object type \"Nobody\"");
                refused(client, s.createTextMessage("{\"type\": \"Customer\", \"verb\": \"Create\","
                        + " \"attributes\": {\"Shoe\": \"42\"}}"),
                        "Shoe: Customer has no such attribute (line 1, column");
                refused(client, s.createTextMessage("{\"type\": \"Customer\", \"verb\": \"Create\","
                        + " \"attributes\": {\"Name\": 42}}"), "Name: a number where a text (a JSON string) belongs");
                refused(client, s.createTextMessage("{\"type\": \"Customer\", \"verb\": \"Create\","
                        + " \"attributes\": {\"Addresses\": [{\"attributes\": {\"City\": {}}}]}}"),
                        "Addresses[0].City");
                refused(client, s.createTextMessage("[".repeat(5000)), "nested deeper than");
                TextMessage m = s.createTextMessage("{\"type\": \"Customer\", \"verb\": \"Create\"}");
                m.setStringProperty("verb", "Delete");
                refused(client, m, "differs from the document's verb \"Create\"");
                // The verb property gives the verb a document leaves out.
                m = s.createTextMessage("{\"type\": \"Customer\", \"attributes\": {\"CustomerId\": \"J1\","
                        + " \"Name\": \"Jo\"}}");
                m.setStringProperty("verb", "Create");
                Message reply = client.call(m, null);
                equal(1, reply.getIntProperty("status"));
                BusObj created = new JsonWire(specs, UTF8, "en_US").fromJson(((TextMessage) reply).getText());
                equal("Create", ByteText.show(created.verb, UTF8));
                equal("active", value(created, "Status"));
                equal(0, agent.stop());
            }
        }
    }

    private void refused(Client client, Message request, String error) throws Exception {
        Message reply = client.call(request, null);
        equal(-1, reply.getIntProperty("status"));
        String got = reply.getStringProperty("error");
        check(got != null && got.contains(error), "error \"" + got + "\" mentions \"" + error + "\"");
        equal(0L, bodyLength(reply));
    }

    private void deadLetter(String queue) throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort())) {
            List<String> defines = new ArrayList<>(List.of("agent.broker.url=" + broker.url(),
                    "agent.serve.maxRedeliveries=2", "DatabasePath=" + dir.path.resolve("customers.db")));
            if (queue != null) {
                defines.add("agent.serve.deadLetterQueue=" + queue);
            }
            try (Client client = new Client(broker.url());
                 Agent agent = Agent.start(this, dir, defines)) {
                // A reply queue that is gone before the reply can be sent.
                Queue gone;
                try (Client other = new Client(broker.url())) {
                    gone = other.session.createTemporaryQueue();
                }
                Session s = client.session;
                TextMessage m = s.createTextMessage(text("Customer { @verb Retrieve  CustomerId = \"C9\" }"));
                m.setJMSReplyTo(gone);
                s.createProducer(s.createQueue("hb.SQLiteDemo.requests")).send(m);
                agent.awaitErr(queue == null ? "it goes to the dead-letter queue"
                        : "failed 3 times: moved to the dead-letter queue " + queue);
                MessageConsumer dlq = s.createConsumer(s.createQueue(queue == null ? "ActiveMQ.DLQ" : queue));
                Message dead = dlq.receive(WAIT_MS);
                check(dead != null, "the request reached the dead-letter queue");
                equal(m.getText(), ((TextMessage) dead).getText());
                equal(gone.toString(), String.valueOf(dead.getJMSReplyTo()));
                equal(queue == null ? 2 : 3, agent.countErr("redelivered (delivery "));
                // And the agent still serves.
                Message reply = client.call(s.createTextMessage(
                        text("Customer { @verb Retrieve  CustomerId = \"C9\" }")), null);
                equal(-2, reply.getIntProperty("status"));
                equal(0, agent.stop());
                agent.expectErr("1 dead letters");
            }
        }
    }

    private void eventsAcrossStop() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort())) {
            String db = "DatabasePath=" + dir.path.resolve("customers.db");
            String queue = "agent.collaboration.CustomerSync.destination=queue:test.events";
            try (Client client = new Client(broker.url())) {
                // First run: three customers, then the connector ends the process right after
                // publishing its second event, before marking it.
                try (Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(), db, queue,
                        "agent.pollInterval=3000", "TestExitAfterEvents=2"))) {
                    for (String id : List.of("C1", "C2", "C3")) {
                        Message reply = client.call(client.session.createTextMessage(text(
                                "Customer { @verb Create  CustomerId = \"" + id + "\"  Name = \"N\" }")), null);
                        equal(1, reply.getIntProperty("status"));
                    }
                    equal(3, agent.waitExit());
                }
                try (Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(), db, queue,
                        "agent.pollInterval=200"))) {
                    MessageConsumer events = client.session.createConsumer(client.session.createQueue("test.events"));
                    List<String> ids = new ArrayList<>();
                    for (Message e = events.receive(WAIT_MS); e != null; e = events.receive(3000)) {
                        ids.add(value(object(e, false), "ObjectEventId"));
                        if (ids.size() > 10) {
                            break;
                        }
                    }
                    // Every event at least once; only the one published but not marked twice.
                    equal(List.of("SQLiteDemo_event_1", "SQLiteDemo_event_2", "SQLiteDemo_event_2",
                            "SQLiteDemo_event_3"), ids);
                    equal(0, agent.stop());
                }
            }
        }
    }

    private void brokerRestart() throws Exception {
        try (Scratch dir = new Scratch()) {
            int port = freePort();
            Path data = dir.path.resolve("broker");
            Broker broker = Broker.start(data, port);
            String url = "failover:(" + broker.url() + ")?initialReconnectDelay=100&maxReconnectDelay=500";
            List<String> defines = List.of("agent.broker.url=" + url, "DatabasePath=" + dir.path.resolve("c.db"),
                    "agent.pollInterval=100", "PollQuantity=1", "agent.http.port=0",
                    "agent.collaboration.CustomerSync.destination=queue:test.events");
            int customers = 30;
            try (Agent agent = Agent.start(this, dir, defines)) {
                try (Client client = new Client(url)) {
                    for (int i = 0; i < customers; ++i) {
                        Message reply = client.call(client.session.createTextMessage(text(
                                "Customer { @verb Create  CustomerId = \"K" + i + "\"  Name = \"N\" }")), null);
                        equal(1, reply.getIntProperty("status"));
                    }
                }
                // One event a poll: most are still pending when the broker goes.
                broker.close();
                agent.awaitErr("broker connection interrupted");
                agent.awaitErr("refused");
                equal(503, health(agent));
                Thread.sleep(500);
                broker = Broker.start(data, port);
                agent.awaitErr("broker connection resumed");
                equal(200, health(agent));
                try (Client client = new Client(url)) {
                    MessageConsumer events = client.session.createConsumer(client.session.createQueue("test.events"));
                    Set<String> keys = new HashSet<>();
                    for (Message e = events.receive(WAIT_MS); e != null && keys.size() < customers;
                         e = events.receive(WAIT_MS)) {
                        keys.add(value(object(e, false), "CustomerId"));
                    }
                    equal(customers, keys.size());
                    Message reply = client.call(client.session.createTextMessage(text(
                            "Customer { @verb Retrieve  CustomerId = \"K7\" }")), null);
                    equal(1, reply.getIntProperty("status"));
                }
                equal(0, agent.stop());
            } finally {
                broker.close();
            }
        }
    }

    private void stopWhileAway() throws Exception {
        try (Scratch dir = new Scratch()) {
            Broker broker = Broker.start(dir.path.resolve("broker"), freePort());
            String url = "failover:(" + broker.url() + ")?initialReconnectDelay=100&maxReconnectDelay=500";
            try (Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + url,
                    "DatabasePath=" + dir.path.resolve("c.db")))) {
                agent.awaitErr("serving hb.SQLiteDemo.requests");
                broker.close();
                agent.awaitErr("broker connection interrupted");
                long start = System.nanoTime();
                int code = agent.stop();
                check(code == 0, "exit status 0 after SIGTERM, not " + code + "; standard error:\n" + agent.err());
                agent.expectOut("n_terminate returned 0");
                long seconds = TimeUnit.NANOSECONDS.toSeconds(System.nanoTime() - start);
                check(seconds < 40, "ended in " + seconds + " s");
            } finally {
                broker.close();
            }
        }
    }

    private void burst() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort());
             Client client = new Client(broker.url())) {
            String db = "DatabasePath=" + dir.path.resolve("customers.db");
            Session s = client.session;
            Queue replies = s.createQueue("test.replies");
            MessageProducer producer = s.createProducer(s.createQueue("hb.SQLiteDemo.requests"));
            int count = 300;
            for (int i = 0; i < count; ++i) {
                TextMessage m = s.createTextMessage(text("Customer { @verb Create  CustomerId = \"B" + i
                        + "\"  Name = \"N\" }"));
                m.setJMSReplyTo(replies);
                m.setJMSCorrelationID("b" + i);
                producer.send(m);
            }
            MessageConsumer consumer = s.createConsumer(replies);
            Map<String, Integer> answered = new HashMap<>();
            try (Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(), db))) {
                while (answered.size() < 20) {
                    Message r = consumer.receive(WAIT_MS);
                    check(r != null, "replies arrive");
                    answered.merge(r.getJMSCorrelationID(), r.getIntProperty("status"), (a, b) -> b);
                }
                equal(0, agent.stop());
                agent.expectOut("n_terminate returned 0");
            }
            int first = answered.size();
            for (Message r = consumer.receive(500); r != null; r = consumer.receive(500)) {
                answered.merge(r.getJMSCorrelationID(), r.getIntProperty("status"), (a, b) -> b);
            }
            check(answered.size() < count, "the first agent stopped before the end of the burst");
            // A second agent serves what the first did not acknowledge; a request answered
            // twice was answered and then not acknowledged: it finds its customer there (-2).
            try (Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(), db))) {
                long end = System.currentTimeMillis() + 120_000;
                int twice = 0;
                while (answered.size() < count && System.currentTimeMillis() < end) {
                    Message r = consumer.receive(WAIT_MS);
                    check(r != null, "replies keep arriving (" + answered.size() + " of " + count + ")");
                    if (answered.put(r.getJMSCorrelationID(), r.getIntProperty("status")) != null) {
                        ++twice;
                    }
                }
                equal(count, answered.size());
                equal(0, twice);
                check(answered.values().stream().allMatch(v -> v == 1), "every Create succeeded once");
                check(first >= 20, "first agent answered");
                equal(0, agent.stop());
            }
        }
    }

    private void embedded() throws Exception {
        try (Scratch dir = new Scratch()) {
            int port = freePort();
            try (Agent agent = Agent.start(this, dir, List.of("agent.broker.listen=tcp://127.0.0.1:" + port,
                    "agent.broker.dataDir=" + dir.path.resolve("kahadb"),
                    "DatabasePath=" + dir.path.resolve("c.db")))) {
                agent.awaitErr("serving hb.SQLiteDemo.requests");
                agent.expectErr("embedded broker started: listening on tcp://127.0.0.1:" + port);
                try (Client client = new Client("tcp://127.0.0.1:" + port)) {
                    Message reply = client.call(client.session.createTextMessage(text(
                            "Customer { @verb Create  CustomerId = \"E1\"  Name = \"N\" }")), null);
                    equal(1, reply.getIntProperty("status"));
                }
                equal(0, agent.stop());
                check(Files.isDirectory(dir.path.resolve("kahadb")), "KahaDB folder where configured");
                try (ServerSocket s = new ServerSocket(port, 1, InetAddress.getLoopbackAddress())) {
                    check(s.getLocalPort() == port, "the port is free again");
                }
            }
        }
    }

    private void portsInUse() throws Exception {
        try (Scratch dir = new Scratch();
             ServerSocket taken = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            try (Agent agent = Agent.start(this, dir, List.of(
                    "agent.broker.listen=tcp://127.0.0.1:" + taken.getLocalPort(),
                    "agent.broker.dataDir=" + dir.path.resolve("kahadb"),
                    "DatabasePath=" + dir.path.resolve("c.db")))) {
                equal(2, agent.waitExit());
                agent.expectErr("the embedded broker does not start (tcp://127.0.0.1:" + taken.getLocalPort());
                agent.expectOut("SQLite connector closed its database");
            }
            try (Broker broker = Broker.start(dir.path.resolve("broker"), freePort());
                 Agent agent = Agent.start(this, dir, List.of("agent.broker.url=" + broker.url(),
                         "agent.http.port=" + taken.getLocalPort(), "DatabasePath=" + dir.path.resolve("c.db")))) {
                equal(2, agent.waitExit());
                agent.expectErr("the operations endpoint cannot listen on 127.0.0.1:" + taken.getLocalPort());
            }
        }
    }

    private void initFails() throws Exception {
        try (Scratch dir = new Scratch();
             Agent agent = Agent.start(this, dir, List.of("agent.broker.url=tcp://127.0.0.1:1",
                     "DatabasePath=/nonexistent/folder/x.db"))) {
            equal(2, agent.waitExit());
            agent.expectErr("hbagent: start-up failed: n_init returned -1");
            agent.expectOut("cannot open the database /nonexistent/folder/x.db");
        }
    }

    private void synchronousRequests() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = Broker.start(dir.path.resolve("broker"), freePort());
             Client client = new Client(broker.url(), "hb.SyncTest.requests");
             Agent agent = Agent.start(this, dir, syncConnectorLibrary, List.of("agent.broker.url=" + broker.url(),
                     "ConnectorName=SyncTest", "agent.syncTimeout=1500"))) {
            Session s = client.connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            MessageConsumer lookups = s.createConsumer(s.createQueue("hb.SyncTest.sync.Lookup"));
            Message request = client.session.createTextMessage(
                    text("Customer { @verb Retrieve  CustomerId = \"C5\" }"));
            client.send(request, "r1");
            Message sync = lookups.receive(WAIT_MS);
            check(sync != null, "the connector's synchronous request arrived:\n" + agent.err());
            equal("Retrieve", sync.getStringProperty("verb"));
            equal("C5", value(object(sync, false), "CustomerId"));
            TextMessage answer = s.createTextMessage(text("Customer { @verb Retrieve  CustomerId = \"C5\""
                    + "  Name = \"Zoe\" }"));
            answer.setIntProperty("status", 1);
            answer.setStringProperty("message", "found");
            answer.setJMSCorrelationID(sync.getJMSMessageID());
            s.createProducer(sync.getJMSReplyTo()).send(answer);
            Message reply = client.receive("r1");
            equal(1, reply.getIntProperty("status"));
            equal("found", reply.getStringProperty("message"));
            equal("Zoe", value(object(reply, false), "Name"));

            // Nobody answers: after agent.syncTimeout the connector hears no answer (-1).
            long start = System.nanoTime();
            reply = client.call(client.session.createTextMessage(
                    text("Customer { @verb Retrieve  CustomerId = \"C6\" }")), "r2");
            check(System.nanoTime() - start >= TimeUnit.MILLISECONDS.toNanos(1400), "waited for the timeout");
            equal(-1, reply.getIntProperty("status"));
            agent.expectErr("synchronous request to hb.SyncTest.sync.Lookup: no reply within 1500 ms");
            equal(0, agent.stop());
        }
    }

    // ---- Records ---------------------------------------------------------------

    /** The delimited record of an object written in hbagent's readable form, as Java text. */
    private String text(String readable) {
        BusObj bo = new BusObjText(specs, UTF8).parse(new Lexer("test.bo", readable, UTF8), "en_US");
        return ByteText.decodeStrict(bo.toDelimited(specs), UTF8);
    }

    private Message request(Client client, boolean bytes, String readable) throws JMSException {
        if (json) {
            BusObj bo = new BusObjText(specs, UTF8).parse(new Lexer("test.bo", readable, UTF8), "en_US");
            return client.session.createTextMessage(new JsonWire(specs, UTF8, "en_US").toJson(bo));
        }
        if (!bytes) {
            return client.session.createTextMessage(text(readable));
        }
        BusObj bo = new BusObjText(specs, UTF8).parse(new Lexer("test.bo", readable, UTF8), "en_US");
        BytesMessage m = client.session.createBytesMessage();
        m.writeBytes(ByteText.bytes(bo.toLengthPrefixed(specs)));
        return m;
    }

    private BusObj object(Message m, boolean bytes) throws JMSException {
        if (json) {
            return new JsonWire(specs, UTF8, "en_US").fromJson(((TextMessage) m).getText());
        }
        if (bytes) {
            BytesMessage b = (BytesMessage) m;
            byte[] data = new byte[(int) b.getBodyLength()];
            b.readBytes(data);
            int length = data.length > 0 && data[data.length - 1] == 0 ? data.length - 1 : data.length;
            return BusObj.fromLengthPrefixed(ByteText.of(java.util.Arrays.copyOf(data, length)), specs);
        }
        return BusObj.fromDelimited(RecordText.fromJavaText(((TextMessage) m).getText(), false), specs);
    }

    private String value(BusObj bo, String path) {
        BusObj.Value v = ObjectPath.resolve(bo, specs, path, UTF8);
        return v instanceof BusObj.Text t ? ByteText.decodeStrict(t.bytes(), UTF8) : ObjectPath.describe(v, UTF8);
    }

    private static long bodyLength(Message m) throws JMSException {
        if (m instanceof BytesMessage b) {
            return b.getBodyLength();
        }
        String text = ((TextMessage) m).getText();
        return text == null ? 0 : text.length();
    }

    // ---- Fixtures --------------------------------------------------------------

    static int freePort() throws IOException {
        try (ServerSocket s = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return s.getLocalPort();
        }
    }

    /** A temporary folder, removed with everything in it. */
    static final class Scratch implements AutoCloseable {
        final Path path;

        Scratch() throws IOException { path = Files.createTempDirectory("hbagent-service-"); }

        @Override
        public void close() throws IOException {
            try (Stream<Path> all = Files.walk(path)) {
                for (Path p : all.sorted(Comparator.reverseOrder()).toList()) {
                    Files.deleteIfExists(p);
                }
            }
        }
    }

    /** A persistent broker of the test's own on 127.0.0.1. */
    static final class Broker implements AutoCloseable {
        private final BrokerService service;
        private final int port;

        private Broker(BrokerService service, int port) {
            this.service = service;
            this.port = port;
        }

        static Broker start(Path data, int port) throws Exception {
            BrokerService b = new BrokerService();
            b.setBrokerName("test" + port);
            b.setDataDirectoryFile(data.toFile());
            b.setPersistent(true);
            b.setUseJmx(false);
            b.setUseShutdownHook(false);
            b.addConnector("tcp://127.0.0.1:" + port);
            b.start();
            b.waitUntilStarted();
            return new Broker(b, port);
        }

        String url() { return "tcp://127.0.0.1:" + port; }

        /** A queue of the broker, for its statistics. */
        org.apache.activemq.broker.region.Destination queue(String name) throws Exception {
            return service.getDestination(new org.apache.activemq.command.ActiveMQQueue(name));
        }

        @Override
        public void close() {
            if (service.isStarted()) {
                try {
                    service.stop();
                } catch (Exception e) {
                    throw new IllegalStateException("the test broker does not stop", e);
                }
                service.waitUntilStopped();
            }
        }
    }

    /** A JMS client with a reply queue of its own. */
    static final class Client implements AutoCloseable {
        final Connection connection;
        final Session session;
        private final Queue replies;
        private final MessageConsumer replyConsumer;
        private final MessageProducer requests;

        Client(String url) throws JMSException { this(url, "hb.SQLiteDemo.requests"); }

        Client(String url, String queue) throws JMSException { this(new ActiveMQConnectionFactory(url), queue); }

        /** A client with the factory's settings (credentials, TLS); it closes what it opened when it fails. */
        Client(ActiveMQConnectionFactory factory, String queue) throws JMSException {
            connection = factory.createConnection();
            try {
                connection.start();
            } catch (JMSException e) {
                connection.close();
                throw e;
            }
            session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            replies = session.createTemporaryQueue();
            replyConsumer = session.createConsumer(replies);
            requests = session.createProducer(session.createQueue(queue));
        }

        /** Sends a request to the request queue and waits for its reply. */
        Message call(Message request, String correlation) throws JMSException {
            send(request, correlation);
            return receive(correlation != null ? correlation : request.getJMSMessageID());
        }

        void send(Message request, String correlation) throws JMSException {
            request.setJMSReplyTo(replies);
            if (correlation != null) {
                request.setJMSCorrelationID(correlation);
            }
            requests.send(request);
        }

        Message receive(String correlation) throws JMSException {
            Message reply = replyConsumer.receive(WAIT_MS);
            check(reply != null, "a reply within " + WAIT_MS + " ms");
            equal(correlation, reply.getJMSCorrelationID());
            return reply;
        }

        @Override
        public void close() throws JMSException { connection.close(); }
    }

    /** An "hbagent serve" process under -Xcheck:jni, its output in files. */
    static final class Agent implements AutoCloseable {
        private final Process process;
        private final Path out;
        private final Path err;

        private Agent(Process process, Path out, Path err) {
            this.process = process;
            this.out = out;
            this.err = err;
        }

        static Agent start(ServiceTests t, Scratch dir, List<String> defines) throws IOException {
            return start(t, dir, t.connectorLibrary, defines);
        }

        static Agent start(ServiceTests t, Scratch dir, Path connector, List<String> defines) throws IOException {
            return start(t.launcher, t.properties, connector, dir, defines, Map.of());
        }

        /** An agent with more environment variables (HBAGENT_JAVA_OPTS among them replaces -Xcheck:jni). */
        static Agent start(Path launcher, Path properties, Path connector, Scratch dir, List<String> defines,
                           Map<String, String> environment) throws IOException {
            List<String> command = new ArrayList<>(List.of("/bin/sh", launcher.toString(), "serve",
                    "-p", properties.toString(), "-c", connector.toString(), "-D", "agent.wire=record"));
            for (String d : defines) {
                command.add("-D");
                command.add(d);
            }
            int n = 0;
            while (Files.exists(dir.path.resolve("agent" + n + ".out"))) {
                ++n;
            }
            Path out = dir.path.resolve("agent" + n + ".out");
            Path err = dir.path.resolve("agent" + n + ".err");
            ProcessBuilder pb = new ProcessBuilder(command).redirectOutput(out.toFile()).redirectError(err.toFile());
            pb.environment().put("HBAGENT_JAVA_OPTS", "-Xcheck:jni");
            pb.environment().putAll(environment);
            return new Agent(pb.start(), out, err);
        }

        String out() throws IOException { return Files.readString(out, UTF8); }

        String err() throws IOException { return Files.readString(err, UTF8); }

        void awaitErr(String text) throws Exception {
            long end = System.currentTimeMillis() + WAIT_MS;
            while (!err().contains(text)) {
                if (!process.isAlive() || System.currentTimeMillis() > end) {
                    throw new AssertionError("the agent did not write \"" + text + "\"; its standard error:\n"
                            + err());
                }
                Thread.sleep(50);
            }
        }

        int countErr(String text) throws IOException {
            String all = err();
            int n = 0;
            for (int at = all.indexOf(text); at >= 0; at = all.indexOf(text, at + 1)) {
                ++n;
            }
            return n;
        }

        void expectErr(String text) throws IOException {
            check(err().contains(text), "standard error mentions \"" + text + "\":\n" + err());
        }

        void expectOut(String text) throws IOException {
            check(out().contains(text), "standard output mentions \"" + text + "\":\n" + out());
        }

        /** SIGTERM, then the exit status (bounded wait). */
        int stop() throws Exception {
            process.destroy();
            return waitExit();
        }

        int waitExit() throws Exception {
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                throw new AssertionError("the agent did not end within 60 s; standard error:\n" + err());
            }
            checkJni();
            return process.exitValue();
        }

        private void checkJni() throws IOException {
            for (String text : List.of(out(), err())) {
                check(!text.contains("WARNING in native method") && !text.contains("FATAL ERROR in native method"),
                        "no JNI warning:\n" + text);
            }
        }

        @Override
        public void close() { kill(process); }
    }
}
