package AppSide_Connector;

import java.util.HashMap;
import java.util.HashSet;
import java.util.Map;
import java.util.Set;

/**
 * What the stand-in agent answers when the native library asks: configuration
 * properties, character encoding and locale, delta support per business object
 * type, the answers to events, the replies to synchronous requests, the
 * collaboration names and the polling capability. It can also make chosen
 * agent methods throw, to exercise the library's handling of Java exceptions.
 * Thread-safe: tests change settings while native threads read them.
 */
public final class AgentSettings {
    /** Replies to a synchronous request by changing the two buckets in place. */
    @FunctionalInterface
    public interface SyncResponder {
        void respond(String name, StringBucket businessObject, StringBucket status);
    }

    /** Answers one text or byte-array event; the result goes back to the library. */
    @FunctionalInterface
    public interface EventResponder {
        int answer(String text, byte[] bytes, String encoding);
    }

    private final Map<String, String> properties = new HashMap<>();
    private final Map<String, String> deltaSupport = new HashMap<>();
    private final Set<String> failingMethods = new HashSet<>();
    private String defaultDeltaSupport = "false";
    private String encoding = "ascii7";
    private String locale = "en_US";
    private String collabNames = "";
    private boolean capableOfPolling = true;
    private EventResponder eventResponder = (text, bytes, enc) -> 0;
    private SyncResponder syncResponder = (name, bo, status) -> {};

    /** Sets a property; a null value makes the agent answer null for it. */
    public synchronized AgentSettings setConfigProp(String name, String value) {
        properties.put(name, value);
        return this;
    }

    public synchronized AgentSettings removeConfigProp(String name) {
        properties.remove(name);
        return this;
    }

    /** The property's value, or null when it is not set. */
    public synchronized String getConfigProp(String name) { return properties.get(name); }

    public synchronized AgentSettings setEncoding(String encoding) {
        this.encoding = encoding;
        return this;
    }

    public synchronized String getEncoding() { return encoding; }

    public synchronized AgentSettings setLocale(String locale) {
        this.locale = locale;
        return this;
    }

    public synchronized String getLocale() { return locale; }

    /** The answer for one business object type; null makes the agent answer null. */
    public synchronized AgentSettings setDeltaSupport(String typeName, String answer) {
        deltaSupport.put(typeName, answer);
        return this;
    }

    /** The answer for types without their own (initially "false"). */
    public synchronized AgentSettings setDefaultDeltaSupport(String answer) {
        defaultDeltaSupport = answer;
        return this;
    }

    public synchronized String getDeltaSupport(String typeName) {
        return deltaSupport.containsKey(typeName) ? deltaSupport.get(typeName) : defaultDeltaSupport;
    }

    /** Every event is answered with this value (initially 0). */
    public synchronized AgentSettings setEventAnswer(int answer) {
        this.eventResponder = (text, bytes, enc) -> answer;
        return this;
    }

    public synchronized AgentSettings setEventResponder(EventResponder responder) {
        this.eventResponder = responder;
        return this;
    }

    public synchronized EventResponder getEventResponder() { return eventResponder; }

    /** Every synchronous request is answered with these bucket contents. */
    public synchronized AgentSettings setConsumeSyncReply(String businessObject, String status) {
        this.syncResponder = (name, bo, st) -> {
            bo.content = businessObject;
            st.content = status;
        };
        return this;
    }

    public synchronized AgentSettings setSyncResponder(SyncResponder responder) {
        this.syncResponder = responder;
        return this;
    }

    public synchronized SyncResponder getSyncResponder() { return syncResponder; }

    public synchronized AgentSettings setCollabNames(String names) {
        this.collabNames = names;
        return this;
    }

    public synchronized String getCollabNames() { return collabNames; }

    public synchronized AgentSettings setCapableOfPolling(boolean capable) {
        this.capableOfPolling = capable;
        return this;
    }

    public synchronized boolean isCapableOfPolling() { return capableOfPolling; }

    /**
     * Makes the agent method of this name (for example "logMsg" or
     * "getConfigProp") throw an {@link IllegalStateException} until cleared.
     */
    public synchronized AgentSettings setFailing(String methodName, boolean failing) {
        if (failing) {
            failingMethods.add(methodName);
        } else {
            failingMethods.remove(methodName);
        }
        return this;
    }

    /** Throws when the method was made to fail. */
    synchronized void failIfAsked(String methodName) {
        if (failingMethods.contains(methodName)) {
            throw new IllegalStateException("agent method " + methodName + " failed on request");
        }
    }
}
