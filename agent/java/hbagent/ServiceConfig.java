package hbagent;

import java.nio.file.Path;
import java.util.Map;
import java.util.Set;

/**
 * The settings of "hbagent serve", read from the "agent." keys of the
 * properties (see {@link #KEYS}) with their defaults:
 *
 * <pre>
 * agent.broker.url            an existing broker (any ActiveMQ URL, failover:(...) included);
 *                             without it an embedded broker is started
 * agent.broker.dataDir        the embedded broker's KahaDB folder
 *                             (default: hbagent-broker beside the properties file)
 * agent.broker.listen         the embedded broker's listening URL (tcp://127.0.0.1:61616)
 * agent.broker.sendTimeout    ms a send may wait for the broker before it fails (10000)
 * agent.broker.networkConnectors  the embedded broker's network connectors to other brokers,
 *                             comma-separated (static:(tcp://HOST:PORT) and ActiveMQ's other forms)
 * agent.serve.queue           the request queue (hb.CONNECTORNAME.requests)
 * agent.serve.threads         requests served at once (4)
 * agent.serve.maxRedeliveries deliveries after the first before a request goes to
 *                             the dead-letter queue (3)
 * agent.serve.deadLetterQueue where requests go that failed too often (none: the broker's,
 *                             ActiveMQ.DLQ by default)
 * agent.serve.maxMessageBytes the largest request body taken (16777216); larger ones get an
 *                             error reply without being read
 * agent.serve.shutdownWait    ms running requests get to finish at shut-down (30000)
 * agent.pollInterval          ms between two n_poll calls (1000)
 * agent.pollLeaseTimeout      ms within which another agent polls after the polling one died or
 *                             lost the broker (10000); also bounds how long a silent connection
 *                             is taken for alive
 * agent.syncTimeout           ms a synchronous request waits for its reply (30000)
 * agent.wire                  json or record (json)
 * agent.http.port             the operations port (off; 0: any free port)
 * agent.http.bind             the address the operations endpoint binds to (127.0.0.1)
 * </pre>
 *
 * <p>Credentials and TLS: {@link BrokerSecurity}; who may use the embedded
 * broker: {@link BrokerAccess}.
 */
final class ServiceConfig {
    static final Set<String> KEYS = union(Set.of("broker.url", "broker.dataDir", "broker.listen",
            "broker.sendTimeout", "serve.queue", "serve.threads", "serve.maxRedeliveries", "serve.deadLetterQueue",
            "serve.maxMessageBytes",
            "serve.shutdownWait", "pollInterval", "pollLeaseTimeout", "broker.networkConnectors", "syncTimeout", "wire", "http.port", "http.bind"),
            BrokerSecurity.KEYS,
            // BrokerAccess's settings, named here so that reading properties needs no broker classes.
            Set.of("broker.usersFile", "broker.groupsFile", "broker.requestGroup"));

    String connectorName;
    String brokerUrl;
    Path dataDir;
    String listen;
    long sendTimeout;
    String requestQueue;
    int threads;
    int maxRedeliveries;
    /** The configured dead-letter queue, or null for the broker's. */
    String deadLetterQueue;
    int maxBytes;
    long shutdownWait;
    long pollInterval;
    long pollLeaseTimeout;
    /** The embedded broker's network connector URIs (empty: none). */
    java.util.List<String> networkConnectors;
    long syncTimeout;
    boolean recordWire;
    Integer httpPort;
    String httpBind;
    BrokerSecurity security;
    /** Who may use the embedded broker; null: anyone who reaches it (loopback only). */
    BrokerAccess access;

    static ServiceConfig of(AgentConfig config) { return of(config, System.getenv()); }

    /** The settings, with secrets looked up in environment when no file names them. */
    static ServiceConfig of(AgentConfig config, Map<String, String> environment) {
        Map<String, String> s = config.service;
        ServiceConfig c = new ServiceConfig();
        c.connectorName = config.connectorProperties.getOrDefault("ConnectorName", "Generic_Connector").trim();
        c.brokerUrl = s.get("broker.url");
        if (c.brokerUrl != null && c.brokerUrl.isEmpty()) {
            c.brokerUrl = null;
        }
        Path base = config.file != null && config.file.toAbsolutePath().getParent() != null
                ? config.file.toAbsolutePath().getParent() : Path.of("").toAbsolutePath();
        c.dataDir = s.containsKey("broker.dataDir") ? base.resolve(s.get("broker.dataDir")).normalize()
                : base.resolve("hbagent-broker");
        c.listen = s.getOrDefault("broker.listen", "tcp://127.0.0.1:61616");
        c.sendTimeout = number(s, "broker.sendTimeout", 10000, 1, Integer.MAX_VALUE);
        c.requestQueue = s.getOrDefault("serve.queue", "hb." + c.connectorName + ".requests");
        c.threads = (int) number(s, "serve.threads", 4, 1, 256);
        c.maxRedeliveries = (int) number(s, "serve.maxRedeliveries", 3, 0, 1000);
        c.deadLetterQueue = s.get("serve.deadLetterQueue");
        if (c.deadLetterQueue != null && c.deadLetterQueue.isEmpty()) {
            c.deadLetterQueue = null;
        }
        c.maxBytes = (int) number(s, "serve.maxMessageBytes", 16 << 20, 1, Integer.MAX_VALUE - 16);
        c.shutdownWait = number(s, "serve.shutdownWait", 30000, 0, Integer.MAX_VALUE);
        c.pollInterval = number(s, "pollInterval", 1000, 1, Integer.MAX_VALUE);
        c.pollLeaseTimeout = number(s, "pollLeaseTimeout", 10000, 1000, Integer.MAX_VALUE);
        c.networkConnectors = splitTopLevel(s.getOrDefault("broker.networkConnectors", ""));
        for (String n : c.networkConnectors) {
            BrokerSecurity.refuseSecretInUrl("agent.broker.networkConnectors", n);
        }
        c.syncTimeout = number(s, "syncTimeout", 30000, 1, Integer.MAX_VALUE);
        String wire = s.getOrDefault("wire", "json");
        if (!wire.equals("json") && !wire.equals("record")) {
            throw new HbAgentException("agent.wire is json or record, not \"" + wire + "\"");
        }
        c.recordWire = wire.equals("record");
        if (s.containsKey("http.port")) {
            c.httpPort = (int) number(s, "http.port", 0, 0, 65535);
        }
        c.httpBind = s.getOrDefault("http.bind", "127.0.0.1");
        BrokerSecurity.refuseSecretInUrl("agent.broker.url", c.brokerUrl);
        BrokerSecurity.refuseSecretInUrl("agent.broker.listen", c.listen);
        c.security = BrokerSecurity.of(s, base, environment);
        if (c.brokerUrl == null) {
            c.access = BrokerAccess.of(s, base);
            BrokerAccess.requireForListen(c.listen, c.access);
            if (c.access != null) {
                c.access.requireAgentUser(c.security.user);
            }
        }
        return c;
    }

    /** The queue of synchronous requests of one collaboration. */
    String syncQueue(String collaboration) { return "hb." + connectorName + ".sync." + collaboration; }

    /** The queue whose exclusive consumer may poll. */
    String pollLeaseQueue() { return "hb." + connectorName + ".poll-lease"; }

    /**
     * A comma-separated list of URIs, split at the commas outside
     * parentheses ("static:(tcp://a:1,tcp://b:2)" is one entry); blanks are
     * dropped. Unbalanced parentheses are refused.
     */
    static java.util.List<String> splitTopLevel(String text) {
        java.util.List<String> result = new java.util.ArrayList<>();
        int depth = 0;
        int start = 0;
        for (int i = 0; i <= text.length(); ++i) {
            char c = i < text.length() ? text.charAt(i) : ',';
            if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (--depth < 0) {
                    break;
                }
            } else if (c == ',' && depth == 0) {
                String entry = text.substring(start, i).trim();
                if (!entry.isEmpty()) {
                    result.add(entry);
                }
                start = i + 1;
            }
        }
        if (depth != 0) {
            throw new HbAgentException("agent.broker.networkConnectors has unbalanced parentheses: \"" + text + "\"");
        }
        return result;
    }

    /**
     * The broker URL with the inactivity monitor set to half the lease
     * timeout, so that a connection silent for the timeout counts as dead on
     * both sides (the broker takes the smaller of the two durations): the
     * lease moves on and the holder stops polling. A URL that sets the
     * duration itself, and an in-VM one, are kept as they are.
     */
    static String withInactivityLimit(String url, long leaseTimeout) {
        if (url.contains("maxInactivityDuration") || url.regionMatches(true, 0, "vm:", 0, 3)) {
            return url;
        }
        long d = Math.max(500, leaseTimeout / 2);
        boolean composite = url.matches("(?is)(failover|discovery|fanout):.*");
        String prefix = composite ? "nested.wireFormat." : "wireFormat.";
        // A composite URL's own options follow its closing parenthesis.
        String tail = composite && url.lastIndexOf(')') >= 0 ? url.substring(url.lastIndexOf(')')) : url;
        return url + (tail.contains("?") ? "&" : "?") + prefix + "maxInactivityDuration=" + d + "&" + prefix
                + "maxInactivityDurationInitalDelay=" + d;
    }

    /** The default destination of events: a topic. */
    String eventTopic() { return "hb." + connectorName + ".events"; }

    @SafeVarargs
    private static Set<String> union(Set<String>... sets) {
        Set<String> all = new java.util.HashSet<>();
        for (Set<String> s : sets) {
            all.addAll(s);
        }
        return Set.copyOf(all);
    }

    private static long number(Map<String, String> s, String key, long fallback, long min, long max) {
        String text = s.get(key);
        if (text == null) {
            return fallback;
        }
        try {
            long value = Long.parseLong(text);
            if (value < min || value > max) {
                throw new HbAgentException("agent." + key + " is between " + min + " and " + max + ", not " + value);
            }
            return value;
        } catch (NumberFormatException e) {
            throw new HbAgentException("agent." + key + " is a number, not \"" + text + "\"");
        }
    }
}
