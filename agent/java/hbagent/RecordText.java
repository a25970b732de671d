package hbagent;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Map;

/** The Java text that the text-form native methods carry, as the byte string the record readers take. */
final class RecordText {
    private RecordText() {}

    /**
     * The byte string of a text-form record: its UTF-8 bytes, or with 8-bit
     * characters ("CharacterEncoding" ascii8) each character as one byte.
     */
    static String fromJavaText(String text, boolean ascii8) {
        if (ascii8) {
            for (int i = 0; i < text.length(); ++i) {
                if (text.charAt(i) > 0xff) {
                    throw new HbAgentException("character U+" + Integer.toHexString(text.charAt(i))
                            + " is not an 8-bit character");
                }
            }
            return text;
        }
        return ByteText.of(text.getBytes(StandardCharsets.UTF_8));
    }

    /** The Java text the text-form methods carry for a delimited byte string (the reverse of fromJavaText). */
    static String toJavaText(String byteString, boolean ascii8) {
        if (ascii8) {
            return byteString;
        }
        String text = ByteText.decodeStrict(byteString, StandardCharsets.UTF_8);
        if (text == null) {
            throw new HbAgentException("the object holds bytes that are not UTF-8, which the text form cannot"
                    + " carry (set CharacterEncoding=ascii8, or run a byte agent)");
        }
        return text;
    }

    /**
     * The object of an event upcall: the text form's record, or the byte
     * form's (whose trailing zero byte, when the library sent one, is not
     * part of the record).
     */
    static BusObj readEvent(String text, byte[] bytes, boolean ascii8, Map<String, Spec> specs) {
        if (text != null) {
            return BusObj.fromDelimited(fromJavaText(text, ascii8), specs);
        }
        byte[] b = bytes;
        if (b.length > 0 && b[b.length - 1] == 0) {
            b = Arrays.copyOf(b, b.length - 1);
        }
        return BusObj.fromLengthPrefixed(ByteText.of(b), specs);
    }
}
