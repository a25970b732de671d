package hbagent;

import java.util.ArrayList;
import java.util.List;
import java.util.Set;

/**
 * A business object specification as the agent sends it to the connector.
 * Every text is a byte string (see {@link ByteText}) holding exactly what
 * travels in the record's token, so a specification converts to its wire
 * record and back without change.
 */
record Spec(String name, String version, String info, List<Attr> attrs, List<Verb> verbs) {
    /** The record's tag. */
    static final String TAG = "BusObjSpec";
    /** The one-character token that stands for an empty information or default text. */
    static final String EMPTY_MARKER = "\u0005";
    static final Set<String> SIMPLE_TYPES = Set.of("Boolean", "Integer", "Float", "Double", "String", "Date", "LongText");

    /** One attribute. extra is the optional thirteenth token ("true"/"false"), null when absent. */
    record Attr(String name, String typeName, boolean key, boolean foreignKey, boolean required, String info,
                String maxLength, String defaultValue, String version, String cardinality, String relationship,
                boolean attrFlag, String extra) {
        boolean isObject() { return !SIMPLE_TYPES.contains(typeName); }

        /** A child-object attribute holding an array of children. */
        boolean isMultiple() { return isObject() && cardinality.equalsIgnoreCase("n"); }
    }

    record Verb(String name, String info) {}

    /** The attribute's index, or -1. */
    int indexOf(String attrName) {
        for (int i = 0; i < attrs.size(); ++i) {
            if (attrs.get(i).name().equals(attrName)) {
                return i;
            }
        }
        return -1;
    }

    /** The tokens of the specification record. */
    List<String> toTokens() {
        List<String> t = new ArrayList<>();
        t.add(TAG);
        t.add(name);
        t.add(version);
        t.add(marked(info));
        t.add(Integer.toString(attrs.size()));
        t.add(Integer.toString(verbs.size()));
        for (Attr a : attrs) {
            t.add(a.name());
            t.add(a.typeName());
            t.add(Boolean.toString(a.key()));
            t.add(Boolean.toString(a.foreignKey()));
            t.add(Boolean.toString(a.required()));
            t.add(marked(a.info()));
            t.add(a.maxLength());
            t.add(marked(a.defaultValue()));
            t.add(a.version());
            t.add(a.cardinality());
            t.add(a.relationship());
            t.add(Boolean.toString(a.attrFlag()));
            if (a.extra() != null) {
                t.add(a.extra());
            }
        }
        for (Verb v : verbs) {
            t.add(v.name());
            t.add(marked(v.info()));
        }
        return t;
    }

    /** The record in the length-prefixed encoding, the form specifications always travel in. */
    String toWire() { return WireTokens.lengthPrefixed(toTokens()); }

    /** Reads a length-prefixed specification record. */
    static Spec fromWire(String text) { return fromTokens(WireTokens.readLengthPrefixed(text)); }

    /**
     * Reads the tokens of one specification record. An attribute entry may
     * carry a thirteenth token "true" or "false", recognised the way the
     * library recognises it: by looking at the token after the twelfth.
     */
    static Spec fromTokens(List<String> tokens) {
        WireTokens.Cursor c = new WireTokens.Cursor(tokens);
        String tag = c.next("the tag");
        if (!tag.equals(TAG)) {
            throw new HbAgentException("a specification record starts with " + TAG + ", not \"" + tag + "\"");
        }
        String name = c.next("the type name");
        String version = c.next("the version");
        String info = unmarked(c.next("the information"));
        int attrCount = count(c.next("the attribute count"));
        int verbCount = count(c.next("the verb count"));
        if (attrCount > c.remaining() / 12 || verbCount > c.remaining()) {
            throw new HbAgentException("specification " + name + ": the counts exceed the record");
        }
        List<Attr> attrs = new ArrayList<>();
        for (int i = 0; i < attrCount; ++i) {
            String attrName = c.next("an attribute name");
            String typeName = c.next("an attribute type");
            boolean key = c.next("isKey").equals("true");
            boolean foreignKey = c.next("isForeignKey").equals("true");
            boolean required = c.next("isRequired").equals("true");
            String attrInfo = unmarked(c.next("the attribute information"));
            String maxLength = c.next("maxLength");
            String defaultValue = unmarked(c.next("the default value"));
            String attrVersion = c.next("the attribute version");
            String cardinality = c.next("the cardinality");
            String relationship = c.next("the relationship");
            boolean attrFlag = c.next("attrFlag").equals("true");
            String extra = null;
            String look = c.peek();
            if (look != null && (look.equals("true") || look.equals("false"))) {
                extra = c.next("the extra flag");
            }
            attrs.add(new Attr(attrName, typeName, key, foreignKey, required, attrInfo, maxLength, defaultValue,
                    attrVersion, cardinality.equals("null") ? "" : cardinality, relationship, attrFlag, extra));
        }
        List<Verb> verbs = new ArrayList<>();
        for (int j = 0; j < verbCount; ++j) {
            verbs.add(new Verb(c.next("a verb name"), unmarked(c.next("the verb information"))));
        }
        if (c.hasNext()) {
            throw new HbAgentException("specification " + name + ": " + c.remaining() + " tokens after the last verb");
        }
        return new Spec(name, version, info, List.copyOf(attrs), List.copyOf(verbs));
    }

    private static String marked(String text) { return text.isEmpty() ? EMPTY_MARKER : text; }

    private static String unmarked(String token) { return token.equals(EMPTY_MARKER) ? "" : token; }

    private static int count(String token) {
        try {
            int n = Integer.parseInt(token);
            if (n >= 0 && token.equals(Integer.toString(n))) {
                return n;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new HbAgentException("a specification count must be a decimal number, not \"" + token + "\"");
    }
}
