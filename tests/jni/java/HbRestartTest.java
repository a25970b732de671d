import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import VqCommon.ReturnStatusDescriptor;

import java.util.List;

/**
 * Restarts: the connector started and stopped many times in one JVM, as an
 * agent restarting it would, each start-up announcing the same specs again,
 * running a few verbs and a poll with performance monitoring on. Resident
 * memory, measured after a warm-up, may grow by at most a fixed bound over
 * all cycles, and the monitor list keeps the records of the last start-up
 * only.
 *
 * <p>Arguments: the connector library (hb_load_connector), the number of
 * cycles, the bound in kB ("none": print the growth, do not bound it). Prints "RESTART TEST PASSED" and "MAIN-END millis"
 * at the end (see run_load_test.sh); exits with 1 when a check failed.
 */
public final class HbRestartTest {
    private static final int WARM_UP = Integer.getInteger("hb.warmUp", 300);
    private static int failures;

    private HbRestartTest() {}

    private static void check(boolean ok, String what) {
        if (!ok && ++failures <= 20) {
            System.out.println("CHECK FAILED: " + what);
        }
    }

    private static void cycle(BusObjNativeInterface agent, String library, List<byte[]> specs, int n) {
        check(agent.n_init("4.1.0", library) == 1, "n_init, cycle " + n);
        for (byte[] spec : specs) {
            agent.n_gotBusObjSpecI18n(spec);
        }
        check(agent.n_SubscribeTo("Item", "Create", 0) == 0, "subscribe, cycle " + n);
        ReturnStatusDescriptor status = new ReturnStatusDescriptor();
        StringBucket text = new StringBucket(HbProcessFigures.tokens(HbProcessFigures.item("R" + n, "Create", "x")));
        check(agent.n_DoVerbFor(text, false, status) == 1, "text verb, cycle " + n);
        StringBucket bytes = new StringBucket(HbProcessFigures.prefixed(HbProcessFigures.item("R" + n, "Update", "y")));
        check(agent.n_DoVerbForI18n(bytes, false, status) == 1, "byte verb, cycle " + n);
        check(agent.n_poll() == 0, "poll, cycle " + n);
        String monitors = agent.n_getPerfMonitors();
        // init and poll were measured in this start-up; earlier start-ups' records are gone.
        check(monitors.matches("#~(Restart~(init|poll)~[0-9]+~#){2}"),
              "monitors of cycle " + n + ": " + monitors);
        check(agent.n_terminate() == 0, "n_terminate, cycle " + n);
    }

    public static void main(String[] args) throws Exception {
        String library = args[0];
        int cycles = Integer.parseInt(args[1]);
        boolean bounded = !args[2].equals("none");
        long boundKb = bounded ? Long.parseLong(args[2]) : Long.MAX_VALUE;
        BusObjNativeInterface agent = new BusObjNativeInterface();
        agent.settings()
            .setConfigProp("ConnectorName", "Restart")
            .setConfigProp("AgentTraceLevel", "0")
            .setConfigProp("PerfLevel", "1")
            .setConfigProp("LoadPollMode", "event")
            .setEncoding("ascii7")
            .setEventResponder((text, bytes, encoding) -> 0);
        agent.log().setRecording(false);
        System.load(library);
        List<byte[]> specs = HbProcessFigures.loadConnectorSpecs();

        long start = System.nanoTime();
        long rssStart = HbProcessFigures.residentKb();
        for (int n = 0; n < WARM_UP; ++n) {
            cycle(agent, library, specs, n);
        }
        long rssWarm = HbProcessFigures.residentKb();
        int threadsWarm = HbProcessFigures.threads();
        int fdsWarm = HbProcessFigures.descriptors();
        for (int n = 0; n < cycles; ++n) {
            cycle(agent, library, specs, WARM_UP + n);
        }
        long rssEnd = HbProcessFigures.residentKb();
        long growth = rssEnd - rssWarm;
        int threadsEnd = HbProcessFigures.threadsSettledTo(threadsWarm);
        int fdsEnd = HbProcessFigures.descriptors();
        System.out.println("restart: " + cycles + " cycles after " + WARM_UP + " warm-up cycles in "
                           + (System.nanoTime() - start) / 1_000_000 + " ms; VmRSS start " + rssStart
                           + " kB, after warm-up " + rssWarm + " kB, end " + rssEnd + " kB, growth " + growth
                           + " kB (bound " + (bounded ? boundKb + " kB" : "none") + "); threads " + threadsWarm + " -> " + threadsEnd
                           + "; descriptors " + fdsWarm + " -> " + fdsEnd);
        check(growth <= boundKb, "resident memory grew by " + growth + " kB over " + cycles + " cycles");
        check(threadsEnd <= threadsWarm, "threads " + threadsWarm + " -> " + threadsEnd);
        check(fdsEnd <= fdsWarm, "descriptors " + fdsWarm + " -> " + fdsEnd);
        System.out.println(failures == 0 ? "RESTART TEST PASSED" : "RESTART TEST FAILED: " + failures + " checks");
        System.out.println("MAIN-END " + System.currentTimeMillis());
        if (failures != 0) {
            System.exit(1);
        }
    }
}
