package hbagent;

import java.io.IOException;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import javax.jms.BytesMessage;
import javax.jms.DeliveryMode;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Queue;
import javax.jms.Session;
import javax.jms.TextMessage;

/**
 * "hbagent serve" against the SQLite sample connector, each case with its
 * own broker on a free port in a temporary folder: the four verbs in both
 * agent encodings, events (also across a stop between publishing and
 * marking), bad requests, the broker going away behind a failover URL,
 * SIGTERM during a burst, and a connector that does not start. The agent
 * runs in its own JVM under -Xcheck:jni; any JNI warning fails the case.
 */
final class ServiceTests extends ServiceCase {
    private final Path syncConnectorLibrary;
    /** Whether the current case runs the JSON wire (requests, replies and events as documents). */
    private boolean json;

    private ServiceTests(String[] args) {
        super(args);
        syncConnectorLibrary = Path.of(args[3]);
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
        test("start-up failures (n_init fails, a listen or operations port in use): exit status 2 with the reason",
                this::startupFails);
        test("consumeSync: JMS request/reply, and a timeout without a reply", this::synchronousRequests);
    }

    public static void main(String[] args) {
        run(args, "ServiceTests HBAGENT CONNECTOR_LIBRARY SAMPLE_FOLDER SYNC_CONNECTOR_LIBRARY", ServiceTests::new);
    }

    /** A broker of the case's own in dir. */
    private static Broker broker(Scratch dir) throws Exception {
        return Broker.start(dir.path.resolve("broker"), freePort());
    }

    /** An agent on the broker at url with its database in dir, and more settings. */
    private Agent serve(Scratch dir, String url, String... more) throws IOException {
        List<String> defines = new ArrayList<>(List.of("agent.broker.url=" + url,
                "DatabasePath=" + dir.path.resolve("customers.db")));
        defines.addAll(List.of(more));
        return agent(dir, defines);
    }

    // ---- Cases -----------------------------------------------------------------

    private void verbs(boolean bytes, boolean jsonWire) throws Exception {
        this.json = jsonWire;
        List<String> defines = new ArrayList<>(List.of("agent.pollInterval=200"));
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
        try (Scratch dir = new Scratch(); Broker broker = broker(dir); Client client = new Client(broker.url());
             Agent agent = serve(dir, broker.url(), defines.toArray(new String[0]))) {
            MessageConsumer events = client.session.createConsumer(bytes
                    ? client.session.createQueue("test.customer.events")
                    : client.session.createTopic("hb.SQLiteDemo.events"));
            Message reply = client.call(request(client, bytes, "Customer { @verb Create  CustomerId = \"C1\""
                    + "  Name = \"Ada \u00e9\"  Addresses = [ Address { City = \"London\" } ] }"), null);
            equal(1, reply.getIntProperty("status"));
            equal("created customer C1 (addresses: 1 created, 0 updated, 0 deleted)",
                    reply.getStringProperty("message"));
            check(!reply.propertyExists("error"), "no error property on a served request");
            BusObj created = object(reply, bytes);
            equal("active", value(created, "Status"));
            equal("1", value(created, "Addresses[0].AddressId"));
            // Each event is taken before the next write: the sample drops events of customers gone when it polls.
            expectEvent(agent, events, bytes, "Create");

            reply = client.call(request(client, bytes, "Customer { @verb Retrieve  CustomerId = \"C1\" }"), "corr-1");
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
                java.net.http.HttpResponse<String> health = get(opsAddress(agent) + "/health");
                equal(200, health.statusCode());
                check(health.body().contains("\"broker\":\"connected\""), "health names the broker: " + health.body());
                String metrics = metrics(agent);
                for (String line : List.of("hbagent_requests_total{verb=\"Create\",status=\"1\"} 1",
                        "hbagent_requests_total{verb=\"Retrieve\",status=\"-2\"} 1",
                        "hbagent_events_published_total 3", "hbagent_monitor{name=\"init\"}",
                        "hbagent_monitor{name=\"poll\"}")) {
                    check(metrics.contains(line), "metrics hold " + line + ":\n" + metrics);
                }
            }
            equal(0, agent.stop());
            agent.expectOut("n_terminate returned 0");
        } finally {
            this.json = false;
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
        try (Scratch dir = new Scratch(); Broker broker = broker(dir); Client client = new Client(broker.url());
             Agent agent = serve(dir, broker.url(), "agent.serve.maxMessageBytes=2000")) {
            Session s = client.session;
            String create = text("Customer { @verb Create  CustomerId = \"C7\"  Name = \"Grace\" }");
            refused(client, "BusinessObject\u0003Custo", "the record does not read");
            refused(client, text("Customer { @verb Create  Name = \"x\" }")
                    .replace("Customer", "Nobody"), "the record does not read");
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
            refused(client, create.replace("Grace", "G".repeat(3000)),
                    "larger than agent.serve.maxMessageBytes (2000 bytes)");

            // Without JMSReplyTo: served all the same, and said to be unanswerable.
            s.createProducer(s.createQueue("hb.SQLiteDemo.requests")).send(s.createTextMessage(create));
            agent.awaitErr("has no JMSReplyTo: served (status 1), unanswerable");
            Message reply = client.call(text("Customer { @verb Retrieve  CustomerId = \"C7\" }"));
            equal(1, reply.getIntProperty("status"));
            equal("Grace", value(object(reply, false), "Name"));
            equal(0, agent.stop());
        }
    }

    /** Wrong documents through the service; JsonWireTests covers every refusal of the wire itself. */
    private void badJson() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = broker(dir); Client client = new Client(broker.url());
             Agent agent = serve(dir, broker.url(), "agent.wire=json")) {
            Session s = client.session;
            refused(client, "{\"type\": \"Customer\", \"attributes\": {", "malformed JSON at line 1");
            refused(client, "{\"type\": \"Customer\", \"verb\": \"Create\","
                    + " \"attributes\": {\"Shoe\": \"42\"}}", "Shoe: Customer has no such attribute (line 1, column");
            refused(client, "{\"type\": \"Customer\", \"verb\": \"Create\","
                    + " \"attributes\": {\"Addresses\": [{\"attributes\": {\"City\": {}}}]}}", "Addresses[0].City");
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

    private void refused(Client client, String request, String error) throws Exception {
        refused(client, client.session.createTextMessage(request), error);
    }

    private void refused(Client client, Message request, String error) throws Exception {
        Message reply = client.call(request, null);
        equal(-1, reply.getIntProperty("status"));
        String got = reply.getStringProperty("error");
        check(got != null && got.contains(error), "error \"" + got + "\" mentions \"" + error + "\"");
        equal(0L, bodyLength(reply));
    }

    private void deadLetter(String queue) throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = broker(dir); Client client = new Client(broker.url());
             Agent agent = serve(dir, broker.url(), queue == null ? new String[] {"agent.serve.maxRedeliveries=2"}
                     : new String[] {"agent.serve.maxRedeliveries=2", "agent.serve.deadLetterQueue=" + queue})) {
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
            Message dead = s.createConsumer(s.createQueue(queue == null ? "ActiveMQ.DLQ" : queue)).receive(WAIT_MS);
            check(dead != null, "the request reached the dead-letter queue");
            equal(m.getText(), ((TextMessage) dead).getText());
            equal(gone.toString(), String.valueOf(dead.getJMSReplyTo()));
            equal(queue == null ? 2 : 3, agent.countErr("redelivered (delivery "));
            // And the agent still serves.
            equal(-2, client.call(text("Customer { @verb Retrieve  CustomerId = \"C9\" }")).getIntProperty("status"));
            equal(0, agent.stop());
            agent.expectErr("1 dead letters");
        }
    }

    private void eventsAcrossStop() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = broker(dir); Client client = new Client(broker.url())) {
            String queue = "agent.collaboration.CustomerSync.destination=queue:test.events";
            // First run: three customers; the connector ends the process right after publishing
            // its second event, before marking it.
            try (Agent agent = serve(dir, broker.url(), queue, "agent.pollInterval=3000", "TestExitAfterEvents=2")) {
                for (String id : List.of("C1", "C2", "C3")) {
                    equal(1, client.call(create(id)).getIntProperty("status"));
                }
                equal(3, agent.waitExit());
            }
            try (Agent agent = serve(dir, broker.url(), queue, "agent.pollInterval=200")) {
                MessageConsumer events = client.session.createConsumer(client.session.createQueue("test.events"));
                List<String> ids = new ArrayList<>();
                for (Message e = events.receive(WAIT_MS); e != null && ids.size() <= 10; e = events.receive(3000)) {
                    ids.add(value(object(e, false), "ObjectEventId"));
                }
                // Every event at least once; only the one published but not marked twice.
                equal(List.of("SQLiteDemo_event_1", "SQLiteDemo_event_2", "SQLiteDemo_event_2",
                        "SQLiteDemo_event_3"), ids);
                equal(0, agent.stop());
            }
        }
    }

    private void brokerRestart() throws Exception {
        try (Scratch dir = new Scratch()) {
            int port = freePort();
            Path data = dir.path.resolve("broker");
            Broker broker = Broker.start(data, port);
            String url = "failover:(" + broker.url() + ")?initialReconnectDelay=100&maxReconnectDelay=500";
            int customers = 30;
            try (Agent agent = serve(dir, url, "agent.pollInterval=100", "PollQuantity=1", "agent.http.port=0",
                    "agent.collaboration.CustomerSync.destination=queue:test.events")) {
                try (Client client = new Client(url)) {
                    for (int i = 0; i < customers; ++i) {
                        equal(1, client.call(create("K" + i)).getIntProperty("status"));
                    }
                }
                // One event a poll: most are still pending when the broker goes.
                broker.close();
                agent.awaitErr("broker connection interrupted");
                agent.awaitErr("refused");
                equal(503, get(opsAddress(agent) + "/health").statusCode());
                Thread.sleep(500);
                broker = Broker.start(data, port);
                agent.awaitErr("broker connection resumed");
                equal(200, get(opsAddress(agent) + "/health").statusCode());
                try (Client client = new Client(url)) {
                    MessageConsumer events = client.session.createConsumer(client.session.createQueue("test.events"));
                    Set<String> keys = new HashSet<>();
                    for (Message e = events.receive(WAIT_MS); e != null && keys.size() < customers;
                         e = events.receive(WAIT_MS)) {
                        keys.add(value(object(e, false), "CustomerId"));
                    }
                    equal(customers, keys.size());
                    equal(1, client.call(text("Customer { @verb Retrieve  CustomerId = \"K7\" }"))
                            .getIntProperty("status"));
                }
                equal(0, agent.stop());
            } finally {
                broker.close();
            }
        }
    }

    private void stopWhileAway() throws Exception {
        try (Scratch dir = new Scratch()) {
            Broker broker = broker(dir);
            try (Agent agent = serve(dir, "failover:(" + broker.url() + ")?initialReconnectDelay=100"
                    + "&maxReconnectDelay=500")) {
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
        try (Scratch dir = new Scratch(); Broker broker = broker(dir); Client client = new Client(broker.url())) {
            Session s = client.session;
            Queue replies = s.createQueue("test.replies");
            MessageProducer producer = s.createProducer(s.createQueue("hb.SQLiteDemo.requests"));
            int count = 300;
            for (int i = 0; i < count; ++i) {
                TextMessage m = s.createTextMessage(create("B" + i));
                m.setJMSReplyTo(replies);
                m.setJMSCorrelationID("b" + i);
                producer.send(m);
            }
            MessageConsumer consumer = s.createConsumer(replies);
            Map<String, Integer> answered = new HashMap<>();
            try (Agent agent = serve(dir, broker.url())) {
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
            try (Agent agent = serve(dir, broker.url())) {
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
        int port = freePort();
        try (Scratch dir = new Scratch();
             Agent agent = agent(dir, List.of("agent.broker.listen=tcp://127.0.0.1:" + port, "agent.broker.dataDir="
                     + dir.path.resolve("kahadb"), "DatabasePath=" + dir.path.resolve("c.db")))) {
            agent.awaitErr("serving hb.SQLiteDemo.requests");
            agent.expectErr("embedded broker started: listening on tcp://127.0.0.1:" + port);
            try (Client client = new Client("tcp://127.0.0.1:" + port)) {
                equal(1, client.call(create("E1")).getIntProperty("status"));
            }
            equal(0, agent.stop());
            check(Files.isDirectory(dir.path.resolve("kahadb")), "KahaDB folder where configured");
            try (ServerSocket s = new ServerSocket(port, 1, InetAddress.getLoopbackAddress())) {
                check(s.getLocalPort() == port, "the port is free again");
            }
        }
    }

    private void startupFails() throws Exception {
        try (Scratch dir = new Scratch(); Agent agent = agent(dir, List.of("agent.broker.url=tcp://127.0.0.1:1",
                "DatabasePath=/nonexistent/folder/x.db"))) {
            equal(2, agent.waitExit());
            agent.expectErr("hbagent: start-up failed: n_init returned -1");
            agent.expectOut("cannot open the database /nonexistent/folder/x.db");
        }
        try (Scratch dir = new Scratch();
             ServerSocket taken = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            try (Agent agent = agent(dir, List.of("agent.broker.listen=tcp://127.0.0.1:" + taken.getLocalPort(),
                    "agent.broker.dataDir=" + dir.path.resolve("kahadb"),
                    "DatabasePath=" + dir.path.resolve("c.db")))) {
                equal(2, agent.waitExit());
                agent.expectErr("the embedded broker does not start (tcp://127.0.0.1:" + taken.getLocalPort());
                agent.expectOut("SQLite connector closed its database");
            }
            try (Broker broker = broker(dir);
                 Agent agent = serve(dir, broker.url(), "agent.http.port=" + taken.getLocalPort())) {
                equal(2, agent.waitExit());
                agent.expectErr("the operations endpoint cannot listen on 127.0.0.1:" + taken.getLocalPort());
            }
        }
    }

    private void synchronousRequests() throws Exception {
        try (Scratch dir = new Scratch(); Broker broker = broker(dir);
             Client client = new Client(broker.url(), "hb.SyncTest.requests");
             Agent agent = Agent.start(launcher, properties, syncConnectorLibrary, dir, List.of("agent.broker.url="
                     + broker.url(), "ConnectorName=SyncTest", "agent.syncTimeout=1500"), Map.of())) {
            Session s = client.connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            MessageConsumer lookups = s.createConsumer(s.createQueue("hb.SyncTest.sync.Lookup"));
            String retrieve = "Customer { @verb Retrieve  CustomerId = \"C5\" }";
            client.send(client.session.createTextMessage(text(retrieve)), "r1");
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

    private Message request(Client client, boolean bytes, String readable) throws JMSException {
        if (json) {
            return client.session.createTextMessage(new JsonWire(specs, UTF8, "en_US").toJson(parse(readable)));
        }
        if (!bytes) {
            return client.session.createTextMessage(text(readable));
        }
        BytesMessage m = client.session.createBytesMessage();
        m.writeBytes(ByteText.bytes(parse(readable).toLengthPrefixed(specs)));
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

    private static long bodyLength(Message m) throws JMSException {
        if (m instanceof BytesMessage b) {
            return b.getBodyLength();
        }
        String text = ((TextMessage) m).getText();
        return text == null ? 0 : text.length();
    }
}
