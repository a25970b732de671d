package hbagent;

import java.io.IOException;
import java.io.Reader;
import java.net.InetAddress;
import java.net.URI;
import java.net.URISyntaxException;
import java.net.UnknownHostException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.Set;
import java.security.KeyStore;
import javax.net.ssl.KeyManagerFactory;
import javax.net.ssl.TrustManager;
import javax.net.ssl.TrustManagerFactory;
import org.apache.activemq.broker.BrokerPlugin;
import org.apache.activemq.broker.BrokerService;
import org.apache.activemq.broker.SslContext;
import org.apache.activemq.filter.DestinationMapEntry;
import org.apache.activemq.security.AuthenticationUser;
import org.apache.activemq.security.AuthorizationEntry;
import org.apache.activemq.security.AuthorizationPlugin;
import org.apache.activemq.security.DefaultAuthorizationMap;
import org.apache.activemq.security.SimpleAuthenticationPlugin;
import org.apache.activemq.security.TempDestinationAuthorizationEntry;

/**
 * Who may use the embedded broker: users and their passwords, groups, and
 * which group may send requests, enforced by ActiveMQ's simple
 * authentication plugin and its authorization map.
 *
 * <pre>
 * agent.broker.usersFile     users and passwords, one "user=password" a line
 * agent.broker.groupsFile    groups, one "group=user,user" a line
 * agent.broker.requestGroup  the group whose members may send requests
 * </pre>
 *
 * <p>Without these the broker takes anyone who reaches it, which is why it
 * may then listen on a loopback address only. With them, the request queue
 * is writable by the request group alone and readable by the agent's groups;
 * events are written by the agent's groups and read by both; synchronous
 * request queues, temporary queues (replies), queues under
 * hb.CONNECTORNAME.replies. and the advisory topics are open to both; no
 * other destination is open to anyone.
 */
final class BrokerAccess {
    private final Map<String, String> passwords;
    private final Map<String, Set<String>> groupsOfUser;
    final String requestGroup;

    private BrokerAccess(Map<String, String> passwords, Map<String, Set<String>> groupsOfUser, String requestGroup) {
        this.passwords = passwords;
        this.groupsOfUser = groupsOfUser;
        this.requestGroup = requestGroup;
    }

    /**
     * The access rules of the settings (keys without "agent."), null when
     * none is configured; all three settings or none.
     */
    static BrokerAccess of(Map<String, String> s, Path base) {
        String users = s.get("broker.usersFile");
        String groups = s.get("broker.groupsFile");
        String group = s.get("broker.requestGroup");
        if (users == null && groups == null && group == null) {
            return null;
        }
        if (users == null || groups == null || group == null || group.isBlank()) {
            throw new HbAgentException("the embedded broker's access needs agent.broker.usersFile,"
                    + " agent.broker.groupsFile and agent.broker.requestGroup together");
        }
        Map<String, String> passwords = new LinkedHashMap<>();
        for (Map.Entry<Object, Object> e : load(base.resolve(users), "agent.broker.usersFile").entrySet()) {
            passwords.put(e.getKey().toString().trim(), e.getValue().toString());
        }
        Map<String, Set<String>> groupsOfUser = new LinkedHashMap<>();
        Set<String> known = new LinkedHashSet<>();
        for (Map.Entry<Object, Object> e : load(base.resolve(groups), "agent.broker.groupsFile").entrySet()) {
            String name = e.getKey().toString().trim();
            known.add(name);
            for (String member : e.getValue().toString().split(",")) {
                if (!member.isBlank()) {
                    groupsOfUser.computeIfAbsent(member.trim(), k -> new LinkedHashSet<>()).add(name);
                }
            }
        }
        if (!known.contains(group.trim())) {
            throw new HbAgentException("agent.broker.requestGroup \"" + group.trim()
                    + "\" is not a group of agent.broker.groupsFile");
        }
        return new BrokerAccess(passwords, groupsOfUser, group.trim());
    }

    /**
     * Refuses an embedded broker that would listen beyond this machine while
     * anyone reaching it may send requests.
     */
    static void requireForListen(String listen, BrokerAccess access) {
        if (access != null || loopback(listen)) {
            return;
        }
        throw new HbAgentException("agent.broker.listen " + listen + " is not a loopback address, and anyone"
                + " reaching it could send requests: set agent.broker.usersFile, agent.broker.groupsFile and"
                + " agent.broker.requestGroup (the group that may send requests), or listen on 127.0.0.1");
    }

    /** Whether a broker URL's host is a loopback address (also true for URLs without a network host). */
    static boolean loopback(String url) {
        String host;
        try {
            URI uri = new URI(url);
            if ("vm".equalsIgnoreCase(uri.getScheme())) {
                return true;
            }
            host = uri.getHost();
            if (host == null && uri.getRawSchemeSpecificPart() != null
                    && uri.getRawSchemeSpecificPart().startsWith("//")) {
                // "tcp://:61616" or an authority Java's parser does not take: not known to be loopback.
                return false;
            }
        } catch (URISyntaxException e) {
            return false;
        }
        if (host == null) {
            return !url.matches("(?i)(tcp|ssl|nio|nio\\+ssl|auto|auto\\+ssl|auto\\+nio|stomp|mqtt|amqp|ws|wss)"
                    + "(\\+\\w+)*:.*");
        }
        try {
            for (InetAddress a : InetAddress.getAllByName(host)) {
                if (!a.isLoopbackAddress()) {
                    return false;
                }
            }
            return true;
        } catch (UnknownHostException e) {
            return false;
        }
    }

    /** The groups of a user of the users file (empty when it is in none). */
    Set<String> groupsOf(String user) { return groupsOfUser.getOrDefault(user, Set.of()); }

    /**
     * Checks that the agent's own user can log in and belongs to a group, so
     * that the rules below can name it.
     */
    void requireAgentUser(String user) {
        if (user == null) {
            throw new HbAgentException("the embedded broker checks users: set agent.broker.user to the agent's user"
                    + " of agent.broker.usersFile (its password in agent.broker.passwordFile or "
                    + BrokerSecurity.PASSWORD_ENV + ")");
        }
        if (!passwords.containsKey(user)) {
            throw new HbAgentException("agent.broker.user \"" + user + "\" is not a user of agent.broker.usersFile");
        }
        if (groupsOf(user).isEmpty()) {
            throw new HbAgentException("agent.broker.user \"" + user + "\" belongs to no group of"
                    + " agent.broker.groupsFile: the agent's access is given to its groups");
        }
    }

    /**
     * The broker plugins: authentication of every connection (also the
     * agent's own in-VM one) and the authorization map described above.
     * eventDestinations are "queue:NAME" or "topic:NAME"; deadLetterQueue is
     * the agent's own (null: none), which the agent writes like the broker's.
     */
    @SuppressWarnings("rawtypes")  // ActiveMQ's map takes a raw list of entries
    BrokerPlugin[] plugins(String agentUser, String connectorName, String requestQueue,
                           List<String> eventDestinations, String deadLetterQueue) throws Exception {
        List<AuthenticationUser> users = new ArrayList<>();
        for (Map.Entry<String, String> e : passwords.entrySet()) {
            users.add(new AuthenticationUser(e.getKey(), e.getValue(), String.join(",", groupsOf(e.getKey()))));
        }
        SimpleAuthenticationPlugin authentication = new SimpleAuthenticationPlugin();
        authentication.setAnonymousAccessAllowed(false);
        authentication.setUsers(users);

        String agents = String.join(",", groupsOf(agentUser));
        String both = agents + "," + requestGroup;
        List<DestinationMapEntry> entries = new ArrayList<>();
        entries.add(entry("queue:" + requestQueue, agents, requestGroup, both));
        for (String d : new LinkedHashSet<>(eventDestinations)) {
            entries.add(entry(d, both, agents, both));
        }
        entries.add(entry("queue:hb." + connectorName + ".sync.>", both, both, both));
        entries.add(entry("queue:hb." + connectorName + ".replies.>", both, both, both));
        // The poll lease: the agents' alone.
        entries.add(entry("queue:hb." + connectorName + ".poll-lease", agents, agents, agents));
        entries.add(entry("topic:ActiveMQ.Advisory.>", both, both, both));
        entries.add(entry("queue:ActiveMQ.DLQ", both, agents, both));
        if (deadLetterQueue != null) {
            entries.add(entry("queue:" + deadLetterQueue, both, agents, both));
        }
        DefaultAuthorizationMap map = new DefaultAuthorizationMap();
        map.setAuthorizationEntries(entries);
        TempDestinationAuthorizationEntry temporary = new TempDestinationAuthorizationEntry();
        temporary.setRead(both);
        temporary.setWrite(both);
        temporary.setAdmin(both);
        map.setTempDestinationAuthorizationEntry(temporary);
        return new BrokerPlugin[] {authentication, new AuthorizationPlugin(map)};
    }

    /**
     * Prepares the embedded broker: the access rules when configured, and
     * for an ssl:// listen URL the agent's key store (the broker's identity)
     * and trust store (the clients it accepts when the URL says
     * needClientAuth=true).
     */
    static void secure(BrokerService broker, ServiceConfig service, AgentConfig config) throws Exception {
        if (service.access != null) {
            List<String> events = new ArrayList<>();
            events.add("topic:" + service.eventTopic());
            events.addAll(config.destinations.values());
            broker.setPlugins(service.access.plugins(service.security.user, service.connectorName,
                    service.requestQueue, events, service.deadLetterQueue));
        }
        if (service.listen.regionMatches(true, 0, "ssl:", 0, 4) || service.listen.toLowerCase(java.util.Locale.ROOT)
                .matches("[a-z+]*\\+ssl:.*")) {
            BrokerSecurity s = service.security;
            if (s.keyStore == null) {
                throw new HbAgentException("agent.broker.listen " + service.listen + " needs agent.tls.keyStore:"
                        + " the key and certificate the broker presents");
            }
            KeyManagerFactory keys = KeyManagerFactory.getInstance(KeyManagerFactory.getDefaultAlgorithm());
            char[] keyPassword = chars(s.keyStorePassword());
            keys.init(store(s.keyStore, keyPassword, "agent.tls.keyStore"), keyPassword);
            TrustManager[] trust = null;
            if (s.trustStore != null) {
                TrustManagerFactory t = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
                t.init(store(s.trustStore, chars(s.trustStorePassword()), "agent.tls.trustStore"));
                trust = t.getTrustManagers();
            }
            broker.setSslContext(new SslContext(keys.getKeyManagers(), trust, null));
        }
    }

    private static char[] chars(String secret) { return secret == null ? null : secret.toCharArray(); }

    private static KeyStore store(Path file, char[] password, String key) {
        try (java.io.InputStream in = Files.newInputStream(file)) {
            KeyStore store = KeyStore.getInstance(BrokerSecurity.storeType(file));
            store.load(in, password);
            return store;
        } catch (IOException | java.security.GeneralSecurityException e) {
            throw new HbAgentException(key + ": cannot load " + file + " (" + e.getMessage() + ")");
        }
    }

    private static AuthorizationEntry entry(String destination, String read, String write, String admin)
            throws Exception {
        AuthorizationEntry e = new AuthorizationEntry();
        String name = destination.substring(destination.indexOf(':') + 1);
        if (destination.startsWith("queue:")) {
            e.setQueue(name);
        } else {
            e.setTopic(name);
        }
        e.setRead(read);
        e.setWrite(write);
        e.setAdmin(admin);
        return e;
    }

    private static Properties load(Path file, String key) {
        Properties p = new Properties();
        try (Reader reader = Files.newBufferedReader(file, StandardCharsets.UTF_8)) {
            p.load(reader);
        } catch (IOException | IllegalArgumentException e) {
            // Named by file and failure only: the file holds passwords.
            throw new HbAgentException(key + ": cannot read " + file + " (" + e.getClass().getSimpleName() + ")");
        }
        return p;
    }
}
