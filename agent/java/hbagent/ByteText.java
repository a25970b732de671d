package hbagent;

import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.Charset;
import java.nio.charset.CharsetDecoder;
import java.nio.charset.CharsetEncoder;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;

/**
 * Byte strings: texts whose characters are bytes (0 to 255), one character
 * per byte. Every token, name and value the agent handles is kept in this
 * form, so a record goes from the wire to the readable form and back without
 * a single byte changing, whatever the bytes are. Conversion to and from real
 * characters happens only at the edges: reading a readable file, printing,
 * and building the Java strings of the text-form native methods.
 */
final class ByteText {
    private ByteText() {}

    /** The byte string of these bytes. */
    static String of(byte[] bytes) { return new String(bytes, StandardCharsets.ISO_8859_1); }

    /** The bytes of a byte string. */
    static byte[] bytes(String byteString) {
        for (int i = 0; i < byteString.length(); ++i) {
            if (byteString.charAt(i) > 0xff) {
                throw new IllegalArgumentException("not a byte string: character " + (int) byteString.charAt(i));
            }
        }
        return byteString.getBytes(StandardCharsets.ISO_8859_1);
    }

    /**
     * The byte string of a text written in characters, encoded with charset.
     * Fails on a character the charset cannot encode.
     */
    static String encode(String characters, Charset charset) {
        CharsetEncoder encoder = charset.newEncoder()
                .onMalformedInput(CodingErrorAction.REPORT)
                .onUnmappableCharacter(CodingErrorAction.REPORT);
        try {
            ByteBuffer buffer = encoder.encode(CharBuffer.wrap(characters));
            byte[] bytes = new byte[buffer.remaining()];
            buffer.get(bytes);
            return of(bytes);
        } catch (CharacterCodingException e) {
            throw new HbAgentException("the text \"" + characters + "\" cannot be written in " + charset.name()
                    + " (use \\xHH escapes for raw bytes)");
        }
    }

    /** The characters of a byte string decoded strictly with charset, or null when they are not valid. */
    static String decodeStrict(String byteString, Charset charset) {
        CharsetDecoder decoder = charset.newDecoder()
                .onMalformedInput(CodingErrorAction.REPORT)
                .onUnmappableCharacter(CodingErrorAction.REPORT);
        try {
            return decoder.decode(ByteBuffer.wrap(bytes(byteString))).toString();
        } catch (CharacterCodingException e) {
            return null;
        }
    }

    /**
     * The byte string as a quoted readable literal: characters of charset that
     * print are written as they are, every other byte as \xHH (with \n, \r,
     * \t, \\ and \" for the usual ones). Reading the literal back with the
     * same charset gives the same bytes.
     */
    static String quote(String byteString, Charset charset) {
        byte[] bytes = bytes(byteString);
        StringBuilder out = new StringBuilder(bytes.length + 2).append('"');
        int i = 0;
        while (i < bytes.length) {
            int b = bytes[i] & 0xff;
            switch (b) {
                case '\n' -> { out.append("\\n"); ++i; continue; }
                case '\r' -> { out.append("\\r"); ++i; continue; }
                case '\t' -> { out.append("\\t"); ++i; continue; }
                case '\\' -> { out.append("\\\\"); ++i; continue; }
                case '"' -> { out.append("\\\""); ++i; continue; }
                default -> { }
            }
            int used = printableAt(bytes, i, charset, out);
            if (used > 0) {
                i += used;
            } else {
                out.append(String.format("\\x%02x", b));
                ++i;
            }
        }
        return out.append('"').toString();
    }

    /** The characters of a byte string for messages: printable ones as they are, others escaped, no quotes. */
    static String show(String byteString, Charset charset) {
        String quoted = quote(byteString, charset);
        return quoted.substring(1, quoted.length() - 1);
    }

    /**
     * Appends the one printable character that starts at bytes[at] and
     * returns the number of bytes it takes; 0 when no printable character
     * starts there (the byte is then escaped).
     */
    private static int printableAt(byte[] bytes, int at, Charset charset, StringBuilder out) {
        int max = Math.min(4, bytes.length - at);
        for (int length = 1; length <= max; ++length) {
            CharsetDecoder decoder = charset.newDecoder()
                    .onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT);
            String decoded;
            try {
                decoded = decoder.decode(ByteBuffer.wrap(bytes, at, length)).toString();
            } catch (CharacterCodingException e) {
                continue;
            }
            if (decoded.isEmpty() || decoded.codePointCount(0, decoded.length()) != 1) {
                continue;
            }
            int codePoint = decoded.codePointAt(0);
            if (!isPrintable(codePoint)) {
                return 0;
            }
            // Only a character that encodes back to exactly these bytes is safe to print.
            byte[] again = decoded.getBytes(charset);
            if (again.length != length) {
                return 0;
            }
            for (int k = 0; k < length; ++k) {
                if (again[k] != bytes[at + k]) {
                    return 0;
                }
            }
            out.append(decoded);
            return length;
        }
        return 0;
    }

    private static boolean isPrintable(int codePoint) {
        if (codePoint < 0x20 || codePoint == 0x7f || Character.isISOControl(codePoint)) {
            return false;
        }
        int type = Character.getType(codePoint);
        return Character.isDefined(codePoint) && type != Character.FORMAT && type != Character.SURROGATE
                && type != Character.PRIVATE_USE && type != Character.LINE_SEPARATOR
                && type != Character.PARAGRAPH_SEPARATOR && type != Character.UNASSIGNED;
    }
}
