import java.lang.management.ManagementFactory;
import java.lang.reflect.RecordComponent;
import java.util.List;

/** Helpers that let the native JVM tests read the agent's records simply. */
public final class HbTestSupport {
    /** Separates the fields of one flattened record. */
    public static final char FIELD_SEPARATOR = '\u001f';

    private HbTestSupport() {}

    /**
     * Each record as its components joined by FIELD_SEPARATOR: null is
     * "<null>", a byte array its bytes in hexadecimal.
     */
    public static String[] flatten(List<? extends Record> records) throws ReflectiveOperationException {
        String[] rows = new String[records.size()];
        for (int i = 0; i < rows.length; ++i) {
            Record r = records.get(i);
            StringBuilder row = new StringBuilder();
            RecordComponent[] components = r.getClass().getRecordComponents();
            for (int c = 0; c < components.length; ++c) {
                if (c > 0) {
                    row.append(FIELD_SEPARATOR);
                }
                Object value = components[c].getAccessor().invoke(r);
                if (value == null) {
                    row.append("<null>");
                } else if (value instanceof byte[] bytes) {
                    for (byte b : bytes) {
                        row.append(String.format("%02x", b & 0xff));
                    }
                } else {
                    row.append(value);
                }
            }
            rows[i] = row.toString();
        }
        return rows;
    }

    /** Live Java threads, counting native threads attached to the VM. */
    public static int threadCount() { return ManagementFactory.getThreadMXBean().getThreadCount(); }

    /** The UTF-8 byte length of a string (what the native side holds). */
    public static int utf8Length(String s) { return s.getBytes(java.nio.charset.StandardCharsets.UTF_8).length; }
}
