package hbagent;

import com.fasterxml.jackson.core.JsonGenerator;
import com.fasterxml.jackson.core.JsonParser;
import com.fasterxml.jackson.core.JsonProcessingException;
import com.fasterxml.jackson.core.JsonToken;
import java.io.IOException;
import java.io.PrintStream;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Base64;
import java.util.Properties;
import java.util.UUID;
import javax.jms.BytesMessage;
import javax.jms.Connection;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Session;
import javax.jms.TemporaryQueue;
import javax.jms.TextMessage;

/**
 * hbagent request: sends one verb request to a serving agent and prints its
 * reply as one line of JSON: {"status": N, "message": ..., "error": ...,
 * "object": {...}} (message, error and object only when the reply has them).
 *
 * <p>Exit status: 0 when the verb answered status 1 (success), 1 for any
 * other status, 2 for bad arguments, an error the agent reported (the
 * request never reached the connector) or no reply within the timeout, 3
 * when the broker cannot be reached.
 */
public final class RequestCommand {
    static final String USAGE = String.join("\n",
            "usage: hbagent request [options] TYPE VERB JSON|@FILE",
            BrokerClient.CONNECTION_USAGE,
            "  --queue Q           the request queue (default: agent.serve.queue of the properties,",
            "                      else hb.<ConnectorName>.requests)",
            "  --timeout SECONDS   how long to wait for the broker and for the reply (default 30)",
            "  --transactional     send a transactional request (the document carries \"prior\")",
            "JSON is the business object's document; TYPE and VERB fill its type and verb.",
            "Prints the reply as one line of JSON. Exit status: 0 status 1, 1 another status,",
            "2 bad arguments, an error reported by the agent or no reply in time, 3 no broker.");

    private RequestCommand() {}

    public static int run(String[] args) { return run(args, System.out, System.err); }

    static int run(String[] args, PrintStream out, PrintStream err) {
        return BrokerClient.exitStatus("hbagent request", err, () -> request(args, out));
    }

    private static int request(String[] args, PrintStream out)
            throws BrokerClient.UsageException, BrokerClient.NoBrokerException, JMSException, IOException {
        String broker = null;
        String queue = null;
        Path propertiesFile = null;
        double timeout = 30;
        boolean transactional = false;
        String[] positional = new String[3];
        int count = 0;
        for (int i = 0; i < args.length; ++i) {
            String a = args[i];
            switch (a) {
                case "-h", "--help" -> {
                    out.println(USAGE);
                    return BrokerClient.OK;
                }
                case "--broker" -> broker = BrokerClient.value(args, ++i, a);
                case "--queue" -> queue = BrokerClient.value(args, ++i, a);
                case "-p", "--properties" -> propertiesFile = Path.of(BrokerClient.value(args, ++i, a));
                case "--timeout" -> timeout = BrokerClient.seconds(BrokerClient.value(args, ++i, a), a);
                case "--transactional" -> transactional = true;
                default -> {
                    if (a.startsWith("-") && a.length() > 1) {
                        throw new BrokerClient.UsageException("unknown option " + a + "\n" + USAGE);
                    }
                    if (count == positional.length) {
                        throw new BrokerClient.UsageException("too many arguments\n" + USAGE);
                    }
                    positional[count++] = a;
                }
            }
        }
        if (count < positional.length) {
            throw new BrokerClient.UsageException("give TYPE, VERB and the JSON document\n" + USAGE);
        }
        String type = positional[0];
        String verb = positional[1];
        if (type.isEmpty() || verb.isEmpty()) {
            throw new BrokerClient.UsageException("TYPE and VERB cannot be empty");
        }
        String document = positional[2];
        if (document.startsWith("@")) {
            Path file = Path.of(document.substring(1));
            try {
                document = Files.readString(file, StandardCharsets.UTF_8);
            } catch (IOException e) {
                throw new BrokerClient.UsageException("cannot read " + file + ": " + e.getMessage());
            }
        }
        String body = withTypeAndVerb(document, type, verb);
        Properties properties = propertiesFile == null ? null : BrokerClient.properties(propertiesFile);
        if (queue == null) {
            queue = requestQueue(properties);
        }
        Connection connection = BrokerClient.connect(BrokerClient.brokerUrl(broker, properties),
                BrokerClient.security(properties, System.getenv()), timeout);
        try {
            Session session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            TemporaryQueue replies = session.createTemporaryQueue();
            MessageConsumer consumer = session.createConsumer(replies);
            TextMessage message = session.createTextMessage(body);
            message.setStringProperty("verb", verb);
            message.setBooleanProperty("transactional", transactional);
            message.setJMSReplyTo(replies);
            String correlation = UUID.randomUUID().toString();
            message.setJMSCorrelationID(correlation);
            MessageProducer producer = session.createProducer(session.createQueue(queue));
            producer.send(message);
            long deadline = System.nanoTime() + (long) (timeout * 1e9);
            while (true) {
                long left = (deadline - System.nanoTime()) / 1_000_000;
                Message reply = left > 0 ? consumer.receive(left) : null;
                if (reply == null) {
                    throw new BrokerClient.UsageException("no reply from " + queue + " within " + timeout + " s");
                }
                if (correlation.equals(reply.getJMSCorrelationID())) {
                    return print(reply, out);
                }
            }
        } finally {
            BrokerClient.close(connection);
        }
    }

    /** The request queue from the properties: agent.serve.queue, else hb.<ConnectorName>.requests. */
    static String requestQueue(Properties properties) throws BrokerClient.UsageException {
        if (properties == null) {
            throw new BrokerClient.UsageException("give --queue, or -p with the agent's properties file");
        }
        String configured = properties.getProperty("agent.serve.queue");
        if (configured != null && !configured.isBlank()) {
            return configured.trim();
        }
        String name = properties.getProperty("ConnectorName");
        if (name == null || name.isBlank()) {
            throw new BrokerClient.UsageException("the properties file has no ConnectorName: give --queue");
        }
        return "hb." + name.trim() + ".requests";
    }

    /**
     * The document with "type" and "verb" first, as given on the command
     * line. A document that names another type or verb is refused.
     */
    static String withTypeAndVerb(String document, String type, String verb)
            throws BrokerClient.UsageException, IOException {
        StringWriter text = new StringWriter();
        try (JsonParser p = BrokerClient.json().createParser(document);
             JsonGenerator g = BrokerClient.json().createGenerator(text)) {
            if (p.nextToken() != JsonToken.START_OBJECT) {
                throw new BrokerClient.UsageException("the document must be a JSON object");
            }
            g.writeStartObject();
            g.writeStringField("type", type);
            g.writeStringField("verb", verb);
            int depth = 1;
            JsonToken t;
            while (depth > 0 && (t = p.nextToken()) != null) {
                if (depth == 1 && t == JsonToken.FIELD_NAME
                        && (p.currentName().equals("type") || p.currentName().equals("verb"))) {
                    String field = p.currentName();
                    String expected = field.equals("type") ? type : verb;
                    JsonToken v = p.nextToken();
                    boolean same = v == JsonToken.VALUE_STRING && p.getText().equals(expected);
                    if (!same && !(field.equals("verb") && v == JsonToken.VALUE_NULL)) {
                        throw new BrokerClient.UsageException("the document's \"" + field + "\" is not " + expected);
                    }
                    continue;
                }
                if (t == JsonToken.START_OBJECT || t == JsonToken.START_ARRAY) {
                    if (++depth > JsonWire.MAX_JSON_DEPTH) {
                        throw new BrokerClient.UsageException("the document is nested deeper than "
                                + JsonWire.MAX_JSON_DEPTH + " levels");
                    }
                } else if (t == JsonToken.END_OBJECT || t == JsonToken.END_ARRAY) {
                    --depth;
                }
                g.copyCurrentEvent(p);
            }
            if (depth > 0 || p.nextToken() != null) {
                throw new BrokerClient.UsageException("the document is not one JSON object");
            }
        } catch (JsonProcessingException e) {
            throw new BrokerClient.UsageException("the document is not JSON: " + e.getOriginalMessage()
                    + (e.getLocation() == null ? ""
                    : " (line " + e.getLocation().getLineNr() + ", column " + e.getLocation().getColumnNr() + ")"));
        }
        return text.toString();
    }

    /** Prints the reply as one line of JSON; returns the exit status it stands for. */
    static int print(Message reply, PrintStream out) throws JMSException, IOException {
        boolean hasStatus = reply.propertyExists("status");
        int status = 0;
        String statusError = null;
        if (hasStatus) {
            try {
                status = reply.getIntProperty("status");
            } catch (JMSException | NumberFormatException e) {
                statusError = "the reply's status is not a number: " + reply.getObjectProperty("status");
            }
        }
        String message = reply.propertyExists("message") ? reply.getStringProperty("message") : null;
        String error = reply.propertyExists("error") ? reply.getStringProperty("error") : null;
        if (!hasStatus && error == null) {
            error = "the reply has no status";
        } else if (statusError != null) {
            error = statusError;
        }
        StringWriter text = new StringWriter();
        try (JsonGenerator g = BrokerClient.json().createGenerator(text)) {
            g.writeStartObject();
            if (hasStatus && statusError == null) {
                g.writeNumberField("status", status);
            }
            if (message != null) {
                g.writeStringField("message", message);
            }
            if (error != null) {
                g.writeStringField("error", error);
            }
            body(reply, g);
            g.writeEndObject();
        }
        out.println(text);
        out.flush();
        if (error != null) {
            return BrokerClient.ERROR;
        }
        return status == 1 ? BrokerClient.OK : BrokerClient.STATUS;
    }

    /** The reply's body: "object" when it is JSON, else "record" (text) or "recordBase64" (bytes); none when empty. */
    static void body(Message reply, JsonGenerator g) throws JMSException, IOException {
        if (reply instanceof TextMessage t) {
            String s = t.getText();
            if (s == null || s.isEmpty()) {
                return;
            }
            String json = BrokerClient.compact(s);
            if (json != null && json.startsWith("{")) {
                g.writeFieldName("object");
                g.writeRawValue(json);
            } else {
                g.writeStringField("record", s);
            }
        } else if (reply instanceof BytesMessage b) {
            long length = b.getBodyLength();
            if (length <= 0) {
                return;
            }
            if (length > Integer.MAX_VALUE - 16) {
                throw new IOException("a reply body of " + length + " bytes");
            }
            byte[] bytes = new byte[(int) length];
            b.readBytes(bytes);
            g.writeStringField("recordBase64", Base64.getEncoder().encodeToString(bytes));
        }
    }
}
