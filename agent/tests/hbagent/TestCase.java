package hbagent;

import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

/**
 * A minimal test harness for the agent's own tests: each test class lists
 * its cases, main runs them and ends with the line "N passed, M failed".
 */
abstract class TestCase {
    @FunctionalInterface
    interface Body {
        void run() throws Exception;
    }

    private record Named(String name, Body body) {}

    private final List<Named> cases = new ArrayList<>();

    protected void test(String name, Body body) { cases.add(new Named(name, body)); }

    /** Ends a process the test started, if it still runs, and waits (bounded) until it has. */
    static void kill(Process process) {
        if (process.isAlive()) {
            process.destroyForcibly();
            try {
                process.waitFor(30, java.util.concurrent.TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    /** What a command printed and returned. */
    record Output(int code, String out, String err) {}

    @FunctionalInterface
    interface Command {
        int run(java.io.PrintStream out, java.io.PrintStream err) throws Exception;
    }

    /** Runs a command with its standard output and error captured. */
    static Output capture(Command command) {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        java.io.ByteArrayOutputStream err = new java.io.ByteArrayOutputStream();
        var utf8 = java.nio.charset.StandardCharsets.UTF_8;
        int code;
        try (java.io.PrintStream o = new java.io.PrintStream(out, true, utf8);
             java.io.PrintStream e = new java.io.PrintStream(err, true, utf8)) {
            code = command.run(o, e);
        } catch (Exception e) {
            throw new AssertionError("the command threw " + e, e);
        }
        return new Output(code, out.toString(utf8), err.toString(utf8));
    }

    /** The cases' temporary folder, made on first use and removed by runAll; write() puts files there. */
    private java.nio.file.Path dir;

    java.nio.file.Path dir() throws java.io.IOException {
        if (dir == null) {
            dir = java.nio.file.Files.createTempDirectory("hbagent-" + getClass().getSimpleName() + "-");
        }
        return dir;
    }

    java.nio.file.Path write(String name, String text) throws java.io.IOException {
        return writeFile(dir(), name, text);
    }

    /** A port of 127.0.0.1 that was free a moment ago. */
    static int freePort() throws java.io.IOException {
        try (var s = new java.net.ServerSocket(0, 1, java.net.InetAddress.getLoopbackAddress())) {
            return s.getLocalPort();
        }
    }

    /** Removes a folder and everything in it. */
    static void deleteTree(java.nio.file.Path root) throws java.io.IOException {
        try (var all = java.nio.file.Files.walk(root)) {
            for (java.nio.file.Path p : all.sorted(java.util.Comparator.reverseOrder()).toList()) {
                java.nio.file.Files.deleteIfExists(p);
            }
        }
    }

    /** The agent settings of a properties-less run with these KEY=VALUE overrides. */
    static AgentConfig config(String... defines) {
        java.util.Map<String, String> overrides = new java.util.HashMap<>();
        for (String d : defines) {
            int eq = d.indexOf('=');
            overrides.put(d.substring(0, eq), d.substring(eq + 1));
        }
        return AgentConfig.load(null, overrides);
    }

    /** Writes text as UTF-8 to dir/name (removed when the JVM exits) and returns its path. */
    static java.nio.file.Path writeFile(java.nio.file.Path dir, String name, String text)
            throws java.io.IOException {
        java.nio.file.Path file = dir.resolve(name);
        java.nio.file.Files.writeString(file, text, java.nio.charset.StandardCharsets.UTF_8);
        file.toFile().deleteOnExit();
        return file;
    }

    /** Runs every case; returns the number that failed. */
    int runAll() {
        int failed = 0;
        int ran = 0;
        // -Dhbagent.test.only=TEXT runs only the cases whose name contains TEXT.
        String only = System.getProperty("hbagent.test.only");
        for (Named c : cases) {
            if (only != null && !c.name().contains(only)) {
                continue;
            }
            ++ran;
            try {
                c.body().run();
                System.out.println("PASS " + c.name());
            } catch (Throwable t) {
                ++failed;
                System.out.println("FAIL " + c.name() + ": " + t);
                for (StackTraceElement e : t.getStackTrace()) {
                    if (e.getClassName().startsWith("hbagent.")) {
                        System.out.println("    at " + e);
                    }
                }
            }
        }
        if (dir != null) {
            try {
                deleteTree(dir);
            } catch (java.io.IOException e) {
                System.out.println("cannot remove " + dir + ": " + e);
            }
        }
        System.out.println((ran - failed) + " passed, " + failed + " failed");
        return failed;
    }

    static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    static void equal(Object expected, Object actual) {
        if (!Objects.equals(expected, actual)) {
            throw new AssertionError("expected <" + expected + ">, got <" + actual + ">");
        }
    }

    /** The body must throw an exception of the type (any other passes through); returns it. */
    static <E extends Exception> E throwsA(Class<E> type, Body body) throws Exception {
        try {
            body.run();
        } catch (Exception e) {
            if (!type.isInstance(e)) {
                throw e;
            }
            return type.cast(e);
        }
        throw new AssertionError("did not fail with a " + type.getSimpleName());
    }

    /** The body must fail with an HbAgentException whose message contains part. */
    static void fails(String part, Body body) throws Exception {
        String message = throwsA(HbAgentException.class, body).getMessage();
        check(message.contains(part), "failed with \"" + message + "\", expected it to mention \"" + part + "\"");
    }
}
