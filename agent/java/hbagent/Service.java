package hbagent;

import AppSide_Connector.AgentSettings;
import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import AppSide_Connector.UpcallLog;
import VqCommon.ReturnStatusDescriptor;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import javax.jms.BytesMessage;
import javax.jms.Connection;
import javax.jms.DeliveryMode;
import javax.jms.Destination;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.MessageConsumer;
import javax.jms.MessageProducer;
import javax.jms.Session;
import javax.jms.TemporaryQueue;
import javax.jms.TextMessage;
import org.apache.activemq.ActiveMQConnection;
import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.RedeliveryPolicy;
import org.apache.activemq.broker.BrokerService;
import org.apache.activemq.command.ActiveMQMessage;
import org.apache.activemq.transport.TransportListener;

/**
 * "hbagent serve": runs a connector as a service on an ActiveMQ broker.
 *
 * <p>Start-up is that of a scenario run (n_init, specifications,
 * subscriptions). Then verb requests are taken from the request queue by
 * several consumers, each in its own transacted session: the reply is sent
 * and the request acknowledged in one commit, so a request whose agent stops
 * before answering is delivered again. Events the connector publishes are
 * sent persistently and synchronously before the connector hears 0; while
 * the broker cannot be reached they are refused and the connector keeps
 * them. Of several agents of one connector only the holder of the poll
 * lease ({@link PollLease}) calls n_poll. SIGTERM and SIGINT stop the consumers, let running requests finish,
 * call n_terminate and end the process with status 0.
 */
final class Service {
    /** Exit status when start-up fails (the connector or the broker does not start). */
    static final int START_FAILED = 2;
    /** The delimiter of status records. */
    private static final char STATUS_DELIMITER = '\u0004';
    /** The first wait after the broker refused the agent's credentials; it doubles up to the maximum. */
    private static final long CREDENTIALS_RETRY_MS = 1000;
    private static final long CREDENTIALS_RETRY_MAX_MS = 60_000;

    private final AgentConfig config;
    private final ServiceConfig service;
    private final PrintStream out;
    private final PrintStream err;
    private final Charset charset;
    private final Map<String, Spec> specs = new LinkedHashMap<>();

    private BusObjNativeInterface agent;
    private JsonWire json;
    private final ServiceMetrics metrics = new ServiceMetrics();
    private OpsServer ops;
    private volatile boolean connectorUp;
    private BrokerService broker;
    private ActiveMQConnection connection;
    private final Object eventLock = new Object();
    private Session eventSession;
    private MessageProducer eventProducer;
    private final Map<String, Destination> eventDestinations = new LinkedHashMap<>();
    private Destination defaultEventDestination;
    private Session syncSession;
    private final Object syncLock = new Object();

    private volatile boolean connected;
    /** The connection was interrupted and has not resumed since. */
    private volatile boolean interrupted;
    /** Events were refused since the connection went: said once per outage. */
    private volatile boolean refusedWhileDown;
    private volatile boolean stopping;
    private final List<Thread> workers = new ArrayList<>();
    private Thread poller;
    /** The poll lease, while this agent is in the running for it (polling-capable connectors only). */
    private volatile PollLease lease;
    /**
     * Held around n_poll. Shut-down takes it (bounded) before n_terminate:
     * the poll thread may be waiting on an absent broker for the lease, which
     * need not hold shut-down up, but n_poll and n_terminate never overlap.
     */
    private final java.util.concurrent.locks.ReentrantLock pollLock = new java.util.concurrent.locks.ReentrantLock();
    private boolean pollClosed;
    /** The request workers inside a request (see serveOne). */
    private final java.util.Set<Thread> serving = java.util.concurrent.ConcurrentHashMap.newKeySet();
    private final CountDownLatch stopped = new CountDownLatch(1);
    private volatile int exitCode;

    final AtomicLong served = new AtomicLong();
    final AtomicLong refusedRequests = new AtomicLong();
    final AtomicLong eventsPublished = new AtomicLong();
    final AtomicLong eventsRefused = new AtomicLong();
    final AtomicLong redeliveries = new AtomicLong();
    final AtomicLong deadLetters = new AtomicLong();

    Service(AgentConfig config, PrintStream out, PrintStream err) {
        this.config = config;
        this.service = ServiceConfig.of(config);
        this.out = out;
        this.err = err;
        this.charset = config.valueCharset();
    }

    /** Runs until a signal stops the service; returns the exit status. */
    int run() throws InterruptedException {
        for (java.nio.file.Path file : config.specFiles) {
            for (Spec spec : Scenario.loadSpecs(file, charset)) {
                specs.put(spec.name(), spec);
            }
        }
        json = new JsonWire(specs, charset, ByteText.encode(config.locale, charset));
        startConnector();
        try {
            startBroker();
            connect();
            if (service.httpPort != null) {
                startOps();
            }
        } catch (JMSException | RuntimeException e) {
            agentLine((e instanceof HbAgentException ? "" : "cannot reach the broker: ") + describe(e));
            agent.n_terminate();
            if (connection != null) {
                try {
                    connection.close();
                } catch (JMSException closing) {
                    // Start-up failed already; the process ends.
                }
            }
            stopBroker();
            return START_FAILED;
        }
        installSignalHandler();
        for (int i = 0; i < service.threads; ++i) {
            Thread t = new Thread(this::serveLoop, "hbagent-request-" + (i + 1));
            workers.add(t);
            t.start();
        }
        if (config.pollingCapable) {
            metrics.polling(() -> lease != null && lease.held());
            poller = new Thread(this::pollLoop, "hbagent-poll");
            poller.start();
        }
        agentLine("serving " + service.requestQueue + " with " + service.threads + " consumers, "
                + (service.recordWire ? "record" : "JSON") + " wire, events on " + describeDestinations());
        stopped.await();
        return exitCode;
    }

    // ---- Start-up ----------------------------------------------------------

    private void startConnector() {
        AgentSettings settings = Startup.settings(config);
        settings.setEventResponder(this::onEvent);
        settings.setSyncResponder(this::onSync);
        UpcallLog log = new UpcallLog();
        log.setRecording(false);
        log.setListener(this::onRecord);
        agent = Startup.load(config, settings, log);
        agentLine("starting connector " + config.connector
                + (config.file != null ? ", properties " + config.file : ""));
        int result = agent.n_init(config.frameworkVersion, config.connector.toAbsolutePath().toString());
        out.println("  n_init(" + config.frameworkVersion + ") returned " + result);
        if (result != 1) {
            throw new HbAgentException("start-up failed: n_init returned " + result
                    + " (the connector did not start; see the log lines above)");
        }
        for (Spec spec : specs.values()) {
            out.println("  " + Startup.sendSpec(agent, config, spec));
        }
        for (String line : Startup.subscribe(agent, config)) {
            out.println("  " + line);
        }
        out.flush();
        connectorUp = true;
    }

    /** The operations endpoint: /health and /metrics, with the library's monitors when PerfLevel is on. */
    private void startOps() {
        String level = config.connectorProperties.getOrDefault("PerfLevel", "0").trim();
        boolean monitored;
        try {
            monitored = Integer.parseInt(level) > 0;
        } catch (NumberFormatException e) {
            monitored = false;
        }
        if (monitored) {
            metrics.monitors(() -> monitors(agent.n_getPerfMonitors()));
        }
        try {
            ops = new OpsServer(service.httpBind, service.httpPort, metrics, () -> {
                boolean up = connectorUp && connected && !stopping;
                PollLease l = lease;
                return new OpsServer.Health(up, Map.of("connector", connectorUp && !stopping ? "up" : "down",
                        "broker", connected ? "connected" : "disconnected",
                        "poll", !config.pollingCapable ? "none" : l != null && l.held() ? "polling" : "standby"));
            });
        } catch (IOException e) {
            throw new HbAgentException("the operations endpoint cannot listen on " + service.httpBind + ":"
                    + service.httpPort + ": " + e.getMessage());
        }
        agentLine("operations endpoint on http://" + hostInUrl(service.httpBind) + ":" + ops.port()
                + "/ (/health, /metrics)");
    }

    /**
     * The library's monitor list ("#~" then records "connector~operation~average~" each followed by "#")
     * as operation name to average milliseconds; records that do not read are left out.
     */
    static Map<String, Integer> monitors(String text) {
        Map<String, Integer> result = new LinkedHashMap<>();
        if (text == null || !text.startsWith("#~")) {
            return result;
        }
        for (String entry : text.substring(2).split("#")) {
            String[] fields = entry.split("~", -1);
            if (fields.length == 4 && fields[3].isEmpty()) {
                try {
                    result.put(fields[1], Integer.parseInt(fields[2]));
                } catch (NumberFormatException e) {
                    // Not a record of the library's form: left out.
                }
            }
        }
        return result;
    }

    private void startBroker() throws JMSException {
        if (service.brokerUrl != null) {
            return;
        }
        try {
            Files.createDirectories(service.dataDir);
            broker = new BrokerService();
            // Brokers of one network need names of their own; the agent's in-VM URL uses it.
            broker.setBrokerName(brokerName());
            broker.setDataDirectoryFile(service.dataDir.toFile());
            broker.setPersistent(true);
            broker.setUseJmx(false);
            broker.setUseShutdownHook(false);
            BrokerAccess.secure(broker, service, config);
            broker.addConnector(service.listen);
            for (String network : service.networkConnectors) {
                broker.addNetworkConnector(network);
            }
            broker.start();
            broker.waitUntilStarted();
        } catch (Exception e) {
            throw new HbAgentException("the embedded broker does not start (" + service.listen + ", "
                    + service.dataDir + "): " + describe(e));
        }
        String listening = service.listen;
        try {
            // The configured URL with the port taken (it may have asked for any free one).
            java.net.URI asked = new java.net.URI(service.listen);
            int port = broker.getTransportConnectors().get(0).getConnectUri().getPort();
            listening = new java.net.URI(asked.getScheme(), asked.getUserInfo(), asked.getHost(), port,
                    asked.getPath(), asked.getQuery(), null).toString();
        } catch (Exception e) {
            // The configured URL is still right to print.
        }
        agentLine("embedded broker started: listening on " + listening + ", data in " + service.dataDir);
    }

    /**
     * Connects; while the broker refuses the agent's credentials, logs it and
     * tries again with a growing delay (the password file is read again at
     * each attempt, so correcting it is enough).
     */
    private void connect() throws JMSException, InterruptedException {
        String url = service.brokerUrl != null ? ServiceConfig.withInactivityLimit(service.brokerUrl,
                service.pollLeaseTimeout) : "vm://" + brokerName() + "?create=false";
        long delay = CREDENTIALS_RETRY_MS;
        Thread whileRefused = null;
        for (int attempt = 1;; ++attempt) {
            try {
                connectOnce(url);
                if (whileRefused != null) {
                    try {
                        Runtime.getRuntime().removeShutdownHook(whileRefused);
                    } catch (IllegalStateException shuttingDown) {
                        // The hook is running already and ends the process.
                    }
                }
                return;
            } catch (JMSException e) {
                if (whileRefused == null && BrokerSecurity.refused(e)) {
                    // SIGTERM while waiting for right credentials still ends the connector cleanly.
                    whileRefused = new Thread(this::stopWhileRefused, "hbagent-shutdown");
                    Runtime.getRuntime().addShutdownHook(whileRefused);
                }
                if (!BrokerSecurity.refused(e)) {
                    throw e;
                }
                if (connection != null) {
                    try {
                        connection.close();
                    } catch (JMSException closing) {
                        // The broker already dropped it.
                    }
                    connection = null;
                }
                agentLine("the broker refused the agent's credentials (" + service.security + ", attempt " + attempt
                        + "): " + describe(e) + "; trying again in " + delay + " ms");
            }
            Thread.sleep(delay);
            delay = Math.min(delay * 2, CREDENTIALS_RETRY_MAX_MS);
        }
    }

    /** Shut-down before the broker took the credentials: no requests yet, so the connector and broker only. */
    private void stopWhileRefused() {
        agentLine("shutting down: the broker never took the agent's credentials");
        stopping = true;
        out.println("  n_terminate returned " + agent.n_terminate());
        stopBroker();
        out.flush();
        err.flush();
        Runtime.getRuntime().halt(0);
    }

    private void connectOnce(String url) throws JMSException {
        ActiveMQConnectionFactory factory = service.security.factory(url);
        factory.setAlwaysSyncSend(true);
        factory.setSendTimeout((int) service.sendTimeout);
        factory.getPrefetchPolicy().setQueuePrefetch(1);
        RedeliveryPolicy redelivery = new RedeliveryPolicy();
        // With a dead-letter queue of its own the agent takes one delivery more and moves the
        // request there itself; otherwise the client hands it to the broker's dead-letter queue.
        redelivery.setMaximumRedeliveries(service.maxRedeliveries + (service.deadLetterQueue != null ? 1 : 0));
        redelivery.setInitialRedeliveryDelay(100);
        redelivery.setRedeliveryDelay(100);
        factory.setRedeliveryPolicy(redelivery);
        connection = (ActiveMQConnection) factory.createConnection();
        connection.addTransportListener(new TransportListener() {
            @Override
            public void onCommand(Object command) {}

            @Override
            public void onException(IOException error) {
                connected = false;
                leaseLost();
                agentLine("broker connection lost: " + describe(error));
            }

            @Override  // ActiveMQ's spelling
            public void transportInterupted() {
                connected = false;
                leaseLost();
                interrupted = true;
                agentLine("broker connection interrupted: events are refused until it is back");
            }

            @Override
            public void transportResumed() {
                connected = true;
                // The first connection of a failover transport also reports itself resumed.
                if (interrupted) {
                    interrupted = false;
                    agentLine("broker connection resumed");
                }
            }
        });
        connection.setExceptionListener(e -> agentLine("broker connection failed: " + describe(e)));
        connection.start();
        connected = true;
        eventSession = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
        eventProducer = eventSession.createProducer(null);
        eventProducer.setDeliveryMode(DeliveryMode.PERSISTENT);
        defaultEventDestination = eventSession.createTopic(service.eventTopic());
        for (String collaboration : config.collaborations.keySet()) {
            String d = config.destinations.get(collaboration);
            Destination destination = defaultEventDestination;
            if (d != null) {
                String name = d.substring(d.indexOf(':') + 1);
                destination = d.startsWith("queue:") ? eventSession.createQueue(name) : eventSession.createTopic(name);
            }
            eventDestinations.put(collaboration, destination);
        }
        syncSession = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
        agentLine("connected to " + (service.brokerUrl != null ? service.brokerUrl : "the embedded broker"));
    }

    private String describeDestinations() {
        StringBuilder b = new StringBuilder();
        b.append(defaultEventDestination);
        for (Map.Entry<String, Destination> e : eventDestinations.entrySet()) {
            if (e.getValue() != defaultEventDestination) {
                b.append(", ").append(e.getKey()).append(" on ").append(e.getValue());
            }
        }
        return b.toString();
    }

    // ---- Requests ----------------------------------------------------------

    /** One consumer: takes a request, serves it, sends the reply and commits both. */
    private void serveLoop() {
        Session session = null;
        try {
            session = connection.createSession(true, Session.SESSION_TRANSACTED);
            MessageConsumer consumer = session.createConsumer(session.createQueue(service.requestQueue));
            MessageProducer replies = session.createProducer(null);
            replies.setDeliveryMode(DeliveryMode.PERSISTENT);
            while (!stopping) {
                try {
                    Message request = consumer.receive(200);
                    if (request != null) {
                        serveOne(session, replies, request);
                    }
                } catch (JMSException | RuntimeException e) {
                    // A failover connection comes back with its sessions: go on after a pause.
                    if (stopping || connection.isClosed() || connection.isTransportFailed()) {
                        throw e;
                    }
                    agentLine(Thread.currentThread().getName() + ": " + describe(e) + "; going on");
                    try {
                        Thread.sleep(500);
                    } catch (InterruptedException interrupted) {
                        return;
                    }
                }
            }
            consumer.close();
        } catch (JMSException | RuntimeException e) {
            if (!stopping) {
                agentLine(Thread.currentThread().getName() + " stopped: " + describe(e));
            }
        } finally {
            if (session != null) {
                try {
                    session.close();
                } catch (JMSException e) {
                    // Closing rolls back what was not committed; the broker redelivers it.
                }
            }
        }
    }

    /**
     * Serves one request unless shut-down has begun. The worker is marked as
     * serving before it looks at the stop flag, which shut-down sets before it
     * looks at the marks: so either the request is left unacknowledged (the
     * broker delivers it again) or shut-down waits for it before n_terminate.
     */
    private void serveOne(Session session, MessageProducer replies, Message request) throws JMSException {
        Thread self = Thread.currentThread();
        serving.add(self);
        try {
            if (!stopping) {
                serveRequest(session, replies, request);
            }
        } finally {
            serving.remove(self);
        }
    }

    private void serveRequest(Session session, MessageProducer replies, Message request) throws JMSException {
        String id = request.getJMSMessageID();
        int deliveries = request instanceof ActiveMQMessage m ? m.getRedeliveryCounter() : 0;
        long started = System.nanoTime();
        if (request.getJMSRedelivered()) {
            redeliveries.incrementAndGet();
            metrics.redelivered();
            agentLine("request " + id + " redelivered (delivery " + (deliveries + 1) + ")");
        }
        if (service.deadLetterQueue != null && deliveries > service.maxRedeliveries) {
            replies.send(session.createQueue(service.deadLetterQueue), request, DeliveryMode.PERSISTENT,
                    request.getJMSPriority(), Message.DEFAULT_TIME_TO_LIVE);
            session.commit();
            deadLetters.incrementAndGet();
            metrics.deadLettered();
            agentLine("request " + id + " failed " + (deliveries) + " times: moved to the dead-letter queue "
                    + service.deadLetterQueue);
            return;
        }
        try {
            Reply reply = handle(request);
            Destination replyTo = request.getJMSReplyTo();
            if (replyTo == null) {
                agentLine("request " + id + " has no JMSReplyTo: served (status " + reply.status
                        + (reply.error != null ? ", " + reply.error : "") + "), unanswerable");
            } else {
                Message message = reply.toMessage(session);
                String correlation = request.getJMSCorrelationID();
                message.setJMSCorrelationID(correlation != null ? correlation : id);
                // The reply is as persistent as its request.
                replies.send(replyTo, message, request.getJMSDeliveryMode(), Message.DEFAULT_PRIORITY,
                        Message.DEFAULT_TIME_TO_LIVE);
            }
            session.commit();
            served.incrementAndGet();
            metrics.requestServed(reply.verb, reply.status, System.nanoTime() - started);
        } catch (JMSException | RuntimeException e) {
            // The reply could not be sent: the request goes back to the broker,
            // which delivers it again until it has failed too often.
            boolean last = deliveries >= service.maxRedeliveries;
            agentLine("request " + id + " failed: " + describe(e)
                    + (last ? "; it goes to the dead-letter queue" : "; it will be delivered again"));
            if (last && service.deadLetterQueue == null) {
                deadLetters.incrementAndGet();
                metrics.deadLettered();
            }
            session.rollback();
        }
    }

    /** What goes back for one request: status, message, the agent's error, the object. */
    record Reply(String verb, int status, String message, String error, String text, byte[] bytes) {
        static Reply refused(String verb, String error) { return new Reply(verb, -1, null, error, null, null); }

        Message toMessage(Session session) throws JMSException {
            Message m;
            if (bytes != null) {
                BytesMessage b = session.createBytesMessage();
                b.writeBytes(bytes);
                m = b;
            } else {
                m = session.createTextMessage(text == null ? "" : text);
            }
            m.setIntProperty("status", status);
            if (message != null) {
                m.setStringProperty("message", message);
            }
            if (error != null) {
                m.setStringProperty("error", error);
            }
            return m;
        }
    }

    private String verbOf(BusObj bo) { return bo.verb == null ? null : ByteText.show(bo.verb, charset); }

    /** Serves one request message; bad input gives a refusal naming the problem, never an exception. */
    Reply handle(Message request) throws JMSException {
        boolean transactional;
        String verbProperty;
        try {
            transactional = request.propertyExists("transactional") && request.getBooleanProperty("transactional");
            verbProperty = request.propertyExists("verb") ? request.getStringProperty("verb") : null;
        } catch (JMSException e) {
            refusedRequests.incrementAndGet();
            return Reply.refused(null, "a request property has the wrong kind of value: " + describe(e));
        }
        // The size first: nothing of an oversized body is decoded, parsed or handed on.
        String oversized = RequestLimits.oversized(request, service.maxBytes);
        if (oversized != null) {
            return refuse(oversized);
        }
        boolean textAgent = config.textEncoding();
        if (!service.recordWire) {
            return handleJson(request, verbProperty, transactional);
        }
        if (request instanceof TextMessage t) {
            if (!textAgent) {
                return refuse("this agent's encoding is " + config.encoding
                        + ": record requests come as a BytesMessage in the length-prefixed encoding");
            }
            String text = t.getText();
            if (text == null) {
                return refuse("the request has no body");
            }
            BusObj bo;
            try {
                bo = BusObj.fromDelimited(RecordText.fromJavaText(text, config.ascii8()), specs);
            } catch (HbAgentException e) {
                return refuse("the record does not read: " + e.getMessage());
            }
            String mismatch = verbMismatch(bo, verbProperty, transactional);
            if (mismatch != null) {
                return refuse(mismatch);
            }
            StringBucket bucket = new StringBucket(text);
            ReturnStatusDescriptor status = new ReturnStatusDescriptor();
            int result = agent.n_DoVerbFor(bucket, transactional, status);
            String back = bucket.content != text && (result == 1 || result == -5) ? bucket.content : null;
            return new Reply(verbOf(bo), result, status.getErrorString(), null, back == null ? "" : back, null);
        }
        if (request instanceof BytesMessage b) {
            if (textAgent) {
                return refuse("this agent's encoding is " + config.encoding
                        + ": record requests come as a TextMessage in the delimited encoding");
            }
            long length = b.getBodyLength();
            byte[] sent = new byte[(int) length];
            b.readBytes(sent);
            BusObj bo;
            try {
                byte[] record = sent;
                if (record.length > 0 && record[record.length - 1] == 0) {
                    record = Arrays.copyOf(record, record.length - 1);
                }
                bo = BusObj.fromLengthPrefixed(ByteText.of(record), specs);
            } catch (HbAgentException e) {
                return refuse("the record does not read: " + e.getMessage());
            }
            String mismatch = verbMismatch(bo, verbProperty, transactional);
            if (mismatch != null) {
                return refuse(mismatch);
            }
            StringBucket bucket = new StringBucket(sent);
            ReturnStatusDescriptor status = new ReturnStatusDescriptor();
            int result = agent.n_DoVerbForI18n(bucket, transactional, status);
            byte[] back = bucket.contentinArray != sent && (result == 1 || result == -5) ? bucket.contentinArray
                    : null;
            return new Reply(verbOf(bo), result, status.getErrorString(), null, null,
                    back == null ? new byte[0] : back);
        }
        return refuse("a request is a " + (textAgent ? "TextMessage" : "BytesMessage") + ", not a "
                + request.getClass().getSimpleName());
    }

    /** A JSON request: the document becomes the record of the agent's form, the returned record a document. */
    private Reply handleJson(Message request, String verbProperty, boolean transactional) throws JMSException {
        if (!(request instanceof TextMessage t)) {
            return refuse("a request is a TextMessage holding a JSON document, not a "
                    + request.getClass().getSimpleName());
        }
        String text = t.getText();
        if (text == null) {
            return refuse("the request has no body");
        }
        BusObj bo;
        try {
            bo = json.fromJson(text);
        } catch (HbAgentException e) {
            return refuse(e.getMessage());
        }
        if (verbProperty != null && bo.verb == null) {
            bo.verb = ByteText.encode(verbProperty, charset);
        }
        String mismatch = verbMismatch(bo, verbProperty, transactional);
        if (mismatch != null) {
            return refuse(mismatch.replace("record", "document"));
        }
        ReturnStatusDescriptor status = new ReturnStatusDescriptor();
        int result;
        BusObj returned = null;
        String unreadable = null;
        try {
            if (config.textEncoding()) {
                String sent = RecordText.toJavaText(bo.toDelimited(specs), config.ascii8());
                StringBucket bucket = new StringBucket(sent);
                result = agent.n_DoVerbFor(bucket, transactional, status);
                if ((result == 1 || result == -5) && bucket.content != sent && bucket.content != null) {
                    try {
                        returned = BusObj.fromDelimited(RecordText.fromJavaText(bucket.content, config.ascii8()),
                                specs);
                    } catch (HbAgentException e) {
                        unreadable = e.getMessage();
                    }
                }
            } else {
                byte[] sent = ByteText.bytes(bo.toLengthPrefixed(specs));
                StringBucket bucket = new StringBucket(sent);
                result = agent.n_DoVerbForI18n(bucket, transactional, status);
                if ((result == 1 || result == -5) && bucket.contentinArray != sent && bucket.contentinArray != null) {
                    try {
                        returned = BusObj.fromLengthPrefixed(ByteText.of(bucket.contentinArray), specs);
                    } catch (HbAgentException e) {
                        unreadable = e.getMessage();
                    }
                }
            }
        } catch (HbAgentException e) {
            // The object holds what the agent's text form cannot carry.
            return refuse(e.getMessage());
        }
        if (unreadable != null) {
            agentLine("request " + request.getJMSMessageID() + ": the returned object does not read (" + unreadable
                    + "): the reply carries the status alone");
        }
        return new Reply(verbOf(bo), result, status.getErrorString(), null,
                returned == null ? "" : json.toJson(returned), null);
    }

    private Reply refuse(String error) {
        refusedRequests.incrementAndGet();
        return Reply.refused(null, error);
    }

    private String verbMismatch(BusObj bo, String verbProperty, boolean transactional) {
        String verb = bo.verb == null ? null : ByteText.show(bo.verb, charset);
        if (verbProperty != null && !verbProperty.equals(verb)) {
            return "the verb property \"" + verbProperty + "\" differs from the record's verb "
                    + (verb == null ? "(none)" : "\"" + verb + "\"");
        }
        if (transactional != (bo.prior != null)) {
            return transactional ? "a transactional request carries a prior image after its record"
                    : "the record carries a prior image: set the transactional property";
        }
        return null;
    }

    // ---- Events ------------------------------------------------------------

    private int onEvent(String text, byte[] bytes, String encoding) {
        BusObj bo = null;
        try {
            bo = RecordText.readEvent(text, bytes, config.ascii8(), specs);
        } catch (HbAgentException e) {
            agentLine("an event does not read (" + e.getMessage() + "): published without type and verb");
        }
        String type = bo == null ? null : ByteText.show(bo.type, charset);
        String verb = bo == null || bo.verb == null ? null : ByteText.show(bo.verb, charset);
        List<String> collaborations = new ArrayList<>();
        for (Map.Entry<String, List<String[]>> c : config.collaborations.entrySet()) {
            for (String[] sub : c.getValue()) {
                if (sub[0].equals(type) && (sub[1] == null || sub[1].equals(verb))) {
                    collaborations.add(c.getKey());
                    break;
                }
            }
        }
        String document = null;
        if (!service.recordWire) {
            if (bo == null) {
                eventsRefused.incrementAndGet();
                metrics.eventRefused();
                return -1;
            }
            document = json.toJson(bo);
        }
        if (!connected) {
            eventsRefused.incrementAndGet();
            metrics.eventRefused();
            if (!refusedWhileDown) {
                refusedWhileDown = true;
                agentLine("events refused while the broker cannot be reached: the connector keeps them");
            }
            return -1;
        }
        refusedWhileDown = false;
        synchronized (eventLock) {
            try {
                List<Destination> sentTo = new ArrayList<>();
                String bodyText = document != null ? document : text;
                byte[] bodyBytes = document != null ? null : bytes;
                if (collaborations.isEmpty()) {
                    send(defaultEventDestination, bodyText, bodyBytes, type, verb, null);
                }
                for (String collaboration : collaborations) {
                    Destination d = eventDestinations.get(collaboration);
                    if (!sentTo.contains(d)) {
                        sentTo.add(d);
                        send(d, bodyText, bodyBytes, type, verb, collaboration);
                    }
                }
                eventsPublished.incrementAndGet();
                metrics.eventPublished();
                return 0;
            } catch (JMSException | RuntimeException e) {
                eventsRefused.incrementAndGet();
                metrics.eventRefused();
                agentLine("event " + (type == null ? "" : type + " " + verb + " ") + "refused: " + describe(e));
                return -1;
            }
        }
    }

    private void send(Destination d, String text, byte[] bytes, String type, String verb, String collaboration)
            throws JMSException {
        Message m;
        if (text != null) {
            m = eventSession.createTextMessage(text);
        } else {
            BytesMessage b = eventSession.createBytesMessage();
            b.writeBytes(bytes);
            m = b;
        }
        if (type != null) {
            m.setStringProperty("type", type);
        }
        if (verb != null) {
            m.setStringProperty("verb", verb);
        }
        if (collaboration != null) {
            m.setStringProperty("collaboration", collaboration);
        }
        eventProducer.send(d, m, DeliveryMode.PERSISTENT, Message.DEFAULT_PRIORITY, Message.DEFAULT_TIME_TO_LIVE);
    }

    // ---- Synchronous requests ------------------------------------------------

    /**
     * A synchronous request of the connector: sent to the collaboration's
     * sync queue with a temporary reply queue; the reply's status, message and
     * object fill the buckets. Without a reply in time both buckets are
     * emptied, which the library takes as no answer (status -1).
     */
    private void onSync(String name, StringBucket businessObject, StringBucket status) {
        String queue = service.syncQueue(name);
        Session session = null;
        try {
            synchronized (syncLock) {
                session = connection.createSession(false, Session.AUTO_ACKNOWLEDGE);
            }
            TemporaryQueue replyQueue = session.createTemporaryQueue();
            TextMessage request = session.createTextMessage(businessObject.content);
            BusObj bo = BusObj.fromDelimited(RecordText.fromJavaText(businessObject.content, config.ascii8()), specs);
            if (!service.recordWire) {
                request.setText(json.toJson(bo));
            }
            if (bo.verb != null) {
                request.setStringProperty("verb", ByteText.show(bo.verb, charset));
            }
            request.setBooleanProperty("transactional", false);
            request.setJMSReplyTo(replyQueue);
            MessageProducer producer = session.createProducer(session.createQueue(queue));
            producer.send(request, DeliveryMode.NON_PERSISTENT, Message.DEFAULT_PRIORITY, service.syncTimeout);
            MessageConsumer consumer = session.createConsumer(replyQueue);
            Message reply = consumer.receive(service.syncTimeout);
            if (reply == null) {
                agentLine("synchronous request to " + queue + ": no reply within " + service.syncTimeout + " ms");
                businessObject.content = null;
                status.content = null;
                return;
            }
            int code = reply.propertyExists("status") ? reply.getIntProperty("status") : -1;
            String message = reply.getStringProperty("message");
            if (message == null) {
                message = reply.getStringProperty("error");
            }
            status.content = "ReturnStatusDescriptor" + STATUS_DELIMITER + code
                    + STATUS_DELIMITER + (message == null || message.isEmpty() ? "null" : message)
                    + STATUS_DELIMITER;
            if (reply instanceof TextMessage t && t.getText() != null && !t.getText().isEmpty()) {
                businessObject.content = service.recordWire ? t.getText()
                        : RecordText.toJavaText(json.fromJson(t.getText()).toDelimited(specs), config.ascii8());
            }
        } catch (JMSException | RuntimeException e) {
            agentLine("synchronous request to " + queue + " failed: " + describe(e));
            businessObject.content = null;
            status.content = null;
        } finally {
            if (session != null) {
                try {
                    session.close();
                } catch (JMSException e) {
                    // Nothing more to do with it.
                }
            }
        }
    }

    // ---- Polling and shut-down ----------------------------------------------

    /**
     * Polls while this agent holds the poll lease; otherwise waits for the
     * broker to hand it over. A broker that cannot be reached (or a lease
     * queue that fails) makes the agent stop polling and join again.
     */
    private void pollLoop() {
        long retry = 500;
        while (!stopping) {
            try {
                // While the broker is away nothing is closed or created: that would wait for it.
                if ((lease == null || lease.isLost()) && !connected) {
                    Thread.sleep(Math.min(service.pollInterval, 200));
                    continue;
                }
                if (lease != null && lease.isLost()) {
                    PollLease old = lease;
                    lease = null;
                    old.close();
                }
                if (lease == null) {
                    lease = new PollLease(connection, service.pollLeaseQueue());
                    retry = 500;
                }
                boolean wasHeld = lease.held();
                boolean held = lease.await(service.pollInterval);
                if (held && !wasHeld) {
                    agentLine("poll lease taken: this agent polls");
                }
                if (held && !stopping && connected) {
                    pollLock.lock();
                    try {
                        if (!pollClosed) {
                            agent.n_poll();
                        }
                    } finally {
                        pollLock.unlock();
                    }
                }
            } catch (InterruptedException e) {
                return;
            } catch (JMSException | RuntimeException e) {
                if (stopping) {
                    return;
                }
                agentLine("poll lease: " + describe(e) + "; joining again in " + retry + " ms");
                // Closed and joined again at the top of the loop, once the broker is there.
                leaseLost();
                try {
                    Thread.sleep(retry);
                } catch (InterruptedException interrupted) {
                    return;
                }
                retry = Math.min(retry * 2, service.pollLeaseTimeout);
            }
        }
    }

    /** The connection went: the broker gives the lease to another agent, so this one stops polling. */
    private void leaseLost() {
        PollLease l = lease;
        if (l != null) {
            if (l.held()) {
                agentLine("poll lease lost with the broker connection: this agent stops polling");
            }
            l.lost();
        }
    }

    /** The embedded broker's name: with network connectors one of its own, as a network needs. */
    private String brokerName() {
        return service.networkConnectors.isEmpty() ? "hbagent" : "hbagent-" + ProcessHandle.current().pid();
    }

    /** Where a thread that does not end stands: its top frames, for the shut-down line. */
    private static String where(Thread t) {
        StringBuilder b = new StringBuilder();
        StackTraceElement[] frames = t.getStackTrace();
        for (int i = 0; i < Math.min(frames.length, 8); ++i) {
            b.append(i == 0 ? "at " : " < ").append(frames[i]);
        }
        return b.toString();
    }

    private void installSignalHandler() {
        Runtime.getRuntime().addShutdownHook(new Thread(this::shutDown, "hbagent-shutdown"));
    }

    /**
     * Stops taking requests, waits (bounded) for the running ones and the
     * poll, terminates the connector and the broker, and ends the process
     * with status 0 (1 when requests were still running at the end of the
     * wait: the connector is then not terminated under them).
     */
    private void shutDown() {
        agentLine("shutting down: no more requests are taken");
        stopping = true;
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(service.shutdownWait);
        boolean finished = true;
        // A worker inside a request gets until the deadline. One that runs no
        // request may be waiting on a broker that is away (a consumer being
        // set up, a session closing): it holds nothing of the connector's, so
        // it is given a moment and then left to the process's end.
        for (Thread t : workers) {
            try {
                t.join(Math.max(1, Math.min(1000, TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime()))));
                while (t.isAlive() && serving.contains(t) && System.nanoTime() < deadline) {
                    t.join(50);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            if (t.isAlive() && serving.contains(t)) {
                finished = false;
                agentLine(t.getName() + " is still running a request: " + where(t));
            } else if (t.isAlive()) {
                agentLine(t.getName() + " runs no request but waits on the broker: " + where(t));
            }
        }
        if (poller != null) {
            long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
            boolean locked = false;
            try {
                locked = pollLock.tryLock(Math.max(1, left), TimeUnit.MILLISECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            if (locked) {
                pollClosed = true;
                pollLock.unlock();
            } else {
                agentLine("the poll has not ended: " + where(poller));
            }
            finished &= locked;
        }
        int code = 0;
        if (finished) {
            int r = agent.n_terminate();
            out.println("  n_terminate returned " + r);
        } else {
            agentLine("requests still running after " + service.shutdownWait
                    + " ms: stopping without terminating the connector");
            code = 1;
        }
        closeConnection();
        stopBroker();
        if (ops != null) {
            ops.close();
        }
        agentLine("stopped: " + served.get() + " requests served, " + eventsPublished.get() + " events published, "
                + eventsRefused.get() + " refused, " + redeliveries.get() + " redeliveries, " + deadLetters.get()
                + " dead letters");
        out.flush();
        err.flush();
        exitCode = code;
        stopped.countDown();
        Runtime.getRuntime().halt(code);
    }

    /** How long shut-down waits for the broker connection to close. */
    private static final long CLOSE_WAIT_MS = 5000;

    /**
     * Closes the broker connection, waiting at most CLOSE_WAIT_MS. With the
     * broker away a failover connection's close waits for it to come back
     * (behind senders waiting the same way), and the process ends either way.
     */
    private void closeConnection() {
        Thread closer = new Thread(() -> {
            try {
                connection.close();
            } catch (JMSException e) {
                agentLine("closing the broker connection: " + describe(e));
            }
        }, "hbagent-close");
        closer.setDaemon(true);
        closer.start();
        try {
            closer.join(CLOSE_WAIT_MS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        if (closer.isAlive()) {
            agentLine("the broker connection did not close within " + CLOSE_WAIT_MS
                    + " ms (the broker is away): it ends with the process");
        }
    }

    private void stopBroker() {
        if (broker == null) {
            return;
        }
        try {
            broker.stop();
            broker.waitUntilStopped();
        } catch (Exception e) {
            agentLine("stopping the embedded broker: " + describe(e));
        }
    }

    // ---- Output ----------------------------------------------------------------

    private void onRecord(Object entry) {
        String line = Runner.recordLine(entry, false);
        if (line == null) {
            return;
        }
        synchronized (out) {
            out.println(Runner.indent(line, "  ", "    "));
            out.flush();
        }
    }

    /** One of the agent's own lines: standard error, with a time stamp. */
    void agentLine(String text) {
        synchronized (err) {
            err.println(Instant.now() + " hbagent: " + text);
            err.flush();
        }
    }

    /** A host for a URL: an IPv6 address in brackets. */
    private static String hostInUrl(String host) { return host.contains(":") ? "[" + host + "]" : host; }

    private static String describe(Throwable e) {
        if (e instanceof HbAgentException) {
            return e.getMessage();
        }
        String m = e.getMessage();
        Throwable cause = e.getCause();
        if (cause != null && cause.getMessage() != null && (m == null || !m.contains(cause.getMessage()))) {
            m = (m == null ? "" : m + ": ") + cause.getMessage();
        }
        return e.getClass().getSimpleName() + (m == null ? "" : " " + m);
    }
}
