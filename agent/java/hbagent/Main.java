package hbagent;

import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;

/**
 * hbagent: the local agent. Loads the HbConnector library and a connector
 * library, plays the agent's part for a scenario and checks its
 * expectations. Exit status 0 when every expectation is met, 1 when one
 * fails, 2 when the run cannot start or an input is wrong.
 */
public final class Main {
    static final String USAGE = String.join("\n",
            "usage: hbagent [options] SCENARIO",
            "       hbagent serve [-p FILE] [-c FILE] [-D NAME=VALUE]...   run the connector as a service",
            "       hbagent request [--broker URL] [--queue Q] TYPE VERB JSON|@FILE   send one request",
            "       hbagent listen [--broker URL] DEST   print events as they arrive",
            "  -p, --properties FILE   the agent's properties file (default: the scenario's 'properties' line)",
            "  -c, --connector FILE    the connector library (default: agent.connector of the properties)",
            "  -D NAME=VALUE           set a property (connector or agent.*), over the file's",
            "  -v, --verbose           also print the objects sent and each message as composed",
            "  -h, --help              this text");

    private Main() {}

    public static void main(String[] args) {
        // ActiveMQ's own lines: warnings and errors only, on standard error with time stamps.
        System.setProperty("org.slf4j.simpleLogger.defaultLogLevel", "warn");
        System.setProperty("org.slf4j.simpleLogger.showDateTime", "true");
        System.setProperty("org.slf4j.simpleLogger.dateTimeFormat", "yyyy-MM-dd'T'HH:mm:ss.SSSX");
        int code;
        if (args.length > 0 && args[0].equals("request")) {
            code = RequestCommand.run(Arrays.copyOfRange(args, 1, args.length));
        } else if (args.length > 0 && args[0].equals("listen")) {
            code = ListenCommand.run(Arrays.copyOfRange(args, 1, args.length));
        } else {
            code = run(args, System.out, System.err);
        }
        System.out.flush();
        System.err.flush();
        System.exit(code);
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length > 0 && args[0].equals("serve")) {
            return serve(Arrays.copyOfRange(args, 1, args.length), out, err);
        }
        Options options = new Options();
        Path scenarioFile = null;
        boolean verbose = false;
        try {
            for (int i = 0; i < args.length; ++i) {
                String a = args[i];
                int next = options.take(args, i);
                if (next >= 0) {
                    i = next;
                    continue;
                }
                switch (a) {
                    case "-h", "--help" -> {
                        out.println(USAGE);
                        return Runner.OK;
                    }
                    case "-v", "--verbose" -> verbose = true;
                    default -> {
                        if (a.startsWith("-")) {
                            throw new HbAgentException("unknown option " + a + "\n" + USAGE);
                        } else if (scenarioFile != null) {
                            throw new HbAgentException("one scenario at a time\n" + USAGE);
                        } else {
                            scenarioFile = Path.of(a);
                        }
                    }
                }
            }
            if (scenarioFile == null) {
                throw new HbAgentException("no scenario given\n" + USAGE);
            }
            if (!Files.isRegularFile(scenarioFile)) {
                throw new HbAgentException("no scenario file " + scenarioFile);
            }
            if (options.properties == null) {
                options.properties = Scenario.propertiesDirective(scenarioFile);
            }
            Path properties = options.properties;
            AgentConfig config = options.config();
            Charset charset = config.valueCharset();
            Map<String, Spec> startup = new LinkedHashMap<>();
            List<SpecText.ChildUse> childTypes = new ArrayList<>();
            for (Path file : config.specFiles) {
                for (Spec spec : Scenario.loadSpecs(file, charset, childTypes)) {
                    startup.put(spec.name(), spec);
                }
            }
            SpecText.checkChildTypes(childTypes, startup.keySet(), charset);
            Scenario scenario = Scenario.parse(scenarioFile, startup, charset, ByteText.encode(config.locale, charset));
            out.println("hbagent: scenario " + scenarioFile + ", connector " + config.connector
                    + (properties != null ? ", properties " + properties : ""));
            Runner runner = new Runner(config, scenario, out, verbose);
            int code = runner.run(new ArrayList<>(startup.values()));
            out.flush();
            if (code != Runner.OK) {
                err.println("hbagent: FAILED: " + runner.firstFailure()
                        + (runner.failed() > 1 ? " (and " + (runner.failed() - 1) + " more)" : ""));
            }
            return code;
        } catch (HbAgentException e) {
            out.flush();
            err.println("hbagent: " + e.getMessage());
            return Runner.FAILED;
        }
    }

    /** "hbagent serve": runs until SIGTERM or SIGINT; 2 when it cannot start. */
    static int serve(String[] args, PrintStream out, PrintStream err) {
        Options options = new Options();
        try {
            for (int i = 0; i < args.length; ++i) {
                String a = args[i];
                int next = options.take(args, i);
                if (next >= 0) {
                    i = next;
                } else if (a.equals("-h") || a.equals("--help")) {
                    out.println(USAGE);
                    return Runner.OK;
                } else {
                    throw new HbAgentException("serve: unknown argument " + a + "\n" + USAGE);
                }
            }
            return new Service(options.config(), out, err).run();
        } catch (HbAgentException e) {
            out.flush();
            err.println("hbagent: " + e.getMessage());
            return Runner.FAILED;
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            return Runner.FAILED;
        }
    }

    /** The options scenario runs and "hbagent serve" share: -p, -c and -D. */
    private static final class Options {
        Path properties;
        Path connector;
        final Map<String, String> overrides = new TreeMap<>();

        /** Takes the option at args[i] if it is one of these: the index of its last word, else -1. */
        int take(String[] args, int i) {
            String a = args[i];
            switch (a) {
                case "-p", "--properties" -> properties = Path.of(value(args, ++i, a));
                case "-c", "--connector" -> connector = Path.of(value(args, ++i, a));
                case "-D" -> define(overrides, value(args, ++i, a));
                default -> {
                    if (!a.startsWith("-D") || a.length() <= 2) {
                        return -1;
                    }
                    define(overrides, a.substring(2));
                }
            }
            return i;
        }

        /** The properties file read with the -D overrides, the connector given by -c over the file's. */
        AgentConfig config() {
            AgentConfig config = AgentConfig.load(properties, overrides);
            if (connector != null) {
                config.connector = connector.toAbsolutePath().normalize();
            }
            return config;
        }
    }

    private static String value(String[] args, int i, String option) {
        if (i >= args.length) {
            throw new HbAgentException(option + " needs a value\n" + USAGE);
        }
        return args[i];
    }

    private static void define(Map<String, String> overrides, String pair) {
        int eq = pair.indexOf('=');
        if (eq <= 0) {
            throw new HbAgentException("-D takes NAME=VALUE, not \"" + pair + "\"");
        }
        overrides.put(pair.substring(0, eq), pair.substring(eq + 1));
    }
}
