package hbagent;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Objects;

/**
 * A business object as it travels: type name, version, delta flag, verb,
 * locale and one value per attribute of its specification, in the spec's
 * order; for a transactional request also the prior image. Texts are byte
 * strings (see {@link ByteText}).
 *
 * <p>Converts to and from both wire encodings. The conversion is exact: a
 * record the library writes reads into a BusObj that writes back to the same
 * bytes, and a BusObj survives the trip to the wire and back unchanged.
 * Whatever cannot make that trip (an empty text, which the wire can only
 * carry as blank; a text spelled like a marker; a zero byte; a record that does
 * not fit its specification) is refused with a message saying why.
 */
final class BusObj {
    static final String TAG = "BusinessObject";
    static final String TRANSACTION_TAG = "TransactionBusinessObject";
    static final String IGNORE = "VqIgnore";
    static final String BLANK = "VqBlank";
    /** Records nested deeper than this are refused, as the library refuses them. */
    static final int MAX_DEPTH = 100;

    /** The value of one attribute. */
    sealed interface Value permits Unset, Blank, Text, NoChild, Child, Array {}

    /** Not set: leave alone (written VqIgnore). */
    record Unset() implements Value {}

    /** Explicitly blank (written VqBlank). */
    record Blank() implements Value {}

    /** A simple value: a non-empty byte string. */
    record Text(String bytes) implements Value {}

    /** A child-object attribute without a child (written 0). */
    record NoChild() implements Value {}

    record Child(BusObj object) implements Value {}

    /** The children of a cardinality-n attribute; delta is null where the record carries no flag. */
    record Array(Boolean delta, List<BusObj> elements) implements Value {}

    static final Value UNSET = new Unset();
    static final Value BLANK_VALUE = new Blank();
    static final Value NO_CHILD = new NoChild();

    String type;
    String version;
    /** True for a delta, false for an after-image, null for a record written without the flag. */
    Boolean delta = Boolean.FALSE;
    /** Null: no verb (written null). */
    String verb;
    String locale;
    final List<Value> values = new ArrayList<>();
    /** The prior image of a transactional request, or null. */
    List<Value> prior;

    BusObj(String type, String version, String locale) {
        this.type = type;
        this.version = version;
        this.locale = locale;
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof BusObj o && type.equals(o.type) && version.equals(o.version)
                && Objects.equals(delta, o.delta) && Objects.equals(verb, o.verb) && locale.equals(o.locale)
                && values.equals(o.values) && Objects.equals(prior, o.prior);
    }

    @Override
    public int hashCode() { return Objects.hash(type, version, delta, verb, locale, values, prior); }

    // ---- Writing -----------------------------------------------------------

    /** The record (and transaction record) in the delimited encoding of the text-form methods. */
    String toDelimited(Map<String, Spec> specs) {
        Out out = new Out(false);
        write(out, specs, 1);
        return out.text.toString();
    }

    /** The record (and transaction record) in the length-prefixed encoding of the byte-array methods. */
    String toLengthPrefixed(Map<String, Spec> specs) {
        Out out = new Out(true);
        write(out, specs, 1);
        return out.text.toString();
    }

    /** Builds one encoding; a nested record goes in as a whole, as the library's writer appends it. */
    private static final class Out {
        final boolean lengthPrefixed;
        final StringBuilder text = new StringBuilder();

        Out(boolean lengthPrefixed) { this.lengthPrefixed = lengthPrefixed; }

        void token(String t) {
            String token = t.isEmpty() ? "null" : t;
            if (token.indexOf('\0') >= 0) {
                throw new HbAgentException("the value \"" + token.replace('\0', '?') + "\" holds a zero byte,"
                        + " which no record can carry");
            }
            if (lengthPrefixed) {
                text.append(Integer.toHexString(token.length())).append('#').append(token);
            } else {
                if (token.indexOf(WireTokens.BUSOBJ_DELIMITER) >= 0) {
                    throw new HbAgentException("the value \"" + token.replace(WireTokens.BUSOBJ_DELIMITER, '|')
                            + "\" holds the delimiter character 3, which the text form cannot carry"
                            + " (send it in the byte-array form)");
                }
                text.append(token).append(WireTokens.BUSOBJ_DELIMITER);
            }
        }

        /** A child record: raw in the length-prefixed encoding, one more token in the delimited one. */
        void nested(Out child) {
            text.append(child.text);
            if (!lengthPrefixed) {
                text.append(WireTokens.BUSOBJ_DELIMITER);
            }
        }
    }

    private static Spec specOf(Map<String, Spec> specs, String type) {
        Spec spec = specs.get(type);
        if (spec == null) {
            throw new HbAgentException("no specification for the business object type \"" + type + "\"");
        }
        return spec;
    }

    private void write(Out out, Map<String, Spec> specs, int depth) {
        if (depth > MAX_DEPTH) {
            throw new HbAgentException("business object nested deeper than " + MAX_DEPTH + " levels");
        }
        Spec spec = specOf(specs, type);
        checkCount(spec, values);
        out.token(TAG);
        out.token(type);
        out.token(version);
        if (delta != null) {
            out.token(delta.toString());
        }
        out.token(verbToken(verb));
        if (locale.isEmpty()) {
            throw new HbAgentException(type + ": a business object needs a locale");
        }
        out.token(locale);
        out.token(Integer.toString(values.size()));
        for (int i = 0; i < values.size(); ++i) {
            writeValue(out, specs, spec.attrs().get(i), values.get(i), delta != null, depth);
        }
        if (prior != null) {
            checkCount(spec, prior);
            out.token(TRANSACTION_TAG);
            out.token(type);
            out.token(version);
            out.token(verbToken(verb));
            out.token(Integer.toString(prior.size()));
            for (int i = 0; i < prior.size(); ++i) {
                writeValue(out, specs, spec.attrs().get(i), prior.get(i), false, depth);
            }
        }
    }

    private void checkCount(Spec spec, List<Value> slots) {
        if (slots.size() != spec.attrs().size()) {
            throw new HbAgentException(type + ": " + slots.size() + " values for " + spec.attrs().size()
                    + " attributes");
        }
    }

    private static String verbToken(String verb) {
        if (verb != null && (verb.isEmpty() || verb.equals("null"))) {
            throw new HbAgentException("the verb \"" + verb + "\" reads back as no verb: leave the verb out");
        }
        return verb == null ? "null" : verb;
    }

    /** flagged: the record carries array delta flags (it has its own delta flag and is not a prior image). */
    private void writeValue(Out out, Map<String, Spec> specs, Spec.Attr attr, Value value, boolean flagged,
                            int depth) {
        String where = type + "." + attr.name();
        if (value instanceof Unset) {
            out.token(IGNORE);
        } else if (value instanceof Blank) {
            out.token(BLANK);
        } else if (value instanceof Text t) {
            if (attr.isObject()) {
                throw new HbAgentException(where + " holds child objects, not a text");
            }
            checkText(where, t.bytes());
            out.token(t.bytes());
        } else if (value instanceof NoChild) {
            requireObject(where, attr);
            out.token("0");
        } else if (value instanceof Child c) {
            requireObject(where, attr);
            if (attr.isMultiple()) {
                throw new HbAgentException(where + " has cardinality n: give its children as a list");
            }
            out.token("1");
            Out child = new Out(out.lengthPrefixed);
            c.object().write(child, specs, depth + 1);
            out.nested(child);
        } else if (value instanceof Array a) {
            requireObject(where, attr);
            if (!attr.isMultiple()) {
                throw new HbAgentException(where + " holds one child, not a list");
            }
            if (a.elements().isEmpty()) {
                throw new HbAgentException(where + ": an empty list travels as no child: write []");
            }
            out.token(Integer.toString(a.elements().size()));
            if (flagged != (a.delta() != null)) {
                throw new HbAgentException(where + (flagged ? ": the list needs its delta flag"
                        : ": this record carries no list delta flag"));
            }
            if (flagged) {
                out.token(a.delta().toString());
            }
            for (BusObj element : a.elements()) {
                Out child = new Out(out.lengthPrefixed);
                element.write(child, specs, depth + 1);
                out.nested(child);
            }
        }
    }

    private static void requireObject(String where, Spec.Attr attr) {
        if (!attr.isObject()) {
            throw new HbAgentException(where + " is a simple attribute of type " + attr.typeName());
        }
    }

    private static void checkText(String where, String text) {
        if (text.isEmpty()) {
            throw new HbAgentException(where + ": an empty text travels as blank: write blank");
        }
        if (text.equals(IGNORE) || text.equals(BLANK)) {
            throw new HbAgentException(where + ": the text \"" + text + "\" reads back as a marker: write "
                    + (text.equals(IGNORE) ? "unset" : "blank"));
        }
    }

    // ---- Reading -----------------------------------------------------------

    /** Reads a delimited record (with its transaction record, when one follows). */
    static BusObj fromDelimited(String text, Map<String, Spec> specs) {
        return fromTokens(WireTokens.readDelimited(text, WireTokens.BUSOBJ_DELIMITER), specs);
    }

    static BusObj fromLengthPrefixed(String text, Map<String, Spec> specs) {
        return fromTokens(WireTokens.readLengthPrefixed(text), specs);
    }

    static BusObj fromTokens(List<String> tokens, Map<String, Spec> specs) {
        WireTokens.Cursor c = new WireTokens.Cursor(tokens);
        BusObj bo = read(c, specs, 1);
        if (c.hasNext() && TRANSACTION_TAG.equals(c.peek())) {
            c.next("the transaction tag");
            Spec spec = specOf(specs, bo.type);
            String type = c.next("the transaction record's type name");
            String version = c.next("the transaction record's version");
            String verb = c.next("the transaction record's verb");
            if (!type.equals(bo.type) || !version.equals(bo.version) || !verb.equals(verbToken(bo.verb))) {
                throw new HbAgentException("the transaction record (" + type + " " + version + " " + verb
                        + ") does not repeat its business object's type, version and verb");
            }
            count(c, spec, type);
            bo.prior = new ArrayList<>();
            for (Spec.Attr attr : spec.attrs()) {
                bo.prior.add(readValue(c, specs, attr, false, type, 1));
            }
        }
        if (c.hasNext()) {
            throw new HbAgentException(c.remaining() + " tokens after the business object record, starting \""
                    + c.peek() + "\"");
        }
        return bo;
    }

    private static BusObj read(WireTokens.Cursor c, Map<String, Spec> specs, int depth) {
        if (depth > MAX_DEPTH) {
            throw new HbAgentException("business object nested deeper than " + MAX_DEPTH + " levels");
        }
        String tag = c.next("a business object record");
        if (!tag.equals(TAG)) {
            throw new HbAgentException("a business object record starts with " + TAG + ", not \"" + tag + "\"");
        }
        String type = c.next("the type name");
        String version = c.next("the version");
        String flagOrVerb = c.next("the delta flag or verb");
        Boolean delta = null;
        String verb = flagOrVerb;
        if (flagOrVerb.equals("true") || flagOrVerb.equals("false")) {
            delta = Boolean.valueOf(flagOrVerb);
            verb = c.next("the verb");
        }
        String locale = c.next("the locale");
        Spec spec = specOf(specs, type);
        BusObj bo = new BusObj(type, version, locale);
        bo.delta = delta;
        bo.verb = verb.equals("null") ? null : verb;
        count(c, spec, type);
        for (Spec.Attr attr : spec.attrs()) {
            bo.values.add(readValue(c, specs, attr, delta != null, type, depth));
        }
        return bo;
    }

    private static void count(WireTokens.Cursor c, Spec spec, String type) {
        String count = c.next("the attribute count");
        if (!count.equals(Integer.toString(spec.attrs().size()))) {
            throw new HbAgentException(type + ": the record gives " + count + " attributes, the specification "
                    + spec.attrs().size());
        }
    }

    private static Value readValue(WireTokens.Cursor c, Map<String, Spec> specs, Spec.Attr attr, boolean flagged,
                                   String type, int depth) {
        String where = type + "." + attr.name();
        String t = c.next("the value of " + where);
        if (t.equals(IGNORE)) {
            return UNSET;
        }
        if (t.equals(BLANK)) {
            return BLANK_VALUE;
        }
        if (!attr.isObject()) {
            if (t.isEmpty()) {
                throw new HbAgentException(where + ": an empty token");
            }
            return new Text(t);
        }
        if (t.equals("0")) {
            return NO_CHILD;
        }
        int n;
        try {
            n = Integer.parseInt(t);
        } catch (NumberFormatException e) {
            n = -1;
        }
        if (n < 1 || !t.equals(Integer.toString(n)) || (!attr.isMultiple() && n != 1)) {
            throw new HbAgentException(where + ": \"" + t + "\" is not a child count this attribute can have");
        }
        if (!attr.isMultiple()) {
            return new Child(read(c, specs, depth + 1));
        }
        if (n > c.remaining()) {
            throw new HbAgentException(where + ": " + n + " children announced, the record is shorter");
        }
        Boolean arrayDelta = null;
        if (flagged) {
            String flag = c.next("the list delta flag of " + where);
            if (!flag.equals("true") && !flag.equals("false")) {
                throw new HbAgentException(where + ": the list delta flag is \"" + flag + "\"");
            }
            arrayDelta = Boolean.valueOf(flag);
        }
        List<BusObj> elements = new ArrayList<>();
        for (int i = 0; i < n; ++i) {
            elements.add(read(c, specs, depth + 1));
        }
        return new Array(arrayDelta, List.copyOf(elements));
    }
}
