package hbagent;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.regex.Pattern;

/**
 * hbagent's readers against damaged input: valid specifications, objects,
 * scenarios and properties files are cut, doubled, flipped, nested deeply
 * and given huge numbers, and every result must either read or fail with
 * hbagent's own error naming the file and the line, within a time bound; no
 * other exception, no stack overflow, no hang. What reads must print and read
 * back to the same value.
 *
 * <p>The system properties hbagent.mutationSeed and hbagent.mutationRounds
 * choose another run; a failure prints the seed, the round and the input.
 */
public final class ReaderMutationTests extends TestCase {
    private static final Charset UTF8 = StandardCharsets.UTF_8;
    private static final long SEED = Long.getLong("hbagent.mutationSeed", 20261207L);
    private static final int ROUNDS = Integer.getInteger("hbagent.mutationRounds", 1000);
    private static final long LIMIT_MS = 5000;

    static final String OBJECT = String.join("\n",
            "Customer {",
            "  @verb Update",
            "  @locale en_US",
            "  @delta true",
            "  Name = \"Ada \\x41\\n\"",
            "  Email = blank",
            "  Address = Address { City = Paris }",
            "  Orders = [",
            "    @delta true",
            "    Order { @verb Create  OrderId = \"1\"  Lines = [ Order { OrderId = x } ] }",
            "    Order { OrderId = \"2\"  Lines = [] }",
            "  ]",
            "  @prior { Email = \"old@example.org\" }",
            "}");

    static final String SCENARIO = String.join("\n",
            "properties agent.properties",
            "start",
            "request Create bytes Customer {",
            "  Name = \"Ada\"",
            "}",
            "expect status 1",
            "expect message contains \"created\"",
            "expect Orders[0].OrderId = \"7\"",
            "expect Orders count 2",
            "poll 3",
            "expect events 2",
            "expect event 2 Customer Create",
            "subscribe Customer Create",
            "cancel Customer *",
            "set eventAnswer -1",
            "trace 5",
            "note \"done\"",
            "request Delete file one.bo",
            "expect message none",
            "terminate");

    static final String PROPERTIES = String.join("\n",
            "ConnectorName = Demo",
            "CharacterEncoding = ascii8",
            "agent.connector = lib/libc.so",
            "agent.specs = a.spec, b.spec",
            "agent.deltaSupport.Customer = true",
            "agent.collaboration.Sync = Customer:Create Order",
            "agent.eventAnswer = -3",
            "agent.pollingCapable = true",
            "agent.specForm = bytes",
            "agent.frameworkVersion = 4.1.0");

    /** Characters flips put in; in files, U+00FF stands for the byte 0xFF, which is not UTF-8. */
    private static final String ALPHABET = "{}[]=\"\\#@:.,x0 \t\n\r\u0000\u0003\u00e9\u00ff\u20ac\ud83d\ude00";

    private final ExecutorService worker = Executors.newSingleThreadExecutor(r -> {
        Thread t = new Thread(r, "reader-mutation");
        t.setDaemon(true);  // a hung reader must not keep the JVM alive
        return t;
    });

    @FunctionalInterface
    interface Reader {
        void read(String text) throws Exception;
    }

    /** One damaged copy of text. */
    static String mutate(Random random, String text) {
        int n = text.length();
        int at = n == 0 ? 0 : random.nextInt(n + 1);
        int span = n == 0 ? 0 : 1 + random.nextInt(Math.max(1, Math.min(40, n - Math.min(at, n - 1))));
        int end = Math.min(n, at + span);
        switch (random.nextInt(8)) {
            case 0:  // cut the rest
                return text.substring(0, at);
            case 1:  // cut a piece
                return text.substring(0, at) + text.substring(end);
            case 2:  // double a piece
                return text.substring(0, end) + text.substring(at, end) + text.substring(end);
            case 3: {  // flip one character
                if (n == 0) {
                    return text;
                }
                int i = Math.min(at, n - 1);
                char c = random.nextBoolean() ? ALPHABET.charAt(random.nextInt(ALPHABET.length()))
                                              : (char) (text.charAt(i) ^ (1 << random.nextInt(8)));
                return text.substring(0, i) + c + text.substring(i + 1);
            }
            case 4: {  // deep nesting
                int depth = 1000 + random.nextInt(20000);
                String open = switch (random.nextInt(3)) {
                    case 0 -> "Address = Customer { ";
                    case 1 -> "Orders = [ Order { Lines = [ ";
                    default -> "{ ";
                };
                return text.substring(0, at) + open.repeat(depth) + text.substring(at);
            }
            case 5: {  // a huge or odd number in place of a digit
                int digit = -1;
                for (int i = at; i < n && digit < 0; ++i) {
                    if (Character.isDigit(text.charAt(i))) {
                        digit = i;
                    }
                }
                String[] numbers = {"99999999999999999999", "-2147483649", "2147483648", "1e400", "0x10", "-0", ""};
                String number = numbers[random.nextInt(numbers.length)];
                int i = digit >= 0 ? digit : at;
                return text.substring(0, i) + number + text.substring(Math.min(n, i + 1));
            }
            case 6:  // a long line
                return text.substring(0, at) + "y".repeat(100_000) + text.substring(at);
            default:  // two mutations
                return mutate(random, mutate(random, text));
        }
    }

    /**
     * Reads text with reader on the worker thread: it must read, or fail with
     * an HbAgentException whose message starts with "source:LINE: ".
     */
    private void readsOrFailsAtALine(String what, String source, Reader reader, String text, int round) {
        Future<?> result = worker.submit(() -> {
            reader.read(text);
            return null;
        });
        String context = what + ", seed " + SEED + ", round " + round + ", input " + shown(text);
        try {
            result.get(LIMIT_MS, TimeUnit.MILLISECONDS);
        } catch (TimeoutException | InterruptedException e) {
            result.cancel(true);
            throw new AssertionError("no result within " + LIMIT_MS + " ms: " + context);
        } catch (ExecutionException e) {
            if (!(e.getCause() instanceof HbAgentException cause)) {
                throw new AssertionError(e.getCause() + ": " + context, e.getCause());
            }
            String message = cause.getMessage();
            check(message != null && Pattern.compile(Pattern.quote(source) + ":[0-9]+: \\S.*", Pattern.DOTALL)
                    .matcher(message).matches(), "error without file and line: \"" + message + "\": " + context);
        }
    }

    private static String shown(String text) {
        String cut = text.length() > 300 ? text.substring(0, 300) + "...(" + text.length() + " characters)" : text;
        StringBuilder out = new StringBuilder("\"");
        cut.chars().forEach(c -> out.append(c < 0x20 || c > 0x7e ? String.format("\\u%04x", c) : (char) c));
        return out.append('"').toString();
    }

    private void campaign(String what, String source, String valid, Reader reader) {
        readsOrFailsAtALine(what + " (valid)", source, reader, valid, -1);
        Random random = new Random(SEED ^ what.hashCode());
        for (int round = 0; round < ROUNDS; ++round) {
            readsOrFailsAtALine(what, source, reader, mutate(random, valid), round);
        }
    }

    /** The file form of a damaged text: UTF-8, except that U+00FF becomes the lone byte 0xFF. */
    private static byte[] fileBytes(String text) {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        String[] parts = text.split("\u00ff", -1);
        for (int i = 0; i < parts.length; ++i) {
            if (i > 0) {
                out.write(0xff);
            }
            out.writeBytes(parts[i].getBytes(UTF8));
        }
        return out.toByteArray();
    }

    ReaderMutationTests() throws Exception {
        Map<String, Spec> specs = FormatTests.specs(FormatTests.SPECS);

        test("specifications: damaged texts read or fail at a line; what reads prints and reads back", () ->
                campaign("spec", "test.spec", FormatTests.SPECS, text -> {
                    for (Spec spec : SpecText.parse(new Lexer("test.spec", text, UTF8), UTF8)) {
                        String printed = SpecText.print(spec, UTF8);
                        equal(spec, SpecText.parseOne(new Lexer("printed.spec", printed, UTF8), UTF8));
                    }
                }));

        test("business objects: damaged texts read or fail at a line; what reads prints and reads back", () -> {
            BusObjText objects = new BusObjText(specs, UTF8);
            campaign("object", "test.bo", OBJECT, text -> {
                BusObj bo = objects.parse(new Lexer("test.bo", text, UTF8), "en_US");
                equal(bo, objects.parse(new Lexer("printed.bo", objects.print(bo), UTF8), "en_US"));
            });
        });

        test("scenarios: damaged files read or fail at a line", () -> {
            write("one.bo", "Customer { Name = \"x\" }\n");
            Path file = dir().resolve("m.scenario");
            campaign("scenario", file.toString(), SCENARIO, text -> {
                Files.write(file, fileBytes(text));
                Scenario.parse(file, specs, UTF8, "en_US");
            });
        });

        test("properties files: damaged files read or fail at a line", () -> {
            Path file = dir().resolve("m.properties");
            campaign("properties", file.toString(), PROPERTIES, text -> {
                Files.write(file, fileBytes(text));
                AgentConfig.load(file, Map.of());
            });
        });

        test("the faults damage found: each names its file and line", () -> {
            Charset latin1 = StandardCharsets.ISO_8859_1;
            fails("w.spec:2: the text \"Pri\u20acs\" cannot be written in ISO-8859-1", () ->
                    SpecText.parse(new Lexer("w.spec", "spec A 1.0.0 {\n attr Pri\u20acs String\n}", latin1), latin1));
            fails("s.bo:2: the text \"\u20ac\" cannot be written", () ->
                    new Lexer("s.bo", "A {\n Name = \"\u20ac\"\n}", latin1));
            fails("c.bo:2: the text \"Addre\u20acs\" cannot be written", () -> new BusObjText(specs, latin1)
                    .parse(new Lexer("c.bo", "Customer {\n Address = Addre\u20acs { } }", latin1), "en_US"));
            Path scenario = write("missing.scenario", "start\nrequest Delete file nowhere.bo\n");
            fails("missing.scenario:2: cannot read " + dir().resolve("nowhere.bo"), () ->
                    Scenario.parse(scenario, specs, UTF8, "en_US"));
            Path nul = write("nul.scenario", "start\nrequest Delete file one\u0000.bo\n");
            fails("nul.scenario:2: \"one\u0000.bo\" is not a file name", () -> Scenario.parse(nul, specs, UTF8, "en_US"));
            Path bad = dir().resolve("bytes.scenario");
            Files.write(bad, fileBytes("start\npoll\nnote \"\u00ff\"\n"));
            fails("bytes.scenario:3: not UTF-8 text", () -> Scenario.parse(bad, specs, UTF8, "en_US"));
            Path props = write("lines.properties", "a = 1\n# comment\nagent.eventAnswer = \\\n  many\nagent.nope = 2\n");
            fails("lines.properties:3: agent.eventAnswer is a number", () -> AgentConfig.load(props, Map.of()));
            write("lines.properties", "a = 1\nb = \\u12x4\n");
            fails("lines.properties:2: cannot read the properties file", () -> AgentConfig.load(props, Map.of()));
            write("lines.properties", "a = 1\nagent.specs = a.spec, \\u0000b.spec\n");
            fails("lines.properties:2: agent.specs: \"\u0000b.spec\" is not a file name", () ->
                    AgentConfig.load(props, Map.of()));
            write("lines.properties", "a = 1\n\\u0061gent.nope = 2\n");
            fails("lines.properties:2: unknown agent setting agent.nope", () -> AgentConfig.load(props, Map.of()));
        });

        test("the damage itself: every kind of mutation occurs and changes the text", () -> {
            Random random = new Random(SEED);
            int changed = 0;
            int deep = 0;
            for (int i = 0; i < 400; ++i) {
                String m = mutate(random, OBJECT);
                changed += m.equals(OBJECT) ? 0 : 1;
                deep += m.length() > OBJECT.length() + 10_000 ? 1 : 0;
            }
            check(changed > 350, "most mutations change the text: " + changed);
            check(deep > 40, "deep nesting and long lines occur: " + deep);
        });
    }

    public static void main(String[] args) throws Exception {
        System.exit(new ReaderMutationTests().runAll() == 0 ? 0 : 1);
    }
}
