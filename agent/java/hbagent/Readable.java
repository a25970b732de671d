package hbagent;

import java.nio.charset.Charset;
import java.util.Set;

/** Helpers shared by the readable formats: texts written as bare words or quoted strings. */
final class Readable {
    /** Words that mean something by themselves where a value is expected. */
    static final Set<String> KEYWORDS = Set.of("unset", "blank", "none", "true", "false");

    private Readable() {}

    /**
     * The byte string of a word or quoted string token; anything else is an
     * error naming what was expected.
     */
    static String text(Lexer lexer, Lexer.Token t, Charset charset, String what) {
        if (t.is(Lexer.Kind.STRING)) {
            return t.bytes();
        }
        if (t.is(Lexer.Kind.WORD)) {
            try {
                return ByteText.encode(t.text(), charset);
            } catch (HbAgentException e) {
                throw lexer.error(t, e.getMessage());
            }
        }
        throw lexer.error(t, "expected " + what + ", found " + t.describe());
    }

    /** A name or token written bare when it reads back as the same word, quoted otherwise. */
    static String word(String byteString, Charset charset) {
        if (isBareWord(byteString) && !KEYWORDS.contains(byteString)) {
            return byteString;
        }
        return ByteText.quote(byteString, charset);
    }

    private static boolean isBareWord(String s) {
        if (s.isEmpty() || s.charAt(0) == '#' || s.charAt(0) == '[' || s.charAt(0) == ']' || s.charAt(0) == '@') {
            return false;
        }
        for (int i = 0; i < s.length(); ++i) {
            char c = s.charAt(i);
            boolean ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                    || "_.-:/+*@,".indexOf(c) >= 0;
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    static void indent(StringBuilder out, int depth) {
        for (int i = 0; i < depth; ++i) {
            out.append("  ");
        }
    }
}
