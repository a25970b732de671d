package hbagent;

import java.util.ArrayList;
import java.util.List;

/**
 * The two token encodings of the wire, on byte strings.
 *
 * <p>Length-prefixed: each token is its byte length in lowercase hexadecimal,
 * "#", then the bytes; an empty token is written as the token null. Delimited:
 * each token followed by one delimiter character; an empty token is written
 * null; reading splits at delimiters, runs of delimiters count as one and
 * leading ones are skipped. Nested records are appended inline in both.
 */
final class WireTokens {
    /** Delimiter of business object and specification records. */
    static final char BUSOBJ_DELIMITER = '\u0003';

    private WireTokens() {}

    static String lengthPrefixed(List<String> tokens) {
        StringBuilder out = new StringBuilder();
        for (String token : tokens) {
            String t = token.isEmpty() ? "null" : token;
            out.append(Integer.toHexString(t.length())).append('#').append(t);
        }
        return out.toString();
    }

    /**
     * The tokens of a length-prefixed text. Fails on a length that is not
     * hexadecimal or that runs past the end of the text.
     */
    static List<String> readLengthPrefixed(String text) {
        List<String> tokens = new ArrayList<>();
        int i = 0;
        while (i < text.length()) {
            int hash = text.indexOf('#', i);
            if (hash < 0) {
                throw new HbAgentException("length-prefixed text: no '#' after offset " + i);
            }
            String digits = text.substring(i, hash);
            int length;
            try {
                length = digits.isEmpty() ? -1 : Integer.parseInt(digits, 16);
            } catch (NumberFormatException e) {
                length = -1;
            }
            if (length < 0 || !digits.equals(Integer.toHexString(length))) {
                throw new HbAgentException("length-prefixed text: bad length \"" + digits + "\" at offset " + i);
            }
            if (hash + 1 + length > text.length()) {
                throw new HbAgentException("length-prefixed text: a token of " + length + " bytes at offset " + i
                        + " runs past the end");
            }
            tokens.add(text.substring(hash + 1, hash + 1 + length));
            i = hash + 1 + length;
        }
        return tokens;
    }

    /** The delimited text; fails when a token contains the delimiter, which no reader could split right. */
    static String delimited(List<String> tokens, char delimiter) {
        StringBuilder out = new StringBuilder();
        for (String token : tokens) {
            if (token.indexOf(delimiter) >= 0) {
                throw new HbAgentException("the value \"" + token.replace(delimiter, '|')
                        + "\" holds the delimiter character " + (int) delimiter
                        + ", which the text form cannot carry (send it in the byte-array form)");
            }
            out.append(token.isEmpty() ? "null" : token).append(delimiter);
        }
        return out.toString();
    }

    static List<String> readDelimited(String text, char delimiter) {
        List<String> tokens = new ArrayList<>();
        int i = 0;
        while (i < text.length()) {
            if (text.charAt(i) == delimiter) {
                ++i;
                continue;
            }
            int end = text.indexOf(delimiter, i);
            if (end < 0) {
                end = text.length();
            }
            tokens.add(text.substring(i, end));
            i = end;
        }
        return tokens;
    }

    /** Reads tokens one by one; running out is an error naming what was expected. */
    static final class Cursor {
        private final List<String> tokens;
        private int position;

        Cursor(List<String> tokens) { this.tokens = tokens; }

        boolean hasNext() { return position < tokens.size(); }

        String peek() { return hasNext() ? tokens.get(position) : null; }

        String next(String what) {
            if (!hasNext()) {
                throw new HbAgentException("the record ends where " + what + " was expected");
            }
            return tokens.get(position++);
        }

        int position() { return position; }

        int remaining() { return tokens.size() - position; }
    }
}
