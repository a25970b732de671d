import java.lang.management.ManagementFactory;
import java.lang.reflect.RecordComponent;
import java.util.List;

/** Helpers that let the native JVM tests read the agent's records simply. */
public final class HbTestSupport {
    /**
     * The records as one text: records separated by '\u001e', the components
     * of each by '\u001f'; null is "<null>", a byte array its bytes in hexadecimal.
     */
    public String flatten(List<? extends Record> records) throws ReflectiveOperationException {
        StringBuilder out = new StringBuilder();
        for (Record r : records) {
            if (out.length() > 0) {
                out.append('\u001e');
            }
            RecordComponent[] components = r.getClass().getRecordComponents();
            for (int c = 0; c < components.length; ++c) {
                Object value = components[c].getAccessor().invoke(r);
                out.append(c > 0 ? "\u001f" : "");
                if (value instanceof byte[] bytes) {
                    for (byte b : bytes) {
                        out.append(String.format("%02x", b & 0xff));
                    }
                } else {
                    out.append(value == null ? "<null>" : value);
                }
            }
        }
        return out.toString();
    }

    /** Live Java threads, counting native threads attached to the VM. */
    public int threadCount() { return ManagementFactory.getThreadMXBean().getThreadCount(); }
}
