package AppSide_Connector;

import java.nio.charset.StandardCharsets;

/**
 * The agent's side of the native connector library: the native methods the
 * agent calls to start, drive and stop the connector, and the methods the
 * library calls back for configuration, logging, tracing, message
 * composition, events and synchronous requests.
 *
 * <p>This stand-in agent answers from an {@link AgentSettings} and records
 * every call it receives in an {@link UpcallLog}. The library's static
 * lookups (configuration, delta support) answer from the settings of the most
 * recently created interface, since a process runs one connector at a time.
 *
 * <p>Loading: the class loads the native library from the file named by the
 * system property {@value #LIBRARY_PROPERTY} when it is set, else the library
 * "HbConnector" from java.library.path.
 */
public class BusObjNativeInterface {
    public static final String LIBRARY_PROPERTY = "hbconnector.library";

    static {
        String file = System.getProperty(LIBRARY_PROPERTY);
        if (file != null && !file.isEmpty()) {
            System.load(file);
        } else {
            System.loadLibrary("HbConnector");
        }
    }

    private static volatile BusObjNativeInterface latest;

    private final AgentSettings settings;
    private final UpcallLog log;

    public BusObjNativeInterface() { this(new AgentSettings(), new UpcallLog()); }

    public BusObjNativeInterface(AgentSettings settings, UpcallLog log) {
        this.settings = settings;
        this.log = log;
        latest = this;
    }

    public AgentSettings settings() { return settings; }

    public UpcallLog log() { return log; }

    // ---- Native methods -------------------------------------------------

    public native int n_init(String version, String dllFileName);

    public native int n_terminate();

    public native int n_poll();

    public native String n_getVersion();

    public native String n_CDKVersion();

    public native String n_CJNIVersion();

    public native void n_suspend();

    public native void n_resume();

    public native void n_setTraceLevel(int level);

    public native String n_getPerfMonitors();

    public native int n_DoVerbFor(StringBucket bucket, boolean transactional,
                                  VqCommon.ReturnStatusDescriptor status);

    public native int n_DoVerbForI18n(StringBucket bucket, boolean transactional,
                                      VqCommon.ReturnStatusDescriptor status);

    public native int n_SubscribeTo(String name, String verb, int perf);

    /** The third argument is accepted for the agent's own bookkeeping and ignored. */
    public native int n_UpdateSubscription(String name, String verb, String ignored, int perf);

    public native int n_CancelSub(String name, String version, String verb);

    public native boolean n_isSubscribed(String name, String verb);

    public native void n_gotBusObjSpec(String spec);

    public native void n_gotBusObjSpecI18n(byte[] spec);

    // ---- Methods the library calls --------------------------------------

    private static BusObjNativeInterface agent() {
        BusObjNativeInterface current = latest;
        if (current == null) {
            throw new IllegalStateException("no BusObjNativeInterface has been created");
        }
        return current;
    }

    public static String getConfigProp(String name) {
        BusObjNativeInterface a = agent();
        a.log.lookup(new UpcallLog.Lookup("getConfigProp", name));
        a.settings.failIfAsked("getConfigProp");
        return a.settings.getConfigProp(name);
    }

    /** The property's value as UTF-8 bytes, or null when it is not set. */
    public static byte[] getConfigPropI18n(String name) {
        BusObjNativeInterface a = agent();
        a.log.lookup(new UpcallLog.Lookup("getConfigPropI18n", name));
        a.settings.failIfAsked("getConfigPropI18n");
        String value = a.settings.getConfigProp(name);
        return value == null ? null : value.getBytes(StandardCharsets.UTF_8);
    }

    public static String getDeltaSupport(String typeName) {
        BusObjNativeInterface a = agent();
        a.log.lookup(new UpcallLog.Lookup("getDeltaSupport", typeName));
        a.settings.failIfAsked("getDeltaSupport");
        return a.settings.getDeltaSupport(typeName);
    }

    public void logMsg(String text) {
        log.log(new UpcallLog.LogEntry(text, null));
        settings.failIfAsked("logMsg");
    }

    public void logMsg(String text, int type) {
        log.log(new UpcallLog.LogEntry(text, type));
        settings.failIfAsked("logMsg");
    }

    public void TraceWrite(String connectorName, int level, String delimiter, String text,
                           String extra) {
        log.trace(new UpcallLog.TraceEntry(connectorName, level, delimiter, text, extra));
        settings.failIfAsked("TraceWrite");
    }

    /**
     * Composes "[id] (type t)" followed by the extra text and the parameters
     * when present, records the call and returns the text.
     */
    public String generateMsg(int id, int type, String extra, int flag, int count, String params) {
        StringBuilder text = new StringBuilder();
        text.append('[').append(id).append("] (type ").append(type).append(')');
        if (extra != null && !extra.isEmpty()) {
            text.append(' ').append(extra);
        }
        if (params != null && !params.isEmpty()) {
            text.append(' ').append(params);
        }
        String composed = text.toString();
        log.message(new UpcallLog.GeneratedMessage(id, type, extra, flag, count, params, composed));
        settings.failIfAsked("generateMsg");
        return composed;
    }

    public int GotEventFromApp(String businessObject) {
        log.event(new UpcallLog.EventEntry(businessObject, null, null));
        settings.failIfAsked("GotEventFromApp");
        return settings.getEventResponder().answer(businessObject, null, null);
    }

    public int GotEventFromApp(byte[] businessObject, String encoding) {
        byte[] copy = businessObject == null ? null : businessObject.clone();
        log.event(new UpcallLog.EventEntry(null, copy, encoding));
        settings.failIfAsked("GotEventFromApp");
        return settings.getEventResponder().answer(null, copy, encoding);
    }

    public void consumeSync(String name, StringBucket businessObject, StringBucket status) {
        log.sync(new UpcallLog.SyncCall(name, businessObject.content, status.content));
        settings.failIfAsked("consumeSync");
        settings.getSyncResponder().respond(name, businessObject, status);
    }

    public String getCollabNames() {
        log.other("getCollabNames");
        settings.failIfAsked("getCollabNames");
        return settings.getCollabNames();
    }

    public String getEncoding() {
        log.other("getEncoding");
        settings.failIfAsked("getEncoding");
        return settings.getEncoding();
    }

    public String getLocale() {
        log.other("getLocale");
        settings.failIfAsked("getLocale");
        return settings.getLocale();
    }

    public boolean isAgentCapableOfPolling() {
        log.other("isAgentCapableOfPolling");
        settings.failIfAsked("isAgentCapableOfPolling");
        return settings.isCapableOfPolling();
    }
}
