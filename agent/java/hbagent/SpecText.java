package hbagent;

import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.List;

/**
 * The readable form of specifications:
 *
 * <pre>
 * spec Customer 1.0.0 {
 *   info "table=customer"
 *   attr CustomerId String key required maxLength=20
 *   attr Addresses Address cardinality=n
 *   verb Create
 * }
 * </pre>
 *
 * An attribute line gives the name and the type (a simple type name or the
 * child's business object type), then options: the flags key, foreignKey and
 * required, and info=, maxLength= (default 255), default=, version= (default
 * the spec's), cardinality= (default 1), relationship= (default Containment
 * for child objects, null for simple values), attrFlag= (default true) and
 * extra= (the optional thirteenth token). A verb line gives the name and an
 * optional info=. Values are words or quoted strings.
 */
final class SpecText {
    private static final java.util.Set<String> VALUE_OPTIONS = java.util.Set.of("info", "maxLength", "default",
            "version", "cardinality", "relationship", "attrFlag", "extra");

    private SpecText() {}

    /** Where an attribute names a child object type: checked once every spec is known. */
    record ChildUse(String type, String attr, String source, int line) {}

    /** Every spec in the text. */
    static List<Spec> parse(Lexer lexer, Charset charset) { return parse(lexer, charset, new ArrayList<>()); }

    /** Every spec in the text; the child types its attributes name are added to uses. */
    static List<Spec> parse(Lexer lexer, Charset charset, List<ChildUse> uses) {
        List<Spec> specs = new ArrayList<>();
        lexer.skipNewlines();
        while (!lexer.peek().is(Lexer.Kind.EOF)) {
            specs.add(parseOne(lexer, charset, uses));
            lexer.skipNewlines();
        }
        return specs;
    }

    /**
     * Fails at the file and line of the first attribute whose child type no
     * spec in known (type names, as byte strings) defines.
     */
    static void checkChildTypes(List<ChildUse> uses, java.util.Set<String> known, Charset charset) {
        for (ChildUse use : uses) {
            if (!known.contains(use.type())) {
                throw new HbAgentException(use.source() + ":" + use.line() + ": attribute "
                        + ByteText.show(use.attr(), charset) + " has the type " + ByteText.show(use.type(), charset)
                        + ", which is neither a simple type (" + String.join(" ", new java.util.TreeSet<>(
                                Spec.SIMPLE_TYPES)) + ") nor a business object type of the specifications");
            }
        }
    }

    static Spec parseOne(Lexer lexer, Charset charset) { return parseOne(lexer, charset, new ArrayList<>()); }

    static Spec parseOne(Lexer lexer, Charset charset, List<ChildUse> uses) {
        Lexer.Token start = lexer.next();
        if (!start.isWord("spec")) {
            throw lexer.error(start, "expected 'spec <Name> <version> {', found " + start.describe());
        }
        String name = Readable.text(lexer, lexer.next(), charset, "the spec's type name");
        String version = Readable.text(lexer, lexer.next(), charset, "the spec's version");
        lexer.expect(Lexer.Kind.LBRACE, "'{'");
        lexer.expectLineEnd();
        String info = "";
        List<Spec.Attr> attrs = new ArrayList<>();
        List<Spec.Verb> verbs = new ArrayList<>();
        while (true) {
            lexer.skipNewlines();
            Lexer.Token t = lexer.next();
            if (t.is(Lexer.Kind.RBRACE)) {
                break;
            }
            if (t.isWord("info")) {
                info = Readable.text(lexer, lexer.next(), charset, "the information text");
            } else if (t.isWord("attr")) {
                Spec.Attr attr = attr(lexer, charset, version);
                if (attr.isObject()) {
                    uses.add(new ChildUse(attr.typeName(), attr.name(), lexer.source(), t.line()));
                }
                for (Spec.Attr other : attrs) {
                    if (other.name().equals(attr.name())) {
                        throw lexer.error(t, "attribute " + ByteText.show(attr.name(), charset) + " is defined twice");
                    }
                }
                attrs.add(attr);
            } else if (t.isWord("verb")) {
                String verbName = Readable.text(lexer, lexer.next(), charset, "the verb name");
                String verbInfo = "";
                if (lexer.peek().isWord("info")) {
                    lexer.next();
                    lexer.expect(Lexer.Kind.EQUALS, "'='");
                    verbInfo = Readable.text(lexer, lexer.next(), charset, "the verb information");
                }
                verbs.add(new Spec.Verb(verbName, verbInfo));
            } else {
                throw lexer.error(t, "expected 'attr', 'verb', 'info' or '}', found " + t.describe());
            }
            lexer.expectLineEnd();
        }
        return new Spec(name, version, info, List.copyOf(attrs), List.copyOf(verbs));
    }

    private static Spec.Attr attr(Lexer lexer, Charset charset, String specVersion) {
        String name = Readable.text(lexer, lexer.next(), charset, "the attribute name");
        String typeName = Readable.text(lexer, lexer.next(), charset, "the attribute type");
        boolean key = false;
        boolean foreignKey = false;
        boolean required = false;
        boolean attrFlag = true;
        String info = "";
        String maxLength = "255";
        String defaultValue = "";
        String version = specVersion;
        String cardinality = "1";
        String relationship = Spec.SIMPLE_TYPES.contains(typeName) ? "null" : "Containment";
        String extra = null;
        while (lexer.peek().is(Lexer.Kind.WORD)) {
            Lexer.Token option = lexer.next();
            switch (option.text()) {
                case "key" -> key = true;
                case "foreignKey" -> foreignKey = true;
                case "required" -> required = true;
                default -> {
                    if (!VALUE_OPTIONS.contains(option.text())) {
                        throw lexer.error(option, "unknown attribute option " + option.text()
                                + " (known: key foreignKey required info= maxLength= default= version= cardinality="
                                + " relationship= attrFlag= extra=)");
                    }
                    lexer.expect(Lexer.Kind.EQUALS, "'=' after " + option.text());
                    String value = Readable.text(lexer, lexer.next(), charset, "the value of " + option.text());
                    switch (option.text()) {
                        case "info" -> info = value;
                        case "maxLength" -> maxLength = length(lexer, option, value);
                        case "default" -> defaultValue = value;
                        case "version" -> version = value;
                        case "cardinality" -> cardinality = value;
                        case "relationship" -> relationship = value.isEmpty() ? "null" : value;
                        case "attrFlag" -> attrFlag = bool(lexer, option, value);
                        default -> {
                            bool(lexer, option, value);
                            extra = value;
                        }
                    }
                }
            }
        }
        return new Spec.Attr(name, typeName, key, foreignKey, required, info, maxLength, defaultValue, version,
                cardinality, relationship, attrFlag, extra);
    }

    /** A maximum length: a decimal number that fits a signed 32-bit integer. */
    private static String length(Lexer lexer, Lexer.Token option, String value) {
        boolean digits = !value.isEmpty() && value.length() <= 10;
        for (int i = 0; digits && i < value.length(); ++i) {
            digits = value.charAt(i) >= '0' && value.charAt(i) <= '9';
        }
        if (!digits || Long.parseLong(value) > Integer.MAX_VALUE) {
            throw lexer.error(option, option.text() + " must be a number, not \"" + value + "\"");
        }
        return value;
    }

    private static boolean bool(Lexer lexer, Lexer.Token option, String value) {
        if (!value.equals("true") && !value.equals("false")) {
            throw lexer.error(option, option.text() + " must be true or false");
        }
        return value.equals("true");
    }

    /** The readable form of a spec; parsing it gives the same spec. */
    static String print(Spec spec, Charset charset) {
        StringBuilder out = new StringBuilder();
        out.append("spec ").append(Readable.word(spec.name(), charset)).append(' ')
                .append(Readable.word(spec.version(), charset)).append(" {\n");
        if (!spec.info().isEmpty()) {
            out.append("  info ").append(ByteText.quote(spec.info(), charset)).append('\n');
        }
        for (Spec.Attr a : spec.attrs()) {
            out.append("  attr ").append(Readable.word(a.name(), charset)).append(' ')
                    .append(Readable.word(a.typeName(), charset));
            if (a.key()) {
                out.append(" key");
            }
            if (a.foreignKey()) {
                out.append(" foreignKey");
            }
            if (a.required()) {
                out.append(" required");
            }
            option(out, "info", a.info(), "", charset);
            option(out, "maxLength", a.maxLength(), "255", charset);
            option(out, "default", a.defaultValue(), "", charset);
            option(out, "version", a.version(), spec.version(), charset);
            option(out, "cardinality", a.cardinality(), "1", charset);
            option(out, "relationship", a.relationship(),
                    Spec.SIMPLE_TYPES.contains(a.typeName()) ? "null" : "Containment", charset);
            if (!a.attrFlag()) {
                out.append(" attrFlag=false");
            }
            if (a.extra() != null) {
                out.append(" extra=").append(a.extra());
            }
            out.append('\n');
        }
        for (Spec.Verb v : spec.verbs()) {
            out.append("  verb ").append(Readable.word(v.name(), charset));
            option(out, "info", v.info(), "", charset);
            out.append('\n');
        }
        return out.append("}\n").toString();
    }

    private static void option(StringBuilder out, String name, String value, String fallback, Charset charset) {
        if (!value.equals(fallback)) {
            out.append(' ').append(name).append('=').append(value.isEmpty() ? "\"\"" : Readable.word(value, charset));
        }
    }
}
