package hbagent;

import java.io.DataInputStream;
import java.io.IOException;
import java.util.zip.InflaterInputStream;
import javax.jms.BytesMessage;
import javax.jms.JMSException;
import javax.jms.Message;
import javax.jms.TextMessage;
import org.apache.activemq.command.ActiveMQTextMessage;
import org.apache.activemq.util.ByteSequence;

/**
 * The size check of a request, made on the body as it arrived from the
 * broker, before the body is decoded into a String or read in any way: an
 * oversized request costs the bytes already received and nothing more.
 */
final class RequestLimits {
    private RequestLimits() {}

    /**
     * Why the request is refused for its size, or null when it is within
     * maxBytes (counted in bytes of its encoded text or of its byte body).
     */
    static String oversized(Message request, int maxBytes) throws JMSException {
        long size = encodedSize(request);
        if (size < 0 && request instanceof TextMessage t) {
            // A message that never left this process (the in-VM connection) holds its text already.
            String text = t.getText();
            size = text == null ? 0 : utf8Length(text, maxBytes);
        }
        if (size < 0 && request instanceof BytesMessage b) {
            size = b.getBodyLength();
        }
        if (size > maxBytes) {
            return "the request is larger than agent.serve.maxMessageBytes (" + maxBytes + " bytes)";
        }
        return null;
    }

    /**
     * The length of the body's text or bytes as the broker carried it, -1
     * when the message carries no encoded body. A compressed body is
     * measured by the length it declares, read from its first inflated
     * bytes, never by inflating it.
     */
    static long encodedSize(Message request) {
        // A byte body's length is known without reading it (BytesMessage.getBodyLength).
        if (!(request instanceof ActiveMQTextMessage m)) {
            return -1;
        }
        ByteSequence content = m.getContent();
        if (content == null) {
            return -1;
        }
        if (!m.isCompressed()) {
            // A text body is its UTF-8 length (4 bytes) followed by the bytes.
            return Math.max(0, content.getLength() - 4);
        }
        try (DataInputStream in = new DataInputStream(new InflaterInputStream(
                new java.io.ByteArrayInputStream(content.getData(), content.getOffset(), content.getLength())))) {
            return in.readInt() & 0xffffffffL;
        } catch (IOException e) {
            // Not a body the client could decode either: as large as anything refused.
            return Long.MAX_VALUE;
        }
    }

    /** The UTF-8 length of text, counting no further than just past limit. */
    static long utf8Length(String text, int limit) {
        long n = 0;
        for (int i = 0; i < text.length() && n <= limit; ++i) {
            char c = text.charAt(i);
            if (c < 0x80) {
                n += 1;
            } else if (c < 0x800) {
                n += 2;
            } else if (Character.isHighSurrogate(c) && i + 1 < text.length()
                    && Character.isLowSurrogate(text.charAt(i + 1))) {
                n += 4;
                ++i;
            } else {
                n += 3;
            }
        }
        return n;
    }
}
