package hbagent;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Locale;
import java.util.Map;
import java.util.regex.Pattern;
import org.apache.activemq.ActiveMQConnectionFactory;
import org.apache.activemq.ActiveMQSslConnectionFactory;

/**
 * How the agent and its clients present themselves to a broker: the user
 * name, its password, and the key and trust stores of ssl:// connections.
 *
 * <p>Secrets never come from the properties or the command line, where
 * process listings, shell histories and copied configurations would show
 * them: each comes from a file named in the properties (read again at each
 * connection attempt, so a corrected file is taken without a restart) or,
 * without one, from an environment variable. This class never puts a secret
 * in a message or a {@link #toString()}.
 *
 * <pre>
 * agent.broker.user                  the user name the broker knows the agent by
 * agent.broker.passwordFile          a file holding its password (else HB_BROKER_PASSWORD)
 * agent.tls.keyStore                 the agent's key and certificate (PKCS12 for .p12/.pfx, else JKS)
 * agent.tls.keyStorePasswordFile     its password (else HB_TLS_KEYSTORE_PASSWORD)
 * agent.tls.trustStore               the certificates the agent trusts
 * agent.tls.trustStorePasswordFile   its password (else HB_TLS_TRUSTSTORE_PASSWORD)
 * </pre>
 */
final class BrokerSecurity {
    static final String PASSWORD_ENV = "HB_BROKER_PASSWORD";
    static final String KEY_STORE_PASSWORD_ENV = "HB_TLS_KEYSTORE_PASSWORD";
    static final String TRUST_STORE_PASSWORD_ENV = "HB_TLS_TRUSTSTORE_PASSWORD";

    /** The settings this class reads, without the "agent." prefix. */
    static final java.util.Set<String> KEYS = java.util.Set.of("broker.user", "broker.passwordFile", "tls.keyStore",
            "tls.keyStorePasswordFile", "tls.trustStore", "tls.trustStorePasswordFile");

    /** Settings that would put a secret in the properties or on the command line, with where it belongs instead. */
    private static final Map<String, String> INLINE_SECRETS = Map.of(
            "broker.password", "agent.broker.passwordFile or the environment variable " + PASSWORD_ENV,
            "tls.keyStorePassword", "agent.tls.keyStorePasswordFile or the environment variable "
                    + KEY_STORE_PASSWORD_ENV,
            "tls.trustStorePassword", "agent.tls.trustStorePasswordFile or the environment variable "
                    + TRUST_STORE_PASSWORD_ENV);

    /** A password or key in a broker URL's options ("jms.password=...", "keyStorePassword=..."). */
    private static final Pattern SECRET_IN_URL = Pattern.compile("(?i)(password|passwd|secret)[^=&?]*=");

    final String user;
    private final Path passwordFile;
    final Path keyStore;
    private final Path keyStorePasswordFile;
    final Path trustStore;
    private final Path trustStorePasswordFile;
    private final Map<String, String> environment;

    private BrokerSecurity(Map<String, String> s, Path base, Map<String, String> environment) {
        this.user = blankToNull(s.get("broker.user"));
        this.passwordFile = path(s, "broker.passwordFile", base);
        this.keyStore = path(s, "tls.keyStore", base);
        this.keyStorePasswordFile = path(s, "tls.keyStorePasswordFile", base);
        this.trustStore = path(s, "tls.trustStore", base);
        this.trustStorePasswordFile = path(s, "tls.trustStorePasswordFile", base);
        this.environment = environment;
    }

    /**
     * The settings (keys without "agent."), file names resolved against base,
     * passwords looked up in environment when no file is named.
     */
    static BrokerSecurity of(Map<String, String> settings, Path base, Map<String, String> environment) {
        return new BrokerSecurity(settings, base, environment);
    }

    /**
     * Refuses a setting that would carry a secret inline; name is without
     * "agent.", origin says where it was found.
     */
    static void refuseInlineSecret(String name, String origin) {
        String instead = INLINE_SECRETS.get(name);
        if (instead != null) {
            throw new HbAgentException(origin + ": agent." + name + " is not taken from the properties or the command"
                    + " line, where others can read it: use " + instead);
        }
    }

    /** Refuses a broker URL that carries a password in its options or user part. */
    static void refuseSecretInUrl(String key, String url) {
        if (url == null) {
            return;
        }
        boolean userInfo = url.matches("(?s)[a-zA-Z][a-zA-Z0-9+.-]*://[^/?@()]*:[^/?@()]*@.*");
        if (SECRET_IN_URL.matcher(url).find() || userInfo) {
            throw new HbAgentException(key + " carries a password: give the user as agent.broker.user and the"
                    + " password in agent.broker.passwordFile or the environment variable " + PASSWORD_ENV
                    + " (key store passwords: agent.tls.*PasswordFile or " + KEY_STORE_PASSWORD_ENV + ", "
                    + TRUST_STORE_PASSWORD_ENV + ")");
        }
    }

    /** Whether the failure is the broker refusing the credentials (or the user's rights). */
    static boolean refused(Throwable failure) {
        for (Throwable t = failure; t != null; t = t.getCause() == t ? null : t.getCause()) {
            if (t instanceof javax.jms.JMSSecurityException || t instanceof SecurityException) {
                return true;
            }
        }
        return false;
    }

    /** Whether a user name is configured (the broker then gets credentials with each connection). */
    boolean hasUser() { return user != null; }

    /** The agent's password now (the file is read again each time); null when none is configured. */
    String password() { return secret(passwordFile, "agent.broker.passwordFile", PASSWORD_ENV); }

    /**
     * A connection factory for url with the user, its password and, when a
     * key or trust store is configured, the TLS settings.
     */
    ActiveMQConnectionFactory factory(String url) {
        ActiveMQConnectionFactory factory;
        if (keyStore != null || trustStore != null) {
            ActiveMQSslConnectionFactory ssl = new ActiveMQSslConnectionFactory(url);
            try {
                if (keyStore != null) {
                    ssl.setKeyStore(existing(keyStore, "agent.tls.keyStore"));
                    ssl.setKeyStoreType(storeType(keyStore));
                    String p = secret(keyStorePasswordFile, "agent.tls.keyStorePasswordFile", KEY_STORE_PASSWORD_ENV);
                    if (p != null) {
                        ssl.setKeyStorePassword(p);
                        ssl.setKeyStoreKeyPassword(p);
                    }
                }
                if (trustStore != null) {
                    ssl.setTrustStore(existing(trustStore, "agent.tls.trustStore"));
                    ssl.setTrustStoreType(storeType(trustStore));
                    String p = secret(trustStorePasswordFile, "agent.tls.trustStorePasswordFile",
                            TRUST_STORE_PASSWORD_ENV);
                    if (p != null) {
                        ssl.setTrustStorePassword(p);
                    }
                }
            } catch (HbAgentException e) {
                throw e;
            } catch (Exception e) {
                // The factory's setters declare Exception; the message names the store, not its password.
                throw new HbAgentException("the TLS key or trust store cannot be used: " + e.getMessage());
            }
            factory = ssl;
        } else {
            factory = new ActiveMQConnectionFactory(url);
        }
        if (user != null) {
            factory.setUserName(user);
            factory.setPassword(password());
        }
        return factory;
    }

    /** The key store's password, for a broker that presents the same identity; null when none. */
    String keyStorePassword() {
        return secret(keyStorePasswordFile, "agent.tls.keyStorePasswordFile", KEY_STORE_PASSWORD_ENV);
    }

    /** The trust store's password; null when none. */
    String trustStorePassword() {
        return secret(trustStorePasswordFile, "agent.tls.trustStorePasswordFile", TRUST_STORE_PASSWORD_ENV);
    }

    static String storeType(Path store) {
        String name = store.getFileName().toString().toLowerCase(Locale.ROOT);
        return name.endsWith(".p12") || name.endsWith(".pfx") ? "PKCS12" : "JKS";
    }

    @Override
    public String toString() {
        return "user " + (user == null ? "(none)" : user) + (keyStore != null ? ", key store " + keyStore : "")
                + (trustStore != null ? ", trust store " + trustStore : "");
    }

    /**
     * A secret: the file's content without its line end, else the environment
     * variable; null (none) when neither is set or the text is empty.
     */
    private String secret(Path file, String key, String variable) {
        String value;
        if (file != null) {
            try {
                value = Files.readString(file, StandardCharsets.UTF_8);
            } catch (IOException e) {
                // The exception names the file and the failure, never its content.
                throw new HbAgentException(key + ": cannot read " + file + " (" + e.getClass().getSimpleName() + ")");
            }
            if (value.endsWith("\n")) {
                value = value.substring(0, value.length() - 1);
            }
            if (value.endsWith("\r")) {
                value = value.substring(0, value.length() - 1);
            }
        } else {
            value = environment.get(variable);
        }
        return value == null || value.isEmpty() ? null : value;
    }

    private static String existing(Path store, String key) {
        if (!Files.isReadable(store)) {
            throw new HbAgentException(key + ": cannot read " + store);
        }
        return store.toString();
    }

    private static Path path(Map<String, String> s, String key, Path base) {
        String v = blankToNull(s.get(key));
        return v == null ? null : base.resolve(v).normalize();
    }

    private static String blankToNull(String v) { return v == null || v.isBlank() ? null : v.trim(); }
}
