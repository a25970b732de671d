package hbagent;

import java.io.IOException;
import java.nio.charset.Charset;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A scenario: the steps the agent plays against the connector, one per line,
 * each followed by the expectations its outcome must meet.
 *
 * <pre>
 * properties demo.properties          # before the first step: the properties file
 * start                               # n_init (implicit before the first other step)
 * specs more.spec                     # send more specifications
 * subscribe Customer Create           # n_SubscribeTo (no verb: every verb)
 * cancel Customer Create              # n_CancelSub
 * request Create Customer { ... }     # n_DoVerbFor with this object and verb
 * request Retrieve bytes Customer { CustomerId = "C1" }    # n_DoVerbForI18n
 * request Update transactional file change.bo              # object read from a file
 * poll [N]                            # n_poll, N times
 * suspend / resume                    # n_suspend / n_resume
 * trace 5                             # n_setTraceLevel
 * perfmonitors                        # n_getPerfMonitors
 * version                             # n_getVersion, n_CDKVersion, n_CJNIVersion
 * set eventAnswer -1                  # the agent's answer to events
 * set deltaSupport Customer true      # the agent's delta support for a type
 * set property NAME "value"           # a connector configuration property
 * note "text"                         # prints the text
 * terminate                           # n_terminate (implicit at the end)
 *   expect status 1                   # the native method's result
 *   expect message "text" | none | contains "text"
 *   expect Name = "Smith"             # a value of the returned object (path:
 *   expect Addresses[1].City = blank  #   names, [index], and @verb @locale @delta @version)
 *   expect Addresses count 2          # list size (0 for no children)
 *   expect events 1                   # events received during the step
 *   expect event 1 Customer Create    # the first event's type (and verb)
 *   expect event 1 CustomerId = "C1"  # a value of the first event's object
 *   expect text contains "doverbfor"  # the step's text result (perfmonitors, version)
 *   expect log contains "text"        # a log or trace line of the step
 * </pre>
 */
final class Scenario {
    enum Command { START, SPECS, SUBSCRIBE, CANCEL, REQUEST, POLL, SUSPEND, RESUME, TRACE, PERFMONITORS, VERSION,
                   SET, NOTE, TERMINATE }

    static final class Step {
        final int line;
        final Command command;
        final String source;
        final List<String> words = new ArrayList<>();
        String text;
        BusObj object;
        boolean bytes;
        boolean transactional;
        int count = 1;
        List<Spec> specs;
        final List<Expect> expects = new ArrayList<>();

        Step(int line, Command command, String source) {
            this.line = line;
            this.command = command;
            this.source = source;
        }
    }

    enum ExpectKind { STATUS, MESSAGE, MESSAGE_NONE, MESSAGE_CONTAINS, VALUE, COUNT, EVENTS, EVENT_TYPE, EVENT_VALUE,
                      EVENT_COUNT, TEXT_CONTAINS, LOG_CONTAINS }

    /** One expectation; value is the expected value of VALUE and EVENT_VALUE. */
    record Expect(int line, String source, ExpectKind kind, int number, int event, String path, BusObj.Value value,
                  String type, String verb, String text) {}

    final Path file;
    Path propertiesFile;
    final List<Step> steps = new ArrayList<>();
    /** Every spec known by the end of the scenario, by type name. */
    final Map<String, Spec> specs = new LinkedHashMap<>();

    private Scenario(Path file) { this.file = file; }

    /** The properties file the scenario names (resolved against its folder), or null. */
    static Path propertiesDirective(Path file) {
        String text = readText(file);
        Lexer lexer = new Lexer(file.toString(), text, StandardCharsets.UTF_8);
        lexer.skipNewlines();
        if (lexer.peek().isWord("properties")) {
            lexer.next();
            Lexer.Token t = lexer.next();
            if (!t.is(Lexer.Kind.WORD) && !t.is(Lexer.Kind.STRING)) {
                throw lexer.error(t, "expected the properties file name");
            }
            return resolve(lexer, t.line(), file, t.text());
        }
        return null;
    }

    /** name resolved against the scenario's folder; a name no file can have is an error at line. */
    static Path resolve(Lexer lexer, int line, Path scenarioFile, String name) {
        Path parent = scenarioFile.toAbsolutePath().getParent();
        try {
            return parent == null ? Path.of(name) : parent.resolve(name).normalize();
        } catch (java.nio.file.InvalidPathException e) {
            throw lexer.error(line, "\"" + name + "\" is not a file name (" + e.getReason() + ")");
        }
    }

    /** file, when it is a readable file; otherwise an error at the scenario's line that names it. */
    private static Path readable(Lexer lexer, int line, Path file) {
        if (!Files.isRegularFile(file) || !Files.isReadable(file)) {
            throw lexer.error(line, "cannot read " + file);
        }
        return file;
    }

    /** The file's text, read as strict UTF-8; bytes that are not name their line. */
    static String readText(Path file) {
        byte[] bytes;
        try {
            bytes = Files.readAllBytes(file);
        } catch (IOException e) {
            throw new HbAgentException("cannot read " + file + ": " + e.getMessage());
        }
        java.nio.ByteBuffer in = java.nio.ByteBuffer.wrap(bytes);
        java.nio.CharBuffer out = java.nio.CharBuffer.allocate(bytes.length);
        java.nio.charset.CoderResult result = StandardCharsets.UTF_8.newDecoder()
                .onMalformedInput(CodingErrorAction.REPORT)
                .onUnmappableCharacter(CodingErrorAction.REPORT)
                .decode(in, out, true);
        if (result.isError()) {
            int line = 1;
            for (int i = 0; i < in.position(); ++i) {
                line += bytes[i] == '\n' ? 1 : 0;
            }
            throw new HbAgentException(file + ":" + line + ": not UTF-8 text");
        }
        return out.flip().toString();
    }

    /** Reads the specification files into specs (later definitions of a type replace earlier ones). */
    static List<Spec> loadSpecs(Path file, Charset charset) {
        return SpecText.parse(new Lexer(file.toString(), readText(file), charset), charset);
    }

    /** Reads the specification files, adding the child types they name to uses. */
    static List<Spec> loadSpecs(Path file, Charset charset, List<SpecText.ChildUse> uses) {
        return SpecText.parse(new Lexer(file.toString(), readText(file), charset), charset, uses);
    }

    /**
     * Parses the scenario. initialSpecs are the specifications the agent
     * sends at start-up; locale is the default locale of objects.
     */
    static Scenario parse(Path file, Map<String, Spec> initialSpecs, Charset charset, String locale) {
        Scenario scenario = new Scenario(file);
        scenario.specs.putAll(initialSpecs);
        String text = readText(file);
        String[] lines = text.split("\n", -1);
        Lexer lexer = new Lexer(file.toString(), text, charset);
        BusObjText objects = new BusObjText(scenario.specs, charset);
        Step current = null;
        while (true) {
            lexer.skipNewlines();
            Lexer.Token t = lexer.next();
            if (t.is(Lexer.Kind.EOF)) {
                break;
            }
            String source = t.line() <= lines.length ? lines[t.line() - 1].trim() : "";
            if (!t.is(Lexer.Kind.WORD)) {
                throw lexer.error(t, "expected a step or an expectation, found " + t.describe());
            }
            if (t.text().equals("properties")) {
                if (!scenario.steps.isEmpty() || scenario.propertiesFile != null) {
                    throw lexer.error(t, "'properties' comes once, before the first step");
                }
                scenario.propertiesFile = resolve(lexer, t.line(), file, word(lexer, "the properties file"));
                lexer.expectLineEnd();
                continue;
            }
            if (t.text().equals("expect")) {
                if (current == null) {
                    throw lexer.error(t, "an expectation needs a step before it");
                }
                current.expects.add(expectation(lexer, t, source, charset));
                lexer.expectLineEnd();
                continue;
            }
            Command command;
            try {
                command = Command.valueOf(t.text().toUpperCase(java.util.Locale.ROOT));
            } catch (IllegalArgumentException e) {
                throw lexer.error(t, "unknown step '" + t.text() + "' (steps: start specs subscribe cancel request"
                        + " poll suspend resume trace perfmonitors version set note terminate; and expect)");
            }
            current = new Step(t.line(), command, source);
            step(lexer, current, scenario, objects, charset, locale);
            lexer.expectLineEnd();
            scenario.steps.add(current);
        }
        if (scenario.steps.stream().allMatch(s -> s.command == Command.NOTE)) {
            // Named at the end of the file, where a first step would have stood.
            throw lexer.error(lexer.peek(), "the scenario has no steps (start, request, poll, ...): nothing to run");
        }
        return scenario;
    }

    private static String word(Lexer lexer, String what) {
        Lexer.Token t = lexer.next();
        if (!t.is(Lexer.Kind.WORD) && !t.is(Lexer.Kind.STRING)) {
            throw lexer.error(t, "expected " + what + ", found " + t.describe());
        }
        return t.text();
    }

    private static int number(Lexer lexer, String what) {
        Lexer.Token t = lexer.next();
        try {
            if (t.is(Lexer.Kind.WORD)) {
                return Integer.parseInt(t.text());
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw lexer.error(t, "expected " + what + " (a number), found " + t.describe());
    }

    private static boolean atLineEnd(Lexer lexer) {
        return lexer.peek().is(Lexer.Kind.NEWLINE) || lexer.peek().is(Lexer.Kind.EOF);
    }

    private static void step(Lexer lexer, Step step, Scenario scenario, BusObjText objects, Charset charset,
                             String locale) {
        switch (step.command) {
            case START -> {
                if (!atLineEnd(lexer)) {
                    step.words.add(word(lexer, "the framework version"));
                }
            }
            case SPECS -> {
                int line = lexer.peek().line();
                Path specFile =
                        readable(lexer, line, resolve(lexer, line, scenario.file, word(lexer, "a specification file")));
                List<SpecText.ChildUse> uses = new ArrayList<>();
                step.specs = loadSpecs(specFile, charset, uses);
                for (Spec s : step.specs) {
                    scenario.specs.put(s.name(), s);
                }
                SpecText.checkChildTypes(uses, scenario.specs.keySet(), charset);
            }
            case SUBSCRIBE, CANCEL -> {
                step.words.add(word(lexer, "a business object type"));
                if (!atLineEnd(lexer)) {
                    step.words.add(word(lexer, "a verb"));
                } else if (step.command == Command.CANCEL) {
                    throw lexer.error(lexer.peek(), "cancel needs a verb (* for the wildcard)");
                }
            }
            case REQUEST -> request(lexer, step, scenario, objects, charset, locale);
            case POLL -> {
                if (!atLineEnd(lexer)) {
                    step.count = number(lexer, "the number of polls");
                }
            }
            case TRACE -> step.count = number(lexer, "the trace level");
            case SET -> {
                String what = word(lexer, "eventAnswer, deltaSupport or property");
                step.words.add(what);
                switch (what) {
                    case "eventAnswer" -> step.count = number(lexer, "the answer");
                    case "deltaSupport", "property" -> {
                        step.words.add(word(lexer, what.equals("property") ? "the property name" : "the type"));
                        step.words.add(word(lexer, "the value"));
                    }
                    default -> throw lexer.error(lexer.peek(), "set eventAnswer, deltaSupport or property");
                }
            }
            case NOTE -> step.text = word(lexer, "the text to print");
            default -> { }
        }
    }

    private static void request(Lexer lexer, Step step, Scenario scenario, BusObjText objects, Charset charset,
                                String locale) {
        Lexer.Token verbToken = lexer.next();
        String verb = Readable.text(lexer, verbToken, charset, "the verb");
        step.words.add(verbToken.text());
        while (lexer.peek().isWord("bytes") || lexer.peek().isWord("text") || lexer.peek().isWord("transactional")) {
            String option = lexer.next().text();
            if (option.equals("bytes")) {
                step.bytes = true;
            } else if (option.equals("text")) {
                step.bytes = false;
            } else {
                step.transactional = true;
            }
        }
        if (lexer.peek().isWord("file")) {
            lexer.next();
            int line = lexer.peek().line();
            Path objectFile = readable(lexer, line,
                    resolve(lexer, line, scenario.file, word(lexer, "the business object file")));
            Lexer fileLexer = new Lexer(objectFile.toString(), readText(objectFile), charset);
            step.object = objects.parse(fileLexer, locale);
            fileLexer.skipNewlines();
            if (!fileLexer.peek().is(Lexer.Kind.EOF)) {
                throw fileLexer.error(fileLexer.peek(), "one business object per file");
            }
        } else {
            step.object = objects.parse(lexer, locale);
        }
        if (verb.isEmpty() || verb.equals("null") || verb.equals("none")) {
            step.object.verb = null;
        } else {
            step.object.verb = verb;
        }
    }

    private static Expect expectation(Lexer lexer, Lexer.Token at, String source, Charset charset) {
        Lexer.Token what = lexer.next();
        int line = at.line();
        if (what.isWord("status")) {
            return new Expect(line, source, ExpectKind.STATUS, number(lexer, "the status"), 0, null, null, null, null,
                    null);
        }
        if (what.isWord("message")) {
            if (lexer.peek().isWord("none")) {
                lexer.next();
                return new Expect(line, source, ExpectKind.MESSAGE_NONE, 0, 0, null, null, null, null, null);
            }
            if (lexer.peek().isWord("contains")) {
                lexer.next();
                return new Expect(line, source, ExpectKind.MESSAGE_CONTAINS, 0, 0, null, null, null, null,
                        stringOf(lexer, "the text"));
            }
            return new Expect(line, source, ExpectKind.MESSAGE, 0, 0, null, null, null, null,
                    stringOf(lexer, "the message"));
        }
        if (what.isWord("events")) {
            return new Expect(line, source, ExpectKind.EVENTS, number(lexer, "the number of events"), 0, null, null,
                    null, null, null);
        }
        if (what.isWord("text") || what.isWord("log")) {
            Lexer.Token c = lexer.next();
            if (!c.isWord("contains")) {
                throw lexer.error(c, "expected 'contains'");
            }
            return new Expect(line, source, what.isWord("text") ? ExpectKind.TEXT_CONTAINS : ExpectKind.LOG_CONTAINS,
                    0, 0, null, null, null, null, stringOf(lexer, "the text"));
        }
        if (what.isWord("event")) {
            int event = number(lexer, "the event's number (from 1)");
            if (event < 1) {
                throw lexer.error(what, "events are numbered from 1");
            }
            Lexer.Token first = lexer.next();
            if (!first.is(Lexer.Kind.WORD)) {
                throw lexer.error(first, "expected a type or a path, found " + first.describe());
            }
            if (lexer.peek().is(Lexer.Kind.EQUALS) || lexer.peek().isWord("count")) {
                return pathExpectation(lexer, line, source, event, first.text(), charset);
            }
            String verb = atLineEnd(lexer) ? null : word(lexer, "the event's verb");
            return new Expect(line, source, ExpectKind.EVENT_TYPE, 0, event, null, null, first.text(), verb, null);
        }
        if (what.is(Lexer.Kind.WORD)) {
            return pathExpectation(lexer, line, source, 0, what.text(), charset);
        }
        throw lexer.error(what, "expected status, message, events, event, text, log or an attribute path");
    }

    private static String stringOf(Lexer lexer, String what) {
        Lexer.Token t = lexer.next();
        if (!t.is(Lexer.Kind.STRING) && !t.is(Lexer.Kind.WORD)) {
            throw lexer.error(t, "expected " + what + ", found " + t.describe());
        }
        return t.text();
    }

    private static Expect pathExpectation(Lexer lexer, int line, String source, int event, String path,
                                          Charset charset) {
        if (lexer.peek().isWord("count")) {
            lexer.next();
            int n = number(lexer, "the count");
            return new Expect(line, source, event > 0 ? ExpectKind.EVENT_COUNT : ExpectKind.COUNT, n, event, path,
                    null, null, null, null);
        }
        lexer.expect(Lexer.Kind.EQUALS, "'=' or 'count' after the path");
        Lexer.Token v = lexer.next();
        BusObj.Value value;
        if (v.is(Lexer.Kind.LBRACKET)) {
            lexer.expect(Lexer.Kind.RBRACKET, "']' (only [] can be expected)");
            value = BusObj.NO_CHILD;
        } else if (v.isWord("unset")) {
            value = BusObj.UNSET;
        } else if (v.isWord("blank")) {
            value = BusObj.BLANK_VALUE;
        } else if (v.isWord("none")) {
            value = BusObj.NO_CHILD;
        } else {
            value = new BusObj.Text(Readable.text(lexer, v, charset, "the expected value"));
        }
        return new Expect(line, source, event > 0 ? ExpectKind.EVENT_VALUE : ExpectKind.VALUE, 0, event, path, value,
                null, null, null);
    }
}
