import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;

/** What the JVM-launched tests share: checks, process figures (Linux /proc), records. */
final class HbProcessFigures {
    static final char D = '\u0003';
    private static final AtomicInteger failures = new AtomicInteger();

    private HbProcessFigures() {}

    static void check(boolean ok, String what) {
        if (!ok && failures.incrementAndGet() <= 20) {
            System.out.println("CHECK FAILED: " + what);
        }
    }

    /** Prints "NAME TEST PASSED" or FAILED and "MAIN-END millis" (see run_load_test.sh); exits 1 on a failed check. */
    static void finish(String name) {
        int failed = failures.get();
        System.out.println(name + (failed == 0 ? " TEST PASSED" : " TEST FAILED: " + failed + " checks"));
        System.out.println("MAIN-END " + System.currentTimeMillis());
        if (failed != 0) {
            System.exit(1);
        }
    }

    /** VmRSS of this process in kB, after a full collection so the heap does not count its garbage. */
    static long residentKb() throws IOException {
        System.gc();
        for (String line : Files.readAllLines(Path.of("/proc/self/status"), StandardCharsets.US_ASCII)) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.substring(6).replace("kB", "").trim());
            }
        }
        throw new IOException("no VmRSS line in /proc/self/status");
    }

    /** Open file descriptors of this process. */
    static int descriptors() throws IOException {
        try (var entries = Files.list(Path.of("/proc/self/fd"))) {
            return (int) entries.count();
        }
    }

    /** What each open descriptor refers to, for a report when their number changed. */
    static String descriptorTargets() throws IOException {
        StringBuilder out = new StringBuilder();
        try (var entries = Files.list(Path.of("/proc/self/fd"))) {
            for (Path fd : (Iterable<Path>) entries::iterator) {
                try {
                    out.append(fd.getFileName()).append("->").append(Files.readSymbolicLink(fd)).append(' ');
                } catch (IOException e) {
                    out.append(fd.getFileName()).append("->? ");  // closed while listing (the listing's own)
                }
            }
        }
        return out.toString();
    }

    static int threads() {
        return ManagementFactory.getThreadMXBean().getThreadCount();
    }

    /** The thread count once it is back at or below baseline, or what it is after 2 s of waiting. */
    static int threadsSettledTo(int baseline) throws InterruptedException {
        int now = threads();
        for (int wait = 0; wait < 40 && now > baseline; ++wait) {
            Thread.sleep(50);
            now = threads();
        }
        return now;
    }

    static String tokens(String... values) {
        return String.join(String.valueOf(D), values) + D;
    }

    static byte[] prefixed(String... values) {
        StringBuilder out = new StringBuilder();
        for (String v : values) {
            out.append(Integer.toHexString(v.getBytes(StandardCharsets.UTF_8).length)).append('#').append(v);
        }
        return out.toString().getBytes(StandardCharsets.UTF_8);
    }

    /** The tokens of an Item record (Id, Label, ObjectEventId) with its label. */
    static String[] item(String id, String verb, String label) {
        return new String[] {"BusinessObject", "Item", "1.0.0", "false", verb, "en_US", "3", id, label, "VqIgnore"};
    }

    /** A length-prefixed spec record of hb_load_connector's types: a key, a second attribute, ObjectEventId. */
    static byte[] spec(String name, String key, String attr, String type, String cardinality) {
        List<String> t = new ArrayList<>(List.of("BusObjSpec", name, "1.0.0", "\u0005", "3", "4"));
        String[][] attrs = {{key, "String", "true", "1"}, {attr, type, "false", cardinality},
                            {"ObjectEventId", "String", "false", "1"}};
        for (String[] a : attrs) {
            t.addAll(List.of(a[0], a[1], a[2], "false", "false", "\u0005", "0", "\u0005", "1.0.0", a[3],
                             "Containment", "false"));
        }
        for (String verb : List.of("Create", "Retrieve", "Update", "Delete")) {
            t.addAll(List.of(verb, "\u0005"));
        }
        return prefixed(t.toArray(new String[0]));
    }

    static List<byte[]> loadConnectorSpecs() {
        return List.of(spec("Item", "Id", "Label", "String", "1"), spec("Bulk", "Id", "Items", "Item", "n"),
                       spec("Node", "Name", "Next", "Node", "1"));
    }
}
