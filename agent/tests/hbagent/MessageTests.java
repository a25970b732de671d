package hbagent;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Set;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

/** The message catalogue: complete for the library's sources, and the texts it composes. */
public final class MessageTests extends TestCase {
    /**
     * A named message number: constexpr int kMsgSomething = 17203; or a line of the catalogue
     * X(kMsgSomething, 17203, ...) (any name holding Msg or MSG).
     */
    private static final Pattern NAMED_ID = Pattern.compile(
            "(?:constexpr\\s+int\\s+(\\w*(?:Msg|MSG)\\w*)\\s*=|\\bX\\(\\s*(\\w*(?:Msg|MSG)\\w*)\\s*,)\\s*(\\d+)\\s*[;,]");
    /** A number written straight into a call that composes a message. */
    private static final Pattern LITERAL_ID = Pattern.compile(
            "\\b(?:generateMsg|generateAndLogMsg|generateAndTraceMsg|reportMsg|reportMessage|composeMessage)"
                    + "\\s*\\(\\s*(\\d+)\\s*,");

    /** Every message number the sources under dir use, with the file that uses it. */
    static TreeMap<Integer, String> idsInSources(Path dir) throws Exception {
        TreeMap<Integer, String> ids = new TreeMap<>();
        List<Path> files;
        try (Stream<Path> walk = Files.walk(dir)) {
            files = walk.filter(p -> p.toString().endsWith(".cpp") || p.toString().endsWith(".hpp")).sorted()
                    .toList();
        }
        for (Path file : files) {
            String text = Files.readString(file);
            for (Pattern pattern : List.of(NAMED_ID, LITERAL_ID)) {
                Matcher m = pattern.matcher(text);
                while (m.find()) {
                    ids.putIfAbsent(Integer.parseInt(m.group(m.groupCount())), dir.relativize(file).toString());
                }
            }
        }
        return ids;
    }

    MessageTests() {
        test("every message number in the library's sources has a text in the catalogue", () -> {
            String sources = System.getProperty("hbagent.test.sources");
            check(sources != null, "run with -Dhbagent.test.sources=<the library's src folder>");
            TreeMap<Integer, String> ids = idsInSources(Path.of(sources));
            // The scan itself must work: these numbers are certainly in use.
            for (int known : new int[] {72, 73, 17203, 17204, 80401}) {
                check(ids.containsKey(known), "the scan of " + sources + " did not find message " + known);
            }
            Messages catalogue = Messages.bundled();
            StringBuilder missing = new StringBuilder();
            for (var e : ids.entrySet()) {
                if (catalogue.text(e.getKey()) == null) {
                    missing.append(' ').append(e.getKey()).append(" (").append(e.getValue()).append(')');
                }
            }
            check(missing.length() == 0, "no catalogue text for:" + missing);
        });

        test("composed texts keep the number and put the parameters in place", () -> {
            Messages m = Messages.bundled();
            equal("[17203] the connector library /opt/c/libx.so carries no framework version stamp; build it with"
                    + " hb_add_connector or HB_FRAMEWORK_VERSION", m.explain(17203, "/opt/c/libx.so"));
            // A file name holding a comma stays whole: the surplus goes to the first parameter.
            String v = m.explain(17204, "/opt/a,b/libx.so,3.0.0,4.1.0");
            check(v.startsWith("[17204] the connector library /opt/a,b/libx.so was built for framework version"
                    + " 3.0.0, which HbConnector 4.1.0 "), v);
            String level = m.explain(80405, "3,3");
            check(level.startsWith("[80405] trace level 3:") && level.contains("0 to 3"), level);
            equal("[73] no attribute at index -1 (type code Unknown): the index is outside the specification (-1:"
                    + " a name the spec does not list), or the value's type differs from the attribute's",
                    m.explain(73, "-1,Unknown"));
            check(m.explain(72, "ObjectEventId,-1").startsWith("[72] cannot set attribute ObjectEventId (type code"
                    + " -1): "), m.explain(72, "ObjectEventId,-1"));
            // Too few parameters leave the places empty rather than failing.
            check(m.explain(62, "Create").startsWith("[62] the verb Create is not a verb of the  specification"),
                    m.explain(62, "Create"));
            equal("[99999] (no text in the message catalogue) a,b", m.explain(99999, "a,b"));
            equal("[99999] (no text in the message catalogue)", m.explain(99999, ""));
        });
    }

    public static void main(String[] args) {
        System.exit(new MessageTests().runAll() == 0 ? 0 : 1);
    }
}
