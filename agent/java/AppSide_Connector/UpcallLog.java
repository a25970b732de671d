package AppSide_Connector;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Everything the native library asked of the stand-in agent, in arrival
 * order per kind. Thread-safe: native threads record while tests read.
 * Recording can be switched off for long loops; the counters always count.
 */
public final class UpcallLog {
    /** A logged text; {@code type} is null for the untyped form. */
    public record LogEntry(String text, Integer type) {}

    public record TraceEntry(String connectorName, int level, String delimiter, String text,
                             String extra) {}

    /** A generateMsg call with its six arguments and the text the agent composed. */
    public record GeneratedMessage(int id, int type, String extra, int flag, int count,
                                   String params, String text) {}

    /** A text event (bytes null) or a byte-array event with its encoding name. */
    public record EventEntry(String text, byte[] bytes, String encoding) {
        @Override
        public boolean equals(Object other) {
            return other instanceof EventEntry e && java.util.Objects.equals(text, e.text)
                    && Arrays.equals(bytes, e.bytes) && java.util.Objects.equals(encoding, e.encoding);
        }

        @Override
        public int hashCode() {
            return java.util.Objects.hash(text, Arrays.hashCode(bytes), encoding);
        }
    }

    /** A consumeSync call with the bucket contents as the library sent them. */
    public record SyncCall(String name, String businessObject, String status) {}

    /** A static lookup: "getConfigProp", "getConfigPropI18n" or "getDeltaSupport". */
    public record Lookup(String method, String name) {}

    private final List<LogEntry> logs = new ArrayList<>();
    private final List<TraceEntry> traces = new ArrayList<>();
    private final List<GeneratedMessage> messages = new ArrayList<>();
    private final List<EventEntry> events = new ArrayList<>();
    private final List<SyncCall> syncCalls = new ArrayList<>();
    private final List<Lookup> lookups = new ArrayList<>();
    private final List<String> otherCalls = new ArrayList<>();
    private boolean recording = true;
    private Listener listener;

    /** Told of every record as it is made, on the thread that made the upcall. */
    @FunctionalInterface
    public interface Listener {
        void recorded(Object entry);
    }

    /** Sets the one listener (null: none); it is called while the log is locked. */
    public synchronized void setListener(Listener listener) { this.listener = listener; }
    private long upcalls;

    public synchronized void setRecording(boolean recording) { this.recording = recording; }

    /** Number of upcalls of every kind since the last clear, recorded or not. */
    public synchronized long upcallCount() { return upcalls; }

    public synchronized void clear() {
        logs.clear();
        traces.clear();
        messages.clear();
        events.clear();
        syncCalls.clear();
        lookups.clear();
        otherCalls.clear();
        upcalls = 0;
    }

    public synchronized List<LogEntry> logs() { return List.copyOf(logs); }

    public synchronized List<TraceEntry> traces() { return List.copyOf(traces); }

    public synchronized List<GeneratedMessage> messages() { return List.copyOf(messages); }

    public synchronized List<EventEntry> events() { return List.copyOf(events); }

    public synchronized List<SyncCall> syncCalls() { return List.copyOf(syncCalls); }

    public synchronized List<Lookup> lookups() { return List.copyOf(lookups); }

    /** Names of the argument-less upcalls in order: getCollabNames, getEncoding, ... */
    public synchronized List<String> otherCalls() { return List.copyOf(otherCalls); }

    synchronized void log(LogEntry entry) { add(logs, entry); }

    synchronized void trace(TraceEntry entry) { add(traces, entry); }

    synchronized void message(GeneratedMessage entry) { add(messages, entry); }

    synchronized void event(EventEntry entry) { add(events, entry); }

    synchronized void sync(SyncCall entry) { add(syncCalls, entry); }

    synchronized void lookup(Lookup entry) { add(lookups, entry); }

    synchronized void other(String method) { add(otherCalls, method); }

    private <T> void add(List<T> list, T entry) {
        ++upcalls;
        if (recording) {
            list.add(entry);
        }
        if (listener != null) {
            listener.recorded(entry);
        }
    }
}
