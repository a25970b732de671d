package hbagent;

import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.List;

/**
 * Splits a readable file (specifications, business objects, scenarios) into
 * tokens: words, quoted strings, the punctuation { } [ ] =, and line ends.
 * A "#" that starts a token begins a comment running to the end of the line.
 *
 * <p>A word is a run of characters other than white space, { } = and the
 * double quote; "[" and "]" stand alone where a token starts and belong to the
 * word inside one, so a path such as Addresses[0].City is one word while
 * "= [" opens a list.
 *
 * <p>Quoted strings know the escapes \\ \" \n \r \t and \xHH (one raw byte).
 * Their other characters are encoded with the value charset, so a string's
 * value is a byte string (see {@link ByteText}).
 */
final class Lexer {
    enum Kind { WORD, STRING, LBRACE, RBRACE, LBRACKET, RBRACKET, EQUALS, NEWLINE, EOF }

    /** One token: its kind, its text (characters) and, for strings, its bytes; with its line. */
    record Token(Kind kind, String text, String bytes, int line) {
        boolean is(Kind k) { return kind == k; }

        boolean isWord(String word) { return kind == Kind.WORD && text.equals(word); }

        String describe() {
            return switch (kind) {
                case WORD -> "'" + text + "'";
                case STRING -> "a quoted string";
                case NEWLINE -> "the end of the line";
                case EOF -> "the end of the file";
                default -> "'" + text + "'";
            };
        }
    }

    private final String source;
    private final List<Token> tokens = new ArrayList<>();
    private int position;

    /** Tokenizes text; source names the file in messages. */
    Lexer(String source, String text, Charset valueCharset) {
        this.source = source;
        tokenize(text, valueCharset);
    }

    String source() { return source; }

    Token peek() { return tokens.get(position); }

    Token peek(int ahead) { return tokens.get(Math.min(position + ahead, tokens.size() - 1)); }

    Token next() {
        Token t = tokens.get(position);
        if (t.kind != Kind.EOF) {
            ++position;
        }
        return t;
    }

    /** Skips line ends. */
    void skipNewlines() {
        while (peek().is(Kind.NEWLINE)) {
            next();
        }
    }

    Token expect(Kind kind, String what) {
        Token t = next();
        if (t.kind != kind) {
            throw error(t, "expected " + what + ", found " + t.describe());
        }
        return t;
    }

    Token expectWord(String what) { return expect(Kind.WORD, what); }

    /** The end of a line (or of the file) must come next. */
    void expectLineEnd() {
        Token t = peek();
        if (t.is(Kind.EOF)) {
            return;
        }
        if (!t.is(Kind.NEWLINE)) {
            throw error(t, "unexpected " + t.describe() + " at the end of the line");
        }
        next();
    }

    HbAgentException error(Token at, String message) {
        return new HbAgentException(source + ":" + at.line + ": " + message);
    }

    HbAgentException error(int line, String message) {
        return new HbAgentException(source + ":" + line + ": " + message);
    }

    private void tokenize(String text, Charset charset) {
        int line = 1;
        int i = 0;
        int n = text.length();
        while (i < n) {
            char c = text.charAt(i);
            if (c == '\n') {
                tokens.add(new Token(Kind.NEWLINE, "\n", null, line));
                ++line;
                ++i;
            } else if (Character.isWhitespace(c)) {
                ++i;
            } else if (c == '#') {
                while (i < n && text.charAt(i) != '\n') {
                    ++i;
                }
            } else if (c == '{' || c == '}' || c == '[' || c == ']' || c == '=') {
                Kind kind = switch (c) {
                    case '{' -> Kind.LBRACE;
                    case '}' -> Kind.RBRACE;
                    case '[' -> Kind.LBRACKET;
                    case ']' -> Kind.RBRACKET;
                    default -> Kind.EQUALS;
                };
                tokens.add(new Token(kind, String.valueOf(c), null, line));
                ++i;
            } else if (c == '"') {
                i = string(text, i, line, charset);
            } else {
                int start = i;
                while (i < n && !Character.isWhitespace(text.charAt(i)) && "{}=\"".indexOf(text.charAt(i)) < 0) {
                    ++i;
                }
                tokens.add(new Token(Kind.WORD, text.substring(start, i), null, line));
            }
        }
        tokens.add(new Token(Kind.EOF, "", null, line));
    }

    /** The bytes of characters in charset; a character it cannot encode is an error at line. */
    private String encode(String characters, Charset charset, int line) {
        try {
            return ByteText.encode(characters, charset);
        } catch (HbAgentException e) {
            throw error(line, e.getMessage());
        }
    }

    /** Reads the string starting at the quote at i; returns the index after the closing quote. */
    private int string(String text, int i, int line, Charset charset) {
        StringBuilder characters = new StringBuilder();
        StringBuilder bytes = new StringBuilder();
        StringBuilder run = new StringBuilder();
        ++i;
        while (true) {
            if (i >= text.length() || text.charAt(i) == '\n') {
                throw error(line, "unterminated string");
            }
            char c = text.charAt(i);
            if (c == '"') {
                bytes.append(encode(run.toString(), charset, line));
                tokens.add(new Token(Kind.STRING, characters.toString(), bytes.toString(), line));
                return i + 1;
            }
            if (c != '\\') {
                run.append(c);
                characters.append(c);
                ++i;
                continue;
            }
            if (i + 1 >= text.length()) {
                throw error(line, "unterminated string");
            }
            char e = text.charAt(i + 1);
            String literal = switch (e) {
                case 'n' -> "\n";
                case 'r' -> "\r";
                case 't' -> "\t";
                case '\\' -> "\\";
                case '"' -> "\"";
                default -> null;
            };
            if (literal != null) {
                run.append(literal);
                characters.append(literal);
                i += 2;
                continue;
            }
            if (e == 'x' && i + 3 < text.length() && isHex(text.charAt(i + 2)) && isHex(text.charAt(i + 3))) {
                int value = Integer.parseInt(text.substring(i + 2, i + 4), 16);
                bytes.append(encode(run.toString(), charset, line));
                run.setLength(0);
                bytes.append((char) value);
                characters.append((char) value);
                i += 4;
                continue;
            }
            throw error(line, "unknown escape \\" + e + " in a string (known: \\\\ \\\" \\n \\r \\t \\xHH)");
        }
    }

    private static boolean isHex(char c) { return Character.digit(c, 16) >= 0; }
}
