package hbagent;

import java.io.IOException;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.function.Function;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.jms.Connection;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Queue;
import javax.jms.Session;
import javax.net.ssl.KeyManagerFactory;
import javax.net.ssl.TrustManagerFactory;
import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.broker.BrokerService;
import org.apache.activemq.broker.SslContext;
import org.apache.activemq.security.AuthenticationUser;
import org.apache.activemq.security.SimpleAuthenticationPlugin;

/**
 * The base of the tests that run "hbagent serve" on the SQLite sample: their
 * arguments (the hbagent launcher, the sample connector library, the
 * sample's folder, ...), its records, and the fixtures: temporary folders,
 * brokers of the test's own on free ports of 127.0.0.1, JMS clients and
 * agent processes.
 */
abstract class ServiceCase extends TestCase {
    static final Charset UTF8 = StandardCharsets.UTF_8;
    static final long WAIT_MS = 30_000;
    private static final Pattern ENDPOINT = Pattern.compile("operations endpoint on (http://127\\.0\\.0\\.1:\\d+)/");

    final Path launcher;
    final Path connector;
    final Path properties;
    final Map<String, Spec> specs = new LinkedHashMap<>();

    ServiceCase(String[] args) {
        launcher = Path.of(args[0]);
        connector = Path.of(args[1]);
        properties = Path.of(args[2]).resolve("demo.properties");
        for (Spec s : Scenario.loadSpecs(Path.of(args[2]).resolve("customer.spec"), UTF8)) {
            specs.put(s.name(), s);
        }
    }

    /** Runs the cases factory makes of args (usage names them); exits with 0 when all pass. */
    static void run(String[] args, String usage, Function<String[], ServiceCase> factory) {
        if (args.length != usage.split(" ").length - 1) {
            System.err.println("usage: " + usage);
            System.exit(2);
        }
        System.setProperty("org.slf4j.simpleLogger.defaultLogLevel", "error");
        System.exit(factory.apply(args).runAll() == 0 ? 0 : 1);
    }

    // ---- Records ---------------------------------------------------------------

    /** An object written in hbagent's readable form. */
    BusObj parse(String readable) {
        return new BusObjText(specs, UTF8).parse(new Lexer("test.bo", readable, UTF8), "en_US");
    }

    /** Its delimited record, as Java text. */
    String text(String readable) { return ByteText.decodeStrict(parse(readable).toDelimited(specs), UTF8); }

    /** The record of a Create of the customer id. */
    String create(String id) { return text("Customer { @verb Create  CustomerId = \"" + id + "\"  Name = \"N\" }"); }

    String value(BusObj bo, String path) {
        BusObj.Value v = ObjectPath.resolve(bo, specs, path, UTF8);
        return v instanceof BusObj.Text t ? ByteText.decodeStrict(t.bytes(), UTF8) : ObjectPath.describe(v, UTF8);
    }

    // ---- The operations endpoint -------------------------------------------------

    static HttpResponse<String> get(String url) throws Exception {
        return HttpClient.newHttpClient().send(HttpRequest.newBuilder(URI.create(url)).build(),
                HttpResponse.BodyHandlers.ofString());
    }

    /** The address of the agent's operations endpoint, as it printed it: on 127.0.0.1 by default. */
    static String opsAddress(Agent agent) throws Exception {
        agent.awaitErr("operations endpoint on http://");
        Matcher m = ENDPOINT.matcher(agent.err());
        check(m.find(), "the endpoint binds to 127.0.0.1:\n" + agent.err());
        return m.group(1);
    }

    static String metrics(Agent agent) throws Exception { return get(opsAddress(agent) + "/metrics").body(); }

    // ---- Fixtures --------------------------------------------------------------

    /** A temporary folder, removed with everything in it. */
    static final class Scratch implements AutoCloseable {
        final Path path;

        Scratch() throws IOException { path = Files.createTempDirectory("hbagent-service-"); }

        @Override
        public void close() throws IOException { deleteTree(path); }
    }

    /** A broker's settings common to every test broker: its name and data folder, no JMX, no shut-down hook. */
    static BrokerService brokerService(String name, Path data, boolean persistent) {
        BrokerService b = new BrokerService();
        b.setBrokerName(name);
        b.setDataDirectoryFile(data.toFile());
        b.setPersistent(persistent);
        b.setUseJmx(false);
        b.setUseShutdownHook(false);
        return b;
    }

    /** A persistent broker of the test's own on 127.0.0.1: users (none: anyone), TLS with needClientAuth if stores. */
    static final class Broker implements AutoCloseable {
        private final BrokerService service;
        private final String url;

        private Broker(BrokerService service, String url) {
            this.service = service;
            this.url = url;
        }

        static Broker start(Path data, int port) throws Exception { return start(data, port, Map.of(), null, null); }

        static Broker start(Path data, int port, Map<String, String> users, Path[] stores, String storePassword)
                throws Exception {
            BrokerService b = brokerService("test" + port, data, true);
            if (!users.isEmpty()) {
                List<AuthenticationUser> list = new ArrayList<>();
                users.forEach((user, password) -> list.add(new AuthenticationUser(user, password, "users")));
                SimpleAuthenticationPlugin auth = new SimpleAuthenticationPlugin();
                auth.setAnonymousAccessAllowed(false);
                auth.setUsers(list);
                b.setPlugins(new org.apache.activemq.broker.BrokerPlugin[] {auth});
            }
            String url = (stores != null ? "ssl" : "tcp") + "://127.0.0.1:" + port;
            if (stores != null) {
                char[] pw = storePassword.toCharArray();
                KeyManagerFactory keys = KeyManagerFactory.getInstance(KeyManagerFactory.getDefaultAlgorithm());
                keys.init(load(stores[0], pw), pw);
                TrustManagerFactory trust = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
                trust.init(load(stores[1], pw));
                b.setSslContext(new SslContext(keys.getKeyManagers(), trust.getTrustManagers(), null));
            }
            b.addConnector(stores != null ? url + "?needClientAuth=true" : url);
            b.start();
            b.waitUntilStarted();
            return new Broker(b, url);
        }

        private static KeyStore load(Path file, char[] password) throws Exception {
            KeyStore s = KeyStore.getInstance("PKCS12");
            try (var in = Files.newInputStream(file)) {
                s.load(in, password);
            }
            return s;
        }

        String url() { return url; }

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

    static ActiveMQConnectionFactory factory(String url, String user, String password) {
        ActiveMQConnectionFactory f = new ActiveMQConnectionFactory(url);
        f.setUserName(user);
        f.setPassword(password);
        return f;
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

        Client(ActiveMQConnectionFactory factory) throws JMSException { this(factory, "hb.SQLiteDemo.requests"); }

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

        /** Sends a text request and waits for its reply. */
        Message call(String text) throws JMSException { return call(session.createTextMessage(text), null); }

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

    /** "hbagent serve" with the sample connector, under -Xcheck:jni. */
    Agent agent(Scratch dir, List<String> defines) throws IOException {
        return Agent.start(launcher, properties, connector, dir, defines, Map.of());
    }

    /** An "hbagent serve" process, its output in files. */
    static final class Agent implements AutoCloseable {
        private final Process process;
        private final Path out;
        private final Path err;

        private Agent(Process process, Path out, Path err) {
            this.process = process;
            this.out = out;
            this.err = err;
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

        void awaitErr(String text) throws Exception { awaitErr(text, WAIT_MS); }

        /** Waits (bounded) until the agent wrote text on standard error; returns System.nanoTime() then. */
        long awaitErr(String text, long ms) throws Exception {
            long end = System.currentTimeMillis() + ms;
            while (!err().contains(text)) {
                if (!process.isAlive() || System.currentTimeMillis() > end) {
                    throw new AssertionError("the agent did not write \"" + text + "\" within " + ms
                            + " ms; its standard error:\n" + err());
                }
                Thread.sleep(20);
            }
            return System.nanoTime();
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

        /** The exit status (bounded wait); any JNI warning fails. */
        int waitExit() throws Exception {
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                throw new AssertionError("the agent did not end within 60 s; standard error:\n" + err());
            }
            for (String text : List.of(out(), err())) {
                check(!text.contains("WARNING in native method") && !text.contains("FATAL ERROR in native method"),
                        "no JNI warning:\n" + text);
            }
            return process.exitValue();
        }

        @Override
        public void close() { kill(process); }
    }
}
