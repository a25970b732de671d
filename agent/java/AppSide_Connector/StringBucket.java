package AppSide_Connector;

/**
 * A holder that carries a business object between the agent and the native
 * library, in and out: as text in {@code content}, or as bytes in
 * {@code contentinArray}. The native library reads and replaces the fields
 * directly.
 */
public class StringBucket {
    public String content;
    public byte[] contentinArray;

    public StringBucket() {}

    public StringBucket(String content) { this.content = content; }

    public StringBucket(byte[] contentinArray) { this.contentinArray = contentinArray; }
}
