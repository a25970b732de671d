import AppSide_Connector.BusObjNativeInterface;
import AppSide_Connector.StringBucket;
import VqCommon.ReturnStatusDescriptor;

import java.util.List;

/**
 * Restarts: the connector started and stopped many times in one JVM, re-announcing the same specs
 * and running a few verbs and a poll each time. Resident memory after a warm-up may grow by at
 * most a bound, and the monitor list keeps the last start-up's records only. Arguments: the
 * connector library, the number of cycles, the bound in kB ("none": print the growth only).
 */
public final class HbRestartTest {
    private static final int WARM_UP = Integer.getInteger("hb.warmUp", 300);

    private HbRestartTest() {}

    private static void check(boolean ok, String what) { HbProcessFigures.check(ok, what); }

    private static void cycle(BusObjNativeInterface agent, String library, List<byte[]> specs, int n) {
        check(agent.n_init("4.1.0", library) == 1, "n_init, cycle " + n);
        specs.forEach(agent::n_gotBusObjSpecI18n);
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
        HbProcessFigures.finish("RESTART");
    }
}
