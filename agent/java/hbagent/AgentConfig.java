package hbagent;

import java.io.IOException;
import java.io.StringReader;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.TreeMap;

/**
 * The agent's properties file (Java properties syntax, read as UTF-8).
 *
 * <p>Every key that does not start with "agent." is a connector
 * configuration property, answered to the connector's getConfigProp
 * ("ConnectorName", "AgentTraceLevel", "PerfLevel", "CharacterEncoding",
 * "UseDefaults" and the connector's own). The "agent." keys set the agent:
 *
 * <pre>
 * agent.connector            the connector library (relative to this file)
 * agent.specs                specification files, separated by commas or spaces
 * agent.frameworkVersion     the version given to n_init (default 4.1.0)
 * agent.encoding             the agent's character encoding (default ascii7)
 * agent.locale               the agent's locale (default en_US)
 * agent.deltaSupport         delta support answer for every type (default false)
 * agent.deltaSupport.TYPE    delta support answer for one type
 * agent.collaboration.NAME   what collaboration NAME subscribes to: TYPE:VERB
 *                            or TYPE (every verb), separated by spaces
 * agent.pollingCapable       whether the agent polls (default true)
 * agent.eventAnswer          the agent's answer to every event (default 0: accepted)
 * agent.specForm             text or bytes: the native method specs go through
 *                            (default: text for ascii7/ascii8, bytes otherwise)
 * agent.collaboration.NAME.destination
 *                            where "hbagent serve" publishes the collaboration's
 *                            events: queue:NAME or topic:NAME
 * </pre>
 *
 * <p>The settings of "hbagent serve" ({@link ServiceConfig#KEYS}) are kept
 * as given in {@link #service} and read by {@link ServiceConfig}.
 */
final class AgentConfig {
    static final String PREFIX = "agent.";

    final Map<String, String> connectorProperties = new TreeMap<>();
    String encoding = "ascii7";
    String locale = "en_US";
    String defaultDeltaSupport = "false";
    final Map<String, String> deltaSupport = new TreeMap<>();
    /** Collaboration name to its subscriptions, each {type, verb or null}. */
    final Map<String, List<String[]>> collaborations = new LinkedHashMap<>();
    boolean pollingCapable = true;
    int eventAnswer;
    String frameworkVersion = "4.1.0";
    Path connector;
    final List<Path> specFiles = new ArrayList<>();
    String specForm;
    /** Collaboration name to the destination its events go to ("queue:NAME" or "topic:NAME"). */
    final Map<String, String> destinations = new TreeMap<>();
    /** The settings of "hbagent serve", without the "agent." prefix. */
    final Map<String, String> service = new TreeMap<>();
    /** The properties file, or null. */
    Path file;

    /** Reads file (may be null: all defaults), then applies the overrides ("NAME=VALUE" pairs). */
    static AgentConfig load(Path file, Map<String, String> overrides) {
        Properties properties = new Properties();
        Path base = Path.of("").toAbsolutePath();
        String text = "";
        if (file != null) {
            text = Scenario.readText(file);
            try {
                properties.load(new StringReader(text));
            } catch (IOException | IllegalArgumentException e) {
                throw new HbAgentException(file + ":" + entryLine(text, null) + ": cannot read the properties file: "
                        + e.getMessage());
            }
            Path parent = file.toAbsolutePath().getParent();
            if (parent != null) {
                base = parent;
            }
        }
        Map<String, String> all = new TreeMap<>();
        for (String name : properties.stringPropertyNames()) {
            all.put(name, properties.getProperty(name));
        }
        AgentConfig config = new AgentConfig();
        config.file = file;
        String fileText = text;
        config.apply(all, base, key -> file == null ? "the properties" : file + ":" + entryLine(fileText, key));
        config.apply(overrides, Path.of("").toAbsolutePath(), key -> "--set");
        return config;
    }

    /**
     * The line where the entry of key starts in a properties text, or with a
     * null key the line of the first entry that does not read (1 when none
     * is found). Each entry (a line with its continuation lines) is read on
     * its own, so escapes in keys count as they do in the whole file.
     */
    static int entryLine(String text, String key) {
        String[] lines = text.split("\n", -1);
        for (int first = 0; first < lines.length; ) {
            int last = first;
            while (last + 1 < lines.length && endsWithOddBackslashes(lines[last])) {
                ++last;
            }
            Properties entry = new Properties();
            try {
                entry.load(new StringReader(String.join("\n", java.util.Arrays.asList(lines).subList(first, last + 1))));
                if (key != null && entry.containsKey(key)) {
                    return first + 1;
                }
            } catch (IOException | IllegalArgumentException e) {
                if (key == null) {
                    return first + 1;
                }
            }
            first = last + 1;
        }
        return 1;
    }

    private static boolean endsWithOddBackslashes(String line) {
        int n = 0;
        for (int i = line.length() - 1; i >= 0 && line.charAt(i) == '\\'; --i) {
            ++n;
        }
        return n % 2 == 1;
    }

    private void apply(Map<String, String> entries, Path base, java.util.function.Function<String, String> where) {
        for (Map.Entry<String, String> e : entries.entrySet()) {
            String key = e.getKey();
            String origin = where.apply(key);
            String value = e.getValue().trim();
            if (!key.startsWith(PREFIX)) {
                connectorProperties.put(key, e.getValue());
                continue;
            }
            String name = key.substring(PREFIX.length());
            BrokerSecurity.refuseInlineSecret(name, origin);
            if (name.startsWith("deltaSupport.")) {
                deltaSupport.put(name.substring("deltaSupport.".length()), value);
            } else if (name.startsWith("collaboration.") && name.endsWith(".destination")) {
                String collaboration = name.substring("collaboration.".length(),
                        name.length() - ".destination".length());
                if (collaboration.isEmpty() || !value.matches("(queue|topic):\\S+")) {
                    throw new HbAgentException(origin + ": " + key + " is queue:NAME or topic:NAME, not \"" + value
                            + "\"");
                }
                destinations.put(collaboration, value);
            } else if (ServiceConfig.KEYS.contains(name)) {
                service.put(name, value);
            } else if (name.startsWith("collaboration.")) {
                collaborations.put(name.substring("collaboration.".length()), subscriptions(key, value, origin));
            } else {
                switch (name) {
                    case "connector" -> connector = path(base, value, key, origin);
                    case "specs" -> {
                        specFiles.clear();
                        for (String part : value.split("[,\\s]+")) {
                            if (!part.isEmpty()) {
                                specFiles.add(path(base, part, key, origin));
                            }
                        }
                    }
                    case "frameworkVersion" -> frameworkVersion = value;
                    case "encoding" -> encoding = value;
                    case "locale" -> locale = value;
                    case "deltaSupport" -> defaultDeltaSupport = value;
                    case "pollingCapable" -> pollingCapable = bool(key, value, origin);
                    case "eventAnswer" -> eventAnswer = integer(key, value, origin);
                    case "specForm" -> {
                        if (!value.equals("text") && !value.equals("bytes")) {
                            throw new HbAgentException(origin + ": " + key + " is text or bytes");
                        }
                        specForm = value;
                    }
                    default -> throw new HbAgentException(origin + ": unknown agent setting " + key);
                }
            }
        }
    }

    private static List<String[]> subscriptions(String key, String value, String origin) {
        List<String[]> list = new ArrayList<>();
        for (String part : value.split("\\s+")) {
            if (part.isEmpty()) {
                continue;
            }
            int colon = part.indexOf(':');
            String type = colon < 0 ? part : part.substring(0, colon);
            String verb = colon < 0 ? null : part.substring(colon + 1);
            if (type.isEmpty() || (verb != null && verb.isEmpty())) {
                throw new HbAgentException(origin + ": " + key + ": \"" + part + "\" is not TYPE or TYPE:VERB");
            }
            list.add(new String[] {type, verb});
        }
        return list;
    }

    /** name resolved against base; a name no file can have is an error at origin. */
    private static Path path(Path base, String name, String key, String origin) {
        try {
            return base.resolve(name).normalize();
        } catch (java.nio.file.InvalidPathException e) {
            throw new HbAgentException(origin + ": " + key + ": \"" + name + "\" is not a file name (" + e.getReason()
                    + ")");
        }
    }

    private static boolean bool(String key, String value, String origin) {
        if (!value.equals("true") && !value.equals("false")) {
            throw new HbAgentException(origin + ": " + key + " is true or false, not \"" + value + "\"");
        }
        return value.equals("true");
    }

    private static int integer(String key, String value, String origin) {
        try {
            return Integer.parseInt(value);
        } catch (NumberFormatException e) {
            throw new HbAgentException(origin + ": " + key + " is a number, not \"" + value + "\"");
        }
    }

    /** Whether the agent's encoding makes the library use the text-form upcalls. */
    boolean textEncoding() { return encoding.equals("ascii7") || encoding.equals("ascii8"); }

    /** Whether the connector converts texts from and to 8-bit characters ("CharacterEncoding" is "ascii8"). */
    boolean ascii8() { return "ascii8".equals(connectorProperties.get("CharacterEncoding")); }

    /**
     * The charset of the bytes in values: what a character written in a
     * readable file becomes on the wire. With an ascii7/ascii8 agent the
     * text-form methods carry UTF-8 (8-bit characters when the connector's
     * "CharacterEncoding" is "ascii8"); any other agent encoding names the
     * charset itself.
     */
    Charset valueCharset() {
        if (textEncoding()) {
            return ascii8() ? StandardCharsets.ISO_8859_1 : StandardCharsets.UTF_8;
        }
        try {
            return Charset.forName(encoding);
        } catch (IllegalArgumentException e) {
            throw new HbAgentException("the agent encoding \"" + encoding + "\" is not a charset this Java knows");
        }
    }

    /** Whether specs go through the byte-array method. */
    boolean specsAsBytes() { return specForm != null ? specForm.equals("bytes") : !textEncoding(); }
}
