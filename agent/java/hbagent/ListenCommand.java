package hbagent;

import com.fasterxml.jackson.core.JsonGenerator;
import java.io.IOException;
import java.io.PrintStream;
import java.io.StringWriter;
import java.util.Base64;
import javax.jms.BytesMessage;
import javax.jms.Connection;
import javax.jms.Destination;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.Session;
import javax.jms.TextMessage;

/**
 * hbagent listen: prints the messages arriving on a destination (events of a
 * serving agent), one JSON document a line. A JSON body is printed as it is
 * (on one line); any other body as {"type": ..., "verb": ...,
 * "collaboration": ..., "record": ...} ("recordBase64" for bytes).
 *
 * <p>Runs until interrupted, or until --count messages arrived, or for
 * --timeout seconds. Exit status: 0 when it ends (or --count was reached),
 * 2 for bad arguments or when --timeout ends before --count messages came,
 * 3 when the broker cannot be reached or goes away.
 */
public final class ListenCommand {
    static final String USAGE = String.join("\n",
            "usage: hbagent listen [options] DEST",
            "  DEST                topic://NAME or queue://NAME, e.g. topic://hb.MyConnector.events",
            BrokerClient.CONNECTION_USAGE,
            "  --count N           stop after N messages",
            "  --timeout SECONDS   stop after this long (exit 2 if --count was not reached)",
            "Prints one JSON document a line until interrupted.");

    private ListenCommand() {}

    public static int run(String[] args) { return run(args, System.out, System.err); }

    static int run(String[] args, PrintStream out, PrintStream err) {
        return BrokerClient.exitStatus("hbagent listen", err, () -> listen(args, out, err));
    }

    private static int listen(String[] args, PrintStream out, PrintStream err)
            throws BrokerClient.UsageException, BrokerClient.NoBrokerException, JMSException, IOException {
        String broker = null;
        java.util.Properties properties = null;
        long count = -1;
        double timeout = -1;
        String dest = null;
        for (int i = 0; i < args.length; ++i) {
            String a = args[i];
            switch (a) {
                case "-h", "--help" -> {
                    out.println(USAGE);
                    return BrokerClient.OK;
                }
                case "--broker" -> broker = BrokerClient.value(args, ++i, a);
                case "-p", "--properties" -> properties = BrokerClient.properties(
                        java.nio.file.Path.of(BrokerClient.value(args, ++i, a)));
                case "--count" -> {
                    String v = BrokerClient.value(args, ++i, a);
                    try {
                        count = Long.parseLong(v);
                    } catch (NumberFormatException e) {
                        count = 0;
                    }
                    if (count < 1) {
                        throw new BrokerClient.UsageException("--count takes a number above 0, not \"" + v + "\"");
                    }
                }
                case "--timeout" -> timeout = BrokerClient.seconds(BrokerClient.value(args, ++i, a), a);
                default -> {
                    if (a.startsWith("-") || dest != null) {
                        throw new BrokerClient.UsageException((dest != null ? "one destination at a time"
                                : "unknown option " + a) + "\n" + USAGE);
                    }
                    dest = a;
                }
            }
        }
        if (dest == null) {
            throw new BrokerClient.UsageException("no destination given\n" + USAGE);
        }
        boolean topic = dest.startsWith("topic://");
        if (!topic && !dest.startsWith("queue://")) {
            throw new BrokerClient.UsageException("the destination is topic://NAME or queue://NAME, not " + dest);
        }
        String name = dest.substring(topic ? "topic://".length() : "queue://".length());
        if (name.isEmpty()) {
            throw new BrokerClient.UsageException("the destination " + dest + " has no name");
        }
        Connection connection = BrokerClient.connect(BrokerClient.brokerUrl(broker, properties),
                BrokerClient.security(properties, System.getenv()), timeout > 0 ? timeout : BrokerClient.CONNECT_SECONDS);
        try {
            Session session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            Destination destination = topic ? session.createTopic(name) : session.createQueue(name);
            MessageConsumer consumer = session.createConsumer(destination);
            err.println("hbagent listen: listening on " + dest);
            err.flush();
            long deadline = timeout > 0 ? System.nanoTime() + (long) (timeout * 1e9) : Long.MAX_VALUE;
            long received = 0;
            while (count < 0 || received < count) {
                long left = timeout > 0 ? (deadline - System.nanoTime()) / 1_000_000 : 0;
                if (timeout > 0 && left <= 0) {
                    break;
                }
                Message m = timeout > 0 ? consumer.receive(left) : consumer.receive();
                if (m == null) {
                    if (timeout > 0) {
                        continue;
                    }
                    // receive() without a timeout returns null only when the connection closed.
                    throw new JMSException("the connection was closed");
                }
                out.println(line(m));
                out.flush();
                ++received;
            }
            if (count > 0 && received < count) {
                err.println("hbagent listen: " + received + " of " + count + " messages within " + timeout + " s");
                return BrokerClient.ERROR;
            }
            return BrokerClient.OK;
        } finally {
            BrokerClient.close(connection);
        }
    }

    /** One message as one line of JSON. */
    static String line(Message m) throws JMSException, IOException {
        String text = null;
        byte[] bytes = null;
        if (m instanceof TextMessage t) {
            text = t.getText();
            String json = text == null ? null : BrokerClient.compact(text);
            if (json != null) {
                return json;
            }
        } else if (m instanceof BytesMessage b) {
            long length = b.getBodyLength();
            if (length > Integer.MAX_VALUE - 16) {
                throw new IOException("a message of " + length + " bytes");
            }
            bytes = new byte[(int) length];
            b.readBytes(bytes);
        }
        StringWriter out = new StringWriter();
        try (JsonGenerator g = BrokerClient.json().createGenerator(out)) {
            g.writeStartObject();
            for (String property : new String[] {"type", "verb", "collaboration"}) {
                if (m.propertyExists(property)) {
                    g.writeStringField(property, String.valueOf(m.getObjectProperty(property)));
                }
            }
            if (bytes != null) {
                g.writeStringField("recordBase64", Base64.getEncoder().encodeToString(bytes));
            } else if (text != null) {
                g.writeStringField("record", text);
            }
            g.writeEndObject();
        }
        return out.toString();
    }
}
