package hbagent;

import AppSide_Connector.AgentSettings;
import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import AppSide_Connector.UpcallLog;
import VqCommon.ReturnStatusDescriptor;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

/**
 * Plays a scenario against a connector: starts it through the library's
 * native methods, sends the specifications and the collaborations'
 * subscriptions, runs each step, prints what happens (results, returned
 * objects, events, log and trace lines) and checks the expectations.
 */
final class Runner {
    /** Exit codes: all expectations met; an expectation failed; start-up or input failed. */
    static final int OK = 0;
    static final int EXPECTATION_FAILED = 1;
    static final int FAILED = 2;

    /** One event as it reached the agent. */
    record Event(BusObj object, String error, boolean bytes, int answer) {}

    private final AgentConfig config;
    private final Scenario scenario;
    private final Map<String, Spec> specs;
    private final Charset charset;
    private final PrintStream out;
    private final boolean verbose;
    private final BusObjText objects;

    private final Object printLock = new Object();
    private AgentSettings settings;
    private BusObjNativeInterface agent;
    private boolean started;
    private boolean terminated;
    /** Start-up failed as the scenario expected: nothing more can run. */
    private boolean stopped;
    private int stepNumber;
    private volatile int eventAnswer;

    // What the current step gathered.
    private final List<Event> events = new ArrayList<>();
    private final List<String> logLines = new ArrayList<>();
    private int passed;
    private int failed;
    private String firstFailure;

    Runner(AgentConfig config, Scenario scenario, PrintStream out, boolean verbose) {
        this.config = config;
        this.scenario = scenario;
        this.specs = scenario.specs;
        this.charset = config.valueCharset();
        this.out = out;
        this.verbose = verbose;
        this.objects = new BusObjText(specs, charset);
    }

    int passed() { return passed; }

    int failed() { return failed; }

    String firstFailure() { return firstFailure; }

    /** Runs the scenario; returns the exit code. Start-up failures throw. */
    int run(List<Spec> startupSpecs) {
        load();
        for (Scenario.Step step : scenario.steps) {
            if (stopped) {
                break;
            }
            if (!started && step.command != Scenario.Command.START && step.command != Scenario.Command.NOTE) {
                Scenario.Step implicit = new Scenario.Step(step.line, Scenario.Command.START, "start (implicit)");
                runStep(implicit, startupSpecs);
            }
            if (terminated && step.command != Scenario.Command.NOTE) {
                throw new HbAgentException(scenario.file + ":" + step.line + ": the connector was terminated before"
                        + " this step");
            }
            runStep(step, startupSpecs);
        }
        if (started && !terminated && !stopped) {
            runStep(new Scenario.Step(0, Scenario.Command.TERMINATE, "terminate (implicit)"), startupSpecs);
        }
        println("hbagent: " + stepNumber + " steps, " + passed + " expectations met, " + failed + " failed");
        return failed > 0 ? EXPECTATION_FAILED : OK;
    }

    // ---- Start-up ----------------------------------------------------------

    private void load() {
        settings = Startup.settings(config);
        eventAnswer = config.eventAnswer;
        settings.setEventResponder(this::onEvent);
        UpcallLog log = new UpcallLog();
        log.setRecording(false);
        log.setListener(this::onRecord);
        agent = Startup.load(config, settings, log);
    }

    private void start(Scenario.Step step, List<Spec> startupSpecs) {
        String version = step.words.isEmpty() ? config.frameworkVersion : step.words.get(0);
        int result = agent.n_init(version, config.connector.toAbsolutePath().toString());
        started = true;
        println("  n_init(" + version + ") returned " + result);
        if (result != 1) {
            boolean expected = step.expects.stream()
                    .anyMatch(e -> e.kind() == Scenario.ExpectKind.STATUS && e.number() == result);
            if (!expected) {
                throw new HbAgentException("start-up failed: n_init returned " + result
                        + " (the connector did not start; see the log lines above)");
            }
            check(step, result, null, null, null);
            println("  the connector did not start, as expected: the scenario ends here");
            stopped = true;
            return;
        }
        for (Spec spec : startupSpecs) {
            sendSpec(spec);
        }
        for (String line : Startup.subscribe(agent, config)) {
            println("  " + line);
        }
        check(step, result, null, null, null);
    }

    private void sendSpec(Spec spec) {
        println("  " + Startup.sendSpec(agent, config, spec));
    }

    // ---- Steps -------------------------------------------------------------

    private void runStep(Scenario.Step step, List<Spec> startupSpecs) {
        synchronized (printLock) {
            events.clear();
            logLines.clear();
        }
        if (step.command != Scenario.Command.NOTE) {
            ++stepNumber;
            println("[" + stepNumber + "] " + step.source + (step.line > 0 ? "   (line " + step.line + ")" : ""));
        }
        switch (step.command) {
            case START -> start(step, startupSpecs);
            case SPECS -> {
                for (Spec spec : step.specs) {
                    sendSpec(spec);
                }
                check(step, null, null, null, null);
            }
            case SUBSCRIBE -> {
                String verb = step.words.size() > 1 ? step.words.get(1) : null;
                int r = agent.n_SubscribeTo(step.words.get(0), verb, 0);
                println("  n_SubscribeTo returned " + r);
                check(step, r, null, null, null);
            }
            case CANCEL -> {
                String type = step.words.get(0);
                Spec spec = specs.get(ByteText.encode(type, charset));
                String version = spec != null ? ByteText.show(spec.version(), charset) : "1.0.0";
                int r = agent.n_CancelSub(type, version, step.words.get(1));
                println("  n_CancelSub returned " + r);
                check(step, r, null, null, null);
            }
            case REQUEST -> request(step);
            case POLL -> {
                int r = 0;
                for (int i = 0; i < step.count; ++i) {
                    r = agent.n_poll();
                    println("  n_poll returned " + r);
                }
                check(step, r, null, null, null);
            }
            case SUSPEND -> {
                agent.n_suspend();
                check(step, null, null, null, null);
            }
            case RESUME -> {
                agent.n_resume();
                check(step, null, null, null, null);
            }
            case TRACE -> {
                agent.n_setTraceLevel(step.count);
                println("  trace level " + step.count);
                check(step, null, null, null, null);
            }
            case PERFMONITORS -> {
                String text = agent.n_getPerfMonitors();
                println("  performance monitors: " + (text == null ? "null" : "\"" + text + "\""));
                // "#~" then each monitor followed by "#".
                if (text != null && text.startsWith("#~")) {
                    for (String entry : text.substring(2).split("#")) {
                        if (!entry.isEmpty()) {
                            println("    " + entry);
                        }
                    }
                }
                check(step, null, null, null, text);
            }
            case VERSION -> {
                String text = "connector " + agent.n_getVersion() + ", CDK " + agent.n_CDKVersion() + ", bridge "
                        + agent.n_CJNIVersion();
                println("  " + text);
                check(step, null, null, null, text);
            }
            case SET -> set(step);
            case NOTE -> println("# " + step.text);
            case TERMINATE -> {
                int r = agent.n_terminate();
                terminated = true;
                println("  n_terminate returned " + r);
                check(step, r, null, null, null);
            }
        }
    }

    private void set(Scenario.Step step) {
        switch (step.words.get(0)) {
            case "eventAnswer" -> {
                eventAnswer = step.count;
                println("  events are answered " + step.count);
            }
            case "deltaSupport" -> {
                settings.setDeltaSupport(step.words.get(1), step.words.get(2));
                println("  delta support of " + step.words.get(1) + ": " + step.words.get(2));
            }
            default -> {
                settings.setConfigProp(step.words.get(1), step.words.get(2));
                println("  property " + step.words.get(1) + " = " + step.words.get(2));
            }
        }
        check(step, null, null, null, null);
    }

    private void request(Scenario.Step step) {
        BusObj bo = step.object;
        ReturnStatusDescriptor status = new ReturnStatusDescriptor();
        int result;
        BusObj returned = null;
        String returnError = null;
        if (verbose) {
            println(indent(objects.print(bo), "  sent: ", "        "));
        }
        if (step.bytes) {
            byte[] sent = ByteText.bytes(bo.toLengthPrefixed(specs));
            StringBucket bucket = new StringBucket(sent);
            result = agent.n_DoVerbForI18n(bucket, step.transactional, status);
            if (bucket.contentinArray != sent && bucket.contentinArray != null) {
                try {
                    returned = BusObj.fromLengthPrefixed(ByteText.of(bucket.contentinArray), specs);
                } catch (HbAgentException e) {
                    returnError = e.getMessage();
                }
            }
        } else {
            String sent = toJavaText(bo.toDelimited(specs));
            StringBucket bucket = new StringBucket(sent);
            result = agent.n_DoVerbFor(bucket, step.transactional, status);
            if (bucket.content != sent && bucket.content != null) {
                try {
                    returned = BusObj.fromDelimited(fromJavaText(bucket.content), specs);
                } catch (HbAgentException e) {
                    returnError = e.getMessage();
                }
            }
        }
        String message = status.getErrorString();
        println("  status " + result + ", message " + (message == null ? "none" : "\"" + message + "\""));
        if (returned != null) {
            println(indent(objects.print(returned), "  returned: ", "            "));
        } else if (returnError != null) {
            println("  returned an object that cannot be read: " + returnError);
        }
        check(step, result, message, returned, null);
        if (returnError != null && step.expects.stream().anyMatch(e -> e.kind() == Scenario.ExpectKind.VALUE)) {
            fail(step, null, "the returned object cannot be read: " + returnError);
        }
    }

    /** The Java string the text-form methods carry for a delimited byte string. */
    private String toJavaText(String byteString) {
        if (config.ascii8()) {
            return byteString;
        }
        String text = ByteText.decodeStrict(byteString, StandardCharsets.UTF_8);
        if (text == null) {
            throw new HbAgentException("the object holds bytes that are not UTF-8, which the text form cannot"
                    + " carry: send it with 'bytes' (or set CharacterEncoding=ascii8)");
        }
        return text;
    }

    private String fromJavaText(String text) { return RecordText.fromJavaText(text, config.ascii8()); }

    // ---- Upcalls -----------------------------------------------------------

    private int onEvent(String text, byte[] bytes, String encoding) {
        int answer = eventAnswer;
        BusObj bo = null;
        String error = null;
        try {
            bo = RecordText.readEvent(text, bytes, config.ascii8(), specs);
        } catch (HbAgentException e) {
            error = e.getMessage();
        }
        synchronized (printLock) {
            events.add(new Event(bo, error, text == null, answer));
            int n = events.size();
            String form = text != null ? "text" : "bytes " + encoding;
            if (bo == null) {
                println("  event " + n + " (" + form + ") cannot be read: " + error + "; answered " + answer);
            } else {
                String id = "";
                Spec spec = specs.get(bo.type);
                int at = spec == null ? -1 : spec.indexOf("ObjectEventId");
                if (at >= 0 && bo.values.get(at) instanceof BusObj.Text t) {
                    id = ", ObjectEventId " + ByteText.quote(t.bytes(), charset);
                }
                println("  event " + n + " (" + form + "): " + ByteText.show(bo.type, charset) + " "
                        + (bo.verb == null ? "(no verb)" : ByteText.show(bo.verb, charset)) + id + "; answered "
                        + answer);
                println(indent(objects.print(bo), "    ", "    "));
            }
            out.flush();
        }
        return answer;
    }

    private void onRecord(Object entry) {
        String line = recordLine(entry, verbose);
        if (line == null) {
            return;
        }
        synchronized (printLock) {
            logLines.add(line);
            println(indent(line, "  ", "    "));
            out.flush();
        }
    }

    /**
     * The printed line of a log line, trace line or composed message the
     * library sent; a composed message shows with the catalogue's text (and,
     * when verbose, as composed). Null for the other records.
     */
    static String recordLine(Object entry, boolean verbose) {
        if (entry instanceof UpcallLog.TraceEntry t) {
            return "trace " + t.level() + " " + t.connectorName() + ": " + t.text()
                    + (t.extra() != null ? " | " + t.extra() : "");
        }
        if (entry instanceof UpcallLog.LogEntry l) {
            return (l.type() == null ? "log: " : "log (type " + l.type() + "): ") + l.text();
        }
        if (entry instanceof UpcallLog.GeneratedMessage m) {
            // The catalogue's text, with the number, for every message the
            // library composes (some are composed and never logged).
            String line = "message " + Messages.bundled().explain(m.id(), m.params())
                    + (m.extra() != null && !m.extra().isEmpty() ? " (" + m.extra() + ")" : "");
            return verbose ? "message composed: " + m.text() + "\n" + line : line;
        }
        return null;
    }

    // ---- Expectations ------------------------------------------------------

    /** Checks the step's expectations; null arguments are outcomes the step does not have. */
    private void check(Scenario.Step step, Integer status, String message, BusObj returned, String text) {
        List<Event> stepEvents;
        List<String> stepLog;
        synchronized (printLock) {
            stepEvents = List.copyOf(events);
            stepLog = List.copyOf(logLines);
        }
        for (Scenario.Expect e : step.expects) {
            String failure = evaluate(e, status, message, returned, text, stepEvents, stepLog);
            if (failure == null) {
                ++passed;
                println("  ok      " + e.source());
            } else {
                fail(step, e, failure);
            }
        }
    }

    private void fail(Scenario.Step step, Scenario.Expect e, String why) {
        ++failed;
        println("  FAILED  " + (e != null ? e.source() + ": " : "") + why);
        if (firstFailure == null) {
            firstFailure = scenario.file + ":" + (e != null ? e.line() : step.line) + ": step " + stepNumber + " ("
                    + step.source + "): " + (e != null ? e.source() + ": " : "") + why;
        }
    }

    private String evaluate(Scenario.Expect e, Integer status, String message, BusObj returned, String text,
                            List<Event> stepEvents, List<String> stepLog) {
        switch (e.kind()) {
            case STATUS:
                if (status == null) {
                    return "this step has no status";
                }
                return status == e.number() ? null : "got status " + status + (message != null ? " (message \""
                        + message + "\")" : "");
            case MESSAGE:
                return e.text().equals(message) ? null : "got message " + quoteOrNone(message);
            case MESSAGE_NONE:
                return message == null ? null : "got message " + quoteOrNone(message);
            case MESSAGE_CONTAINS:
                return message != null && message.contains(e.text()) ? null : "got message " + quoteOrNone(message);
            case TEXT_CONTAINS:
                return text != null && text.contains(e.text()) ? null : "got " + quoteOrNone(text);
            case LOG_CONTAINS:
                for (String line : stepLog) {
                    if (line.contains(e.text())) {
                        return null;
                    }
                }
                return "no log or trace line of this step contains it (" + stepLog.size() + " lines)";
            case EVENTS:
                return stepEvents.size() == e.number() ? null : "got " + stepEvents.size() + " events";
            case VALUE:
            case COUNT:
                if (returned == null) {
                    return "no object came back" + (status != null ? " (status " + status + ")" : "");
                }
                return value(e, returned);
            case EVENT_TYPE:
            case EVENT_VALUE:
            case EVENT_COUNT:
                if (e.event() > stepEvents.size()) {
                    return "only " + stepEvents.size() + " events arrived";
                }
                Event ev = stepEvents.get(e.event() - 1);
                if (ev.object() == null) {
                    return "the event cannot be read: " + ev.error();
                }
                if (e.kind() == Scenario.ExpectKind.EVENT_TYPE) {
                    String type = ByteText.show(ev.object().type, charset);
                    String verb = ev.object().verb == null ? "none" : ByteText.show(ev.object().verb, charset);
                    boolean ok = type.equals(e.type()) && (e.verb() == null || verb.equals(e.verb()));
                    return ok ? null : "got " + type + " " + verb;
                }
                return value(e, ev.object());
            default:
                return "unknown expectation";
        }
    }

    private String value(Scenario.Expect e, BusObj bo) {
        BusObj.Value actual;
        try {
            actual = ObjectPath.resolve(bo, specs, e.path(), charset);
        } catch (HbAgentException ex) {
            return ex.getMessage();
        }
        if (e.kind() == Scenario.ExpectKind.COUNT || e.kind() == Scenario.ExpectKind.EVENT_COUNT) {
            int n;
            if (actual instanceof BusObj.Array a) {
                n = a.elements().size();
            } else if (actual instanceof BusObj.NoChild || actual instanceof BusObj.Unset) {
                n = 0;
            } else {
                return "found " + ObjectPath.describe(actual, charset) + ", not a list";
            }
            return n == e.number() ? null : "found " + n + " elements";
        }
        return actual.equals(e.value()) ? null : "found " + ObjectPath.describe(actual, charset);
    }

    private static String quoteOrNone(String text) { return text == null ? "none" : "\"" + text + "\""; }

    // ---- Printing ----------------------------------------------------------

    private void println(String line) {
        synchronized (printLock) {
            out.println(line);
        }
    }

    /** Prefixes the first line with first and the others with rest; drops one trailing line break. */
    static String indent(String text, String first, String rest) {
        String body = text.endsWith("\n") ? text.substring(0, text.length() - 1) : text;
        return first + body.replace("\n", "\n" + rest);
    }
}
