package hbagent;

import com.fasterxml.jackson.core.JsonFactory;
import com.fasterxml.jackson.core.JsonGenerator;
import com.fasterxml.jackson.core.JsonParser;
import com.fasterxml.jackson.core.JsonProcessingException;
import com.fasterxml.jackson.core.JsonToken;
import java.io.IOException;
import java.io.Reader;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.Map;
import java.util.Properties;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.concurrent.atomic.AtomicReference;
import javax.jms.Connection;
import javax.jms.JMSException;
import org.apache.activemq.ActiveMQConnectionFactory;

/** What the command-line clients share: exit codes, the broker connection, properties and JSON copying. */
final class BrokerClient {
    static final String DEFAULT_BROKER = "tcp://127.0.0.1:61616";

    /** The usage lines of the options both clients take to reach the broker. */
    static final String CONNECTION_USAGE = String.join("\n",
            "  --broker URL        the broker (default: agent.broker.url or agent.broker.listen of the properties,",
            "                      else " + DEFAULT_BROKER + ")",
            "  -p, --properties F  the agent's properties file (for the broker, and for request its queue)",
            "                      and its agent.broker.user, agent.broker.passwordFile and agent.tls.*",
            "                      (passwords: those files, else HB_BROKER_PASSWORD, HB_TLS_*_PASSWORD)");
    /** How long listen waits for the broker when it has no --timeout. */
    static final double CONNECT_SECONDS = 30;

    /** The verb's status was 1 (success); for listen: done. */
    static final int OK = 0;
    /** The verb answered another status. */
    static final int STATUS = 1;
    /** Bad arguments, an error the agent reported, or no answer in time. */
    static final int ERROR = 2;
    /** The broker cannot be reached. */
    static final int NO_BROKER = 3;

    private static final JsonFactory JSON = new JsonFactory();

    private BrokerClient() {}

    /** A command-line mistake or bad input: exit 2 with the message. */
    /** The body of a client command: its exit status, or one of the exceptions {@link #exitStatus} maps. */
    @FunctionalInterface
    interface Command {
        int run() throws UsageException, NoBrokerException, JMSException, IOException;
    }

    /**
     * Runs a client command and turns what it throws into its message on
     * {@code err} and the documented exit status: bad arguments and unreadable
     * files 2, a broker that cannot be reached or fails 3.
     */
    static int exitStatus(String name, java.io.PrintStream err, Command command) {
        try {
            return command.run();
        } catch (UsageException | IOException e) {
            err.println(name + ": " + e.getMessage());
            return ERROR;
        } catch (NoBrokerException e) {
            err.println(name + ": " + e.getMessage());
            return NO_BROKER;
        } catch (JMSException e) {
            err.println(name + ": the broker failed: " + reason(e));
            return NO_BROKER;
        }
    }

    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) { super(message); }
    }

    /** The broker cannot be reached: exit 3. */
    static final class NoBrokerException extends Exception {
        private static final long serialVersionUID = 1L;

        NoBrokerException(String message, Throwable cause) { super(message, cause); }
    }

    static String value(String[] args, int i, String option) throws UsageException {
        if (i >= args.length) {
            throw new UsageException(option + " needs a value");
        }
        return args[i];
    }

    static double seconds(String text, String option) throws UsageException {
        try {
            double s = Double.parseDouble(text);
            if (s > 0 && s <= 86_400) {
                return s;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new UsageException(option + " takes a number of seconds above 0 (at most a day), not \"" + text + "\"");
    }

    /** The agent's properties file, read as the agent reads it (UTF-8). */
    static Properties properties(Path file) throws UsageException {
        Properties p = new Properties();
        try (Reader reader = Files.newBufferedReader(file, StandardCharsets.UTF_8)) {
            p.load(reader);
        } catch (IOException | IllegalArgumentException e) {
            throw new UsageException("cannot read the properties file " + file + ": " + e.getMessage());
        }
        // File names of the credentials are relative to the properties file, as for the agent.
        Path base = file.toAbsolutePath().getParent();
        for (String key : p.stringPropertyNames()) {
            if (base != null && key.startsWith("agent.") && (key.endsWith("File") || key.endsWith("Store"))
                    && BrokerSecurity.KEYS.contains(key.substring("agent.".length()))) {
                p.setProperty(key, base.resolve(p.getProperty(key).trim()).normalize().toString());
            }
        }
        return p;
    }

    /**
     * The user, password and TLS stores the clients present, read as the
     * agent reads them: names from the properties, secrets from the files
     * they name or from the environment, never from the command line.
     */
    static BrokerSecurity security(Properties properties, Map<String, String> environment) throws UsageException {
        Map<String, String> settings = new HashMap<>();
        if (properties != null) {
            for (String key : properties.stringPropertyNames()) {
                if (key.startsWith("agent.")) {
                    try {
                        BrokerSecurity.refuseInlineSecret(key.substring("agent.".length()), "the properties file");
                    } catch (HbAgentException e) {
                        throw new UsageException(e.getMessage());
                    }
                    settings.put(key.substring("agent.".length()), properties.getProperty(key).trim());
                }
            }
        }
        return BrokerSecurity.of(settings, Path.of("").toAbsolutePath(), environment);
    }

    /**
     * The broker URL: the option, else the properties' agent.broker.url or
     * agent.broker.listen (the embedded broker), else tcp://127.0.0.1:61616.
     */
    static String brokerUrl(String option, Properties properties) {
        if (option != null) {
            return option;
        }
        if (properties != null) {
            for (String key : new String[] {"agent.broker.url", "agent.broker.listen"}) {
                String v = properties.getProperty(key);
                if (v != null && !v.isBlank()) {
                    return v.trim();
                }
            }
        }
        return DEFAULT_BROKER;
    }

    /**
     * A started connection to the broker, within seconds: a failover URL
     * whose brokers are all down would otherwise wait for ever.
     */
    static Connection connect(String url, BrokerSecurity security, double seconds)
            throws NoBrokerException, UsageException {
        ActiveMQConnectionFactory factory;
        try {
            BrokerSecurity.refuseSecretInUrl("the broker URL", url);
            factory = security.factory(url);
        } catch (IllegalArgumentException e) {
            throw new UsageException("not a broker URL: " + url + ": " + e.getMessage());
        } catch (HbAgentException e) {
            throw new UsageException(e.getMessage());
        }
        AtomicReference<Connection> made = new AtomicReference<>();
        FutureTask<Connection> task = new FutureTask<>(() -> {
            Connection connection = factory.createConnection();
            made.set(connection);
            connection.start();
            return connection;
        });
        Thread thread = new Thread(task, "hbagent-connect");
        thread.setDaemon(true);
        thread.start();
        try {
            return task.get((long) (seconds * 1000), TimeUnit.MILLISECONDS);
        } catch (ExecutionException e) {
            close(made.get());
            throw new NoBrokerException("cannot connect to the broker at " + url + ": " + reason(e.getCause()),
                    e.getCause());
        } catch (TimeoutException e) {
            task.cancel(true);
            close(made.get());
            throw new NoBrokerException("cannot connect to the broker at " + url + " within " + seconds + " s", e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            close(made.get());
            throw new NoBrokerException("interrupted while connecting to " + url, e);
        }
    }

    static void close(Connection connection) {
        if (connection != null) {
            try {
                connection.close();
            } catch (JMSException | RuntimeException e) {
                // Closing is best effort: the process ends next.
            }
        }
    }

    /** The innermost message of a failure, for one line of output. */
    static String reason(Throwable e) {
        Throwable t = e;
        while (t.getCause() != null && t.getCause() != t) {
            t = t.getCause();
        }
        String m = t.getMessage();
        return m == null ? t.getClass().getSimpleName() : m;
    }

    /**
     * Copies one JSON document onto a generator token by token (no recursion),
     * refusing nesting deeper than the wire accepts. Returns false when the text
     * is not one JSON document.
     */
    static boolean copy(String json, JsonGenerator g) throws IOException {
        try (JsonParser p = JSON.createParser(json)) {
            int depth = 0;
            JsonToken t;
            boolean any = false;
            while ((t = p.nextToken()) != null) {
                if (t == JsonToken.START_OBJECT || t == JsonToken.START_ARRAY) {
                    if (++depth > JsonWire.MAX_JSON_DEPTH) {
                        return false;
                    }
                } else if (t == JsonToken.END_OBJECT || t == JsonToken.END_ARRAY) {
                    --depth;
                }
                g.copyCurrentEvent(p);
                any = true;
                if (depth == 0) {
                    break;
                }
            }
            return any && depth == 0 && p.nextToken() == null;
        } catch (JsonProcessingException e) {
            return false;
        }
    }

    /** The text as one line of JSON, or null when it is not a JSON document. */
    static String compact(String json) {
        StringWriter out = new StringWriter();
        try (JsonGenerator g = JSON.createGenerator(out)) {
            if (!copy(json, g)) {
                return null;
            }
        } catch (IOException | RuntimeException e) {
            return null;
        }
        return out.toString();
    }

    static JsonFactory json() { return JSON; }
}
