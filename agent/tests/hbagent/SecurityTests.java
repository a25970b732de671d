package hbagent;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import javax.jms.Connection;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Session;
import javax.jms.TextMessage;
import org.apache.activemq.ActiveMQConnectionFactory;

/**
 * "hbagent serve" with the SQLite sample behind the service's protections,
 * each case with its own broker on a free port of 127.0.0.1 in a temporary
 * folder: credentials refused and retried until right, TLS with keys made by
 * keytool at test time, the embedded broker's users and groups, request size
 * and nesting limits. Every case ends by searching all the agent wrote and
 * its /metrics and /health answers for the passwords it was given.
 */
public final class SecurityTests extends ServiceCase {
    private SecurityTests(String[] args) {
        super(args);
        test("credentials: missing and wrong passwords refused and retried with back-off, the right one serves",
                this::credentials);
        test("TLS with keytool's keys: the agent and a client connect, an untrusted certificate is refused;"
                + " the same with the embedded broker on ssl://",
                this::tls);
        test("embedded broker with users and groups: only the request group reaches the connector",
                this::embeddedAccess);
        test("an oversized request and a 10,000-deep document: error replies, memory bounded, serving goes on",
                this::limits);
    }

    public static void main(String[] args) {
        run(args, "SecurityTests HBAGENT CONNECTOR_LIBRARY SAMPLE_FOLDER", SecurityTests::new);
    }

    // ---- Cases -----------------------------------------------------------------

    private void credentials() throws Exception {
        String right = "agent-Right-7f3a";
        String wrong = "agent-Wrong-91c2";
        String clientPassword = "alice-Pw-55d0";
        try (Scratch dir = new Scratch();
             Broker broker = Broker.start(dir.path.resolve("broker"), freePort(),
                     Map.of("hbagent", right, "alice", clientPassword), null, null)) {
            Path passwordFile = dir.path.resolve("agent.password");
            Files.writeString(passwordFile, "");
            try (Agent agent = agent(dir, List.of("agent.broker.url=" + broker.url(),
                    "agent.broker.user=hbagent", "agent.broker.passwordFile=" + passwordFile, "agent.http.port=0",
                    "DatabasePath=" + dir.path.resolve("c.db")), Map.of("HB_BROKER_PASSWORD", wrong))) {
                // No password at all (the file, when named, wins over the environment).
                agent.awaitErr("attempt 1)");
                Files.writeString(passwordFile, wrong + "\n");
                agent.awaitErr("attempt 3)");
                String err = agent.err();
                check(err.contains("the broker refused the agent's credentials (user hbagent"), err);
                check(err.contains("User name [hbagent] or password is invalid"), err);
                // The delay doubles: 1 s, then 2 s, then 4 s.
                check(err.contains("attempt 1): ") && err.contains("trying again in 1000 ms")
                        && err.contains("trying again in 2000 ms") && err.contains("trying again in 4000 ms"), err);
                check(!err.contains("serving "), "the agent serves only once connected");
                Files.writeString(passwordFile, right + "\n");
                agent.awaitErr("serving hb.SQLiteDemo.requests");
                agent.expectErr("connected to " + broker.url());
                try (Client client = new Client(factory(broker.url(), "alice", clientPassword))) {
                    equal(1, client.call(record("C1", "Ada")).getIntProperty("status"));
                }
                // A client with a wrong password is refused by the broker as well.
                refusedByBroker("a wrong client password",
                        () -> new Client(factory(broker.url(), "alice", wrong)).close());
                String ops = operations(agent);
                equal(0, agent.stop());
                noSecrets(agent, ops, right, wrong, clientPassword);
            }
            // SIGTERM while the credentials are refused: the connector is terminated, exit status 0.
            Files.writeString(passwordFile, wrong);
            try (Agent agent = agent(dir, List.of("agent.broker.url=" + broker.url(),
                    "agent.broker.user=hbagent", "agent.broker.passwordFile=" + passwordFile,
                    "DatabasePath=" + dir.path.resolve("c.db")), Map.of())) {
                agent.awaitErr("attempt 1)");
                equal(0, agent.stop());
                agent.expectOut("n_terminate returned 0");
                agent.expectErr("shutting down: the broker never took the agent's credentials");
                noSecrets(agent, "", right, wrong);
            }
        }
    }

    private void tls() throws Exception {
        String storePassword = "store-Pw-c0ffee";
        try (Scratch dir = new Scratch()) {
            Path d = dir.path;
            // The broker's key (its certificate names 127.0.0.1), the agent's, and a stranger's.
            for (String who : List.of("broker", "agent", "stranger")) {
                keytool("-genkeypair", "-alias", who, "-keyalg", "EC", "-groupname", "secp256r1", "-validity", "2",
                        "-dname", "CN=" + (who.equals("broker") ? "127.0.0.1" : who), "-ext",
                        "SAN=ip:127.0.0.1,dns:localhost", "-keystore", d.resolve(who + ".p12").toString(),
                        "-storetype", "PKCS12", "-storepass", storePassword);
            }
            // Each side trusts the other's certificate, and nothing else.
            trust(d, "broker", "agent-trust.p12", storePassword);
            trust(d, "agent", "broker-trust.p12", storePassword);
            Path storePasswordFile = d.resolve("trust.password");
            Files.writeString(storePasswordFile, storePassword + "\n");
            try (Broker broker = Broker.start(d.resolve("broker"), freePort(), Map.of(),
                    new Path[] {d.resolve("broker.p12"), d.resolve("broker-trust.p12")}, storePassword)) {
                check(broker.url().startsWith("ssl://127.0.0.1:"), broker.url());
                try (Agent agent = agent(dir, List.of("agent.broker.url=" + broker.url(),
                        "agent.wire=json", "agent.tls.keyStore=" + d.resolve("agent.p12"),
                        "agent.tls.trustStore=" + d.resolve("agent-trust.p12"),
                        "agent.tls.trustStorePasswordFile=" + storePasswordFile, "agent.http.port=0",
                        "DatabasePath=" + d.resolve("c.db")), Map.of("HB_TLS_KEYSTORE_PASSWORD", storePassword))) {
                    agent.awaitErr("serving hb.SQLiteDemo.requests");
                    // hbagent request with the agent's identity, from a properties file.
                    Output r = request(clientProperties(d, "agent"), broker.url(), "T1", "Tess");
                    equal(0, r.code());
                    check(r.out().contains("\"Tess\""), r.out());
                    // A stranger's certificate, signed by nobody the broker trusts: refused.
                    r = request(clientProperties(d, "stranger"), broker.url(), "T2", "X");
                    equal(BrokerClient.NO_BROKER, r.code());
                    check(r.err().contains("cannot connect to the broker"), r.err());
                    String ops = operations(agent);
                    equal(0, agent.stop());
                    noSecrets(agent, ops + r.out() + r.err(), storePassword);
                }
            }
            // The embedded broker on ssl://: it presents the key store and takes only trusted clients.
            String listen = "ssl://127.0.0.1:" + freePort();
            try (Agent agent = agent(dir, List.of("agent.broker.listen=" + listen + "?needClientAuth=true",
                    "agent.broker.dataDir=" + d.resolve("embedded"), "agent.tls.keyStore=" + d.resolve("broker.p12"),
                    "agent.tls.trustStore=" + d.resolve("broker-trust.p12"),
                    "agent.tls.keyStorePasswordFile=" + storePasswordFile,
                    "agent.tls.trustStorePasswordFile=" + storePasswordFile, "DatabasePath=" + d.resolve("e.db")),
                    Map.of())) {
                agent.awaitErr("serving hb.SQLiteDemo.requests");
                Output r = request(clientProperties(d, "agent"), listen, "E1", "Emma");
                equal(0, r.code());
                r = request(clientProperties(d, "stranger"), listen, "E2", "X");
                equal(BrokerClient.NO_BROKER, r.code());
                equal(0, agent.stop());
                noSecrets(agent, r.out() + r.err(), storePassword);
            }
        }
    }

    private void embeddedAccess() throws Exception {
        String agentPassword = "hb-Pw-a11ce";
        String alicePassword = "alice-Pw-b0b";
        String malloryPassword = "mallory-Pw-e5e";
        try (Scratch dir = new Scratch()) {
            Path d = dir.path;
            Files.writeString(d.resolve("users.properties"), "hb = " + agentPassword + "\nalice = " + alicePassword
                    + "\nmallory = " + malloryPassword + "\n");
            Files.writeString(d.resolve("groups.properties"), "agents = hb\nrequesters = alice\nothers = mallory\n");
            int port = freePort();
            String url = "tcp://127.0.0.1:" + port;

            // Beyond loopback without users: refused before the connector starts, saying why.
            try (Agent open = agent(dir, List.of("agent.broker.listen=tcp://0.0.0.0:" + port,
                    "agent.broker.dataDir=" + d.resolve("open"), "DatabasePath=" + d.resolve("c.db")), Map.of())) {
                equal(2, open.waitExit());
                open.expectErr("is not a loopback address, and anyone reaching it could send requests");
                check(!open.out().contains("n_init"), "the connector was not started");
            }

            List<String> defines = List.of("agent.broker.listen=" + url, "agent.broker.dataDir=" + d.resolve("kahadb"),
                    "agent.broker.usersFile=users.properties", "agent.broker.groupsFile=groups.properties",
                    "agent.broker.requestGroup=requesters", "agent.broker.user=hb", "agent.http.port=0",
                    "agent.pollInterval=200", "DatabasePath=" + d.resolve("c.db"));
            // The access files are named relative to the properties: give absolute ones through -D.
            List<String> absolute = new ArrayList<>();
            for (String def : defines) {
                absolute.add(def.replace("=users.properties", "=" + d.resolve("users.properties"))
                        .replace("=groups.properties", "=" + d.resolve("groups.properties")));
            }
            try (Agent agent = agent(dir, absolute, Map.of("HB_BROKER_PASSWORD", agentPassword))) {
                agent.awaitErr("serving hb.SQLiteDemo.requests");
                ActiveMQConnectionFactory alice = factory(url, "alice", alicePassword);
                try (Client client = new Client(alice)) {
                    MessageConsumer events = client.session.createConsumer(
                            client.session.createTopic("hb.SQLiteDemo.events"));
                    equal(1, client.call(record("A1", "Confidential Ann")).getIntProperty("status"));
                    // The agent's own user publishes events; the request group reads them.
                    Message event = events.receive(WAIT_MS);
                    check(event != null, "an event for A1 arrived:\n" + agent.err());
                    equal("Create", event.getStringProperty("verb"));
                }
                // Mallory logs in but is no member of the request group: the broker refuses the send.
                // (Without the advisory topics, which mallory may not read either.)
                ActiveMQConnectionFactory malloryFactory = factory(url, "mallory", malloryPassword);
                malloryFactory.setWatchTopicAdvisories(false);
                Connection mallory = malloryFactory.createConnection();
                try {
                    mallory.start();
                    Session session = mallory.createSession(false, Session.AUTO_ACKNOWLEDGE);
                    refusedByBroker("mallory's request", () -> session.createProducer(
                            session.createQueue("hb.SQLiteDemo.requests")).send(session.createTextMessage(record("M1",
                            "Mallory"))));
                    // Nor may mallory read the requests of others.
                    refusedByBroker("mallory reading requests",
                            () -> session.createConsumer(session.createQueue("hb.SQLiteDemo.requests")));
                } finally {
                    mallory.close();
                }
                // A wrong password does not connect at all.
                refusedByBroker("a wrong password", () -> new Client(factory(url, "alice", malloryPassword)).close());
                try (Client client = new Client(alice)) {
                    equal(-2, client.call(retrieve("M1")).getIntProperty("status"));
                    equal(1, client.call(retrieve("A1")).getIntProperty("status"));
                }
                check(!agent.out().contains("M1") && !agent.out().contains("Mallory"),
                        "mallory's request never reached the connector:\n" + agent.out());
                String ops = operations(agent);
                check(!ops.contains("Confidential") && !ops.contains("A1"),
                        "no business value in /metrics or /health:\n" + ops);
                equal(0, agent.stop());
                noSecrets(agent, ops, agentPassword, alicePassword, malloryPassword);
            }
        }
    }

    private void limits() throws Exception {
        try (Scratch dir = new Scratch();
             Broker broker = Broker.start(dir.path.resolve("broker"), freePort());
             Client client = new Client(broker.url())) {
            // A small heap and one consumer: five 12 MB requests fit only when none is decoded.
            try (Agent agent = agent(dir, List.of("agent.broker.url=" + broker.url(), "agent.wire=json",
                    "agent.serve.maxMessageBytes=1048576", "agent.serve.threads=1", "agent.http.port=0",
                    "DatabasePath=" + dir.path.resolve("c.db")), Map.of("HBAGENT_JAVA_OPTS",
                    "-Xcheck:jni -Xmx64m -XX:+ExitOnOutOfMemoryError"))) {
                agent.awaitErr("serving hb.SQLiteDemo.requests");
                String big = "{\"type\": \"Customer\", \"verb\": \"Create\", \"attributes\": {\"CustomerId\": \"B1\","
                        + " \"Name\": \"" + "n".repeat(12 << 20) + "\"}}";
                List<String> sent = new ArrayList<>();
                for (int i = 0; i < 5; ++i) {
                    TextMessage m = client.session.createTextMessage(big);
                    client.send(m, "big" + i);
                    sent.add("big" + i);
                }
                for (String id : sent) {
                    Message reply = client.receive(id);
                    equal(-1, reply.getIntProperty("status"));
                    equal("the request is larger than agent.serve.maxMessageBytes (1048576 bytes)",
                            reply.getStringProperty("error"));
                }
                for (String deep : List.of("[".repeat(10_000) + "]".repeat(10_000),
                        "{\"a\":".repeat(10_000) + "1" + "}".repeat(10_000))) {
                    Message reply = client.call(deep);
                    equal(-1, reply.getIntProperty("status"));
                    String error = reply.getStringProperty("error");
                    check(error != null && error.contains("nested deeper than"), "error: " + error);
                }
                // Business objects nested deeper than the library's cap of 100, as valid JSON.
                StringBuilder nested = new StringBuilder();
                for (int i = 0; i < 150; ++i) {
                    nested.append("{\"type\": \"Customer\", \"verb\": \"Create\", \"attributes\": {\"Addresses\": [");
                }
                nested.append("]}}".repeat(150));
                Message reply = client.call(nested.toString());
                equal(-1, reply.getIntProperty("status"));
                check(reply.getStringProperty("error").contains("nested deeper than"),
                        reply.getStringProperty("error"));
                // Still serving, still alive.
                reply = client.call(record("S1", "Sam"));
                equal(1, reply.getIntProperty("status"));
                String ops = operations(agent);
                check(ops.contains("hbagent_requests_total{verb=\"\",status=\"-1\"} 8"), ops);
                equal(0, agent.stop());
                agent.expectErr("9 requests served");
            }
        }
    }

    // ---- Helpers ---------------------------------------------------------------

    private Agent agent(Scratch dir, List<String> defines, Map<String, String> env)
            throws IOException {
        List<String> all = new ArrayList<>(defines);
        all.add(0, "agent.wire=json");
        return Agent.start(launcher, properties, connector, dir, all, env);
    }

    /** A Create of a customer in the JSON wire. */
    private static String record(String id, String name) {
        return "{\"type\": \"Customer\", \"verb\": \"Create\", \"attributes\": {\"CustomerId\": \"" + id
                + "\", \"Name\": \"" + name + "\"}}";
    }

    private static String retrieve(String id) {
        return "{\"type\": \"Customer\", \"verb\": \"Retrieve\", \"attributes\": {\"CustomerId\": \"" + id
                + "\"}}";
    }

    /** /health and /metrics of a running agent, one text. */
    private static String operations(Agent agent) throws Exception {
        return get(opsAddress(agent) + "/health").body() + metrics(agent);
    }

    /** The body must fail with a JMSException the broker's checks caused. */
    private static void refusedByBroker(String what, Body body) throws Exception {
        JMSException e = throwsA(JMSException.class, body);
        check(BrokerSecurity.refused(e), what + " refused for its credentials or rights: " + e);
    }

    /** Nothing the agent wrote, nor its endpoint, holds any of the passwords. */
    private static void noSecrets(Agent agent, String more, String... passwords) throws IOException {
        String all = agent.out() + agent.err() + more;
        for (String p : passwords) {
            check(!all.contains(p), "a password appears in the agent's output or endpoint");
        }
    }

    private static void keytool(String... args) throws Exception {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "keytool").toString());
        command.addAll(List.of(args));
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        check(p.waitFor() == 0, "keytool " + args[0] + ": " + output);
    }

    /** Exports who's certificate from its key store into the trust store named store. */
    private static void trust(Path d, String who, String store, String password) throws Exception {
        Path cert = d.resolve(who + ".crt");
        keytool("-exportcert", "-alias", who, "-keystore", d.resolve(who + ".p12").toString(),
                "-storetype", "PKCS12", "-storepass", password, "-file", cert.toString());
        keytool("-importcert", "-noprompt", "-alias", who, "-file", cert.toString(),
                "-keystore", d.resolve(store).toString(), "-storetype", "PKCS12", "-storepass", password);
    }

    /** hbagent request's properties: the key store of who, and the trust store of the agent. */
    private static Path clientProperties(Path d, String who) throws IOException {
        return Files.writeString(d.resolve("client.properties"), "agent.tls.keyStore = " + who + ".p12\n"
                + "agent.tls.keyStorePasswordFile = trust.password\nagent.tls.trustStore = agent-trust.p12\n"
                + "agent.tls.trustStorePasswordFile = trust.password\n");
    }

    /** hbagent request: a Create of the customer id with the name. */
    private static Output request(Path properties, String url, String id, String name) {
        return ClientTests.request("--broker", url, "-p", properties.toString(), "--queue", "hb.SQLiteDemo.requests",
                "--timeout", "20", "Customer", "Create", "{\"attributes\": {\"CustomerId\": \"" + id + "\","
                        + " \"Name\": \"" + name + "\"}}");
    }
}
