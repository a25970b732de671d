package hbagent;

import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.Reader;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.TreeMap;

/**
 * The message catalogue: the text of each message number the library
 * composes, with placeholders {0}, {1}, ... for its parameters. The catalogue
 * ships in the jar as hbagent/messages.properties (and beside it in the
 * installed package); hbagent prints a composed message as "[number] text".
 */
final class Messages {
    static final String RESOURCE = "messages.properties";

    private static Messages bundled;

    private final Map<Integer, String> texts;

    private Messages(Map<Integer, String> texts) { this.texts = texts; }

    /** The catalogue in the jar. */
    static synchronized Messages bundled() {
        if (bundled == null) {
            try (InputStream in = Messages.class.getResourceAsStream(RESOURCE)) {
                if (in == null) {
                    throw new HbAgentException("the message catalogue " + RESOURCE + " is missing from the jar");
                }
                bundled = read(new InputStreamReader(in, StandardCharsets.UTF_8), RESOURCE);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        }
        return bundled;
    }

    /** Reads a catalogue in properties syntax; every key must be a message number. */
    static Messages read(Reader reader, String source) throws IOException {
        Properties p = new Properties();
        p.load(reader);
        Map<Integer, String> texts = new TreeMap<>();
        for (String key : p.stringPropertyNames()) {
            int id;
            try {
                id = Integer.parseInt(key.trim());
            } catch (NumberFormatException e) {
                throw new HbAgentException(source + ": '" + key + "' is not a message number");
            }
            texts.put(id, p.getProperty(key).trim());
        }
        return new Messages(Collections.unmodifiableMap(texts));
    }

    /** The text with placeholders, or null. */
    String text(int id) { return texts.get(id); }

    /**
     * "[id] text" with the parameters in place of the placeholders. params is
     * the parameter text as the library passed it (joined with ","). A number
     * the catalogue does not know keeps the parameter text as it came.
     */
    String explain(int id, String params) {
        String template = texts.get(id);
        String p = params == null ? "" : params;
        if (template == null) {
            return "[" + id + "] (no text in the message catalogue)" + (p.isEmpty() ? "" : " " + p);
        }
        return "[" + id + "] " + fill(template, split(p, placeholders(template)));
    }

    /** How many parameters the text takes: one more than its highest placeholder. */
    static int placeholders(String template) {
        int n = 0;
        for (int i = 0; i + 2 < template.length(); ++i) {
            if (template.charAt(i) == '{' && isDigit(template.charAt(i + 1))
                    && template.charAt(i + 2) == '}') {
                n = Math.max(n, template.charAt(i + 1) - '0' + 1);
            }
        }
        return n;
    }

    /**
     * Splits the joined parameter text into n parameters. Surplus commas stay
     * in the first parameter (a file or connector name may hold one); missing
     * parameters are empty.
     */
    static List<String> split(String params, int n) {
        List<String> parts = new ArrayList<>();
        if (n == 0) {
            return parts;
        }
        // The last n-1 parameters are taken from the end.
        int end = params.length();
        List<String> tail = new ArrayList<>();
        for (int k = 0; k < n - 1; ++k) {
            int comma = params.lastIndexOf(',', end - 1);
            if (comma < 0) {
                break;
            }
            tail.add(0, params.substring(comma + 1, end));
            end = comma;
        }
        parts.add(params.substring(0, end));
        parts.addAll(tail);
        while (parts.size() < n) {
            parts.add("");
        }
        return parts;
    }

    private static boolean isDigit(char c) { return c >= '0' && c <= '9'; }

    private static String fill(String template, List<String> params) {
        StringBuilder out = new StringBuilder(template.length() + 32);
        for (int i = 0; i < template.length(); ++i) {
            char c = template.charAt(i);
            if (c == '{' && i + 2 < template.length() && isDigit(template.charAt(i + 1))
                    && template.charAt(i + 2) == '}') {
                out.append(params.get(template.charAt(i + 1) - '0'));
                i += 2;
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }
}
