package hbagent;

import com.fasterxml.jackson.core.JsonFactory;
import com.fasterxml.jackson.core.JsonGenerator;
import com.fasterxml.jackson.core.JsonLocation;
import com.fasterxml.jackson.core.JsonParser;
import com.fasterxml.jackson.core.JsonProcessingException;
import com.fasterxml.jackson.core.JsonToken;
import com.fasterxml.jackson.core.StreamReadFeature;
import java.io.IOException;
import java.io.StringWriter;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.Charset;
import java.nio.charset.CharsetEncoder;
import java.nio.charset.CodingErrorAction;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Base64;
import java.util.Deque;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * The JSON form of a business object, the service's default wire format.
 *
 * <pre>
 * {"type": "Customer", "version": "1.0.0", "verb": "Create", "locale": "en_US", "delta": false,
 *  "attributes": {
 *    "Name": "Smith",                   a simple value: a string
 *    "Email": null,                     the blank marker
 *    "Raw": {"base64": "/wE="},         bytes the value charset cannot decode
 *    "Address": {"type": "Address", "attributes": {"City": "Paris"}},   one child
 *    "Billing": [],                     no child
 *    "Orders": [ {...}, {...} ],        children (list delta flag false, or none in a record without one)
 *    "Notes": {"delta": true, "elements": [ {...} ]}                    children with a list delta flag
 *  },
 *  "prior": { ...attributes of the prior image... }}
 * </pre>
 *
 * An attribute not listed is unset (the ignore marker). On reading, every
 * header is optional: "type" defaults to the attribute's type (the root
 * needs it), "version" to the specification's, "verb" to none, "locale" to
 * the parent's (the root: the agent's), "delta" to false; null delta means a
 * record without the flag. Writing gives every header, so a document reads
 * back to the very same object.
 *
 * <p>Texts are byte strings (see {@link ByteText}); a JSON string is their
 * characters in the value charset. A value whose bytes do not decode in that
 * charset (or do not encode back to the same bytes) is written as
 * {"base64": ...}. Any input that does not fit the specifications is refused
 * with a {@link JsonWireException} naming the attribute path and the JSON
 * line and column.
 *
 * <p>Reading is two steps: Jackson's streaming parser checks the syntax and
 * builds a small tree of nodes without recursion, refusing nesting deeper
 * than a valid object can need; then the tree is read against the
 * specifications, at most {@link BusObj#MAX_DEPTH} objects deep. Neither step
 * recurses with the depth of the input. Instances are immutable and safe to
 * share between threads.
 */
final class JsonWire {
    /** A business object level takes at most four JSON levels (object, attributes, list object, array). */
    static final int MAX_JSON_DEPTH = 4 * BusObj.MAX_DEPTH + 4;
    /** Numbers never belong in a document; longer ones are refused while parsing, before any use. */
    private static final int MAX_NUMBER_LENGTH = 64;

    private static final JsonFactory FACTORY = JsonFactory.builder()
            .enable(StreamReadFeature.STRICT_DUPLICATE_DETECTION)
            .build();

    private final Map<String, Spec> specs;
    private final Charset charset;
    private final String defaultLocale;

    /**
     * specs: the specifications by type name; charset: the value charset
     * (AgentConfig.valueCharset); defaultLocale: the root's locale (a byte
     * string) when a document gives none.
     */
    JsonWire(Map<String, Spec> specs, Charset charset, String defaultLocale) {
        this.specs = specs;
        this.charset = charset;
        this.defaultLocale = defaultLocale;
    }

    // ---- Writing -----------------------------------------------------------

    /** The document of bo, on one line. */
    String toJson(BusObj bo) {
        StringWriter text = new StringWriter();
        try (JsonGenerator g = FACTORY.createGenerator(text)) {
            writeObject(g, bo, "", 1);
        } catch (IOException e) {
            throw new JsonWireException("cannot write the document: " + e.getMessage());
        }
        return text.toString();
    }

    private void writeObject(JsonGenerator g, BusObj bo, String path, int depth) throws IOException {
        if (depth > BusObj.MAX_DEPTH) {
            throw new JsonWireException(at(path) + "business object nested deeper than " + BusObj.MAX_DEPTH
                    + " levels");
        }
        Spec spec = specs.get(bo.type);
        if (spec == null) {
            throw new JsonWireException(at(path) + "no specification for the business object type \""
                    + ByteText.show(bo.type, charset) + "\"");
        }
        g.writeStartObject();
        g.writeFieldName("type");
        writeText(g, bo.type);
        g.writeFieldName("version");
        writeText(g, bo.version);
        g.writeFieldName("verb");
        if (bo.verb == null) {
            g.writeNull();
        } else {
            writeText(g, bo.verb);
        }
        g.writeFieldName("locale");
        writeText(g, bo.locale);
        g.writeFieldName("delta");
        if (bo.delta == null) {
            g.writeNull();
        } else {
            g.writeBoolean(bo.delta);
        }
        g.writeFieldName("attributes");
        writeValues(g, spec, bo.values, bo.delta != null, path, depth);
        if (bo.prior != null) {
            g.writeFieldName("prior");
            writeValues(g, spec, bo.prior, false, join(path, "prior"), depth);
        }
        g.writeEndObject();
    }

    private void writeValues(JsonGenerator g, Spec spec, List<BusObj.Value> values, boolean flagged, String path,
                             int depth) throws IOException {
        if (values.size() != spec.attrs().size()) {
            throw new JsonWireException(at(path) + values.size() + " values for the " + spec.attrs().size()
                    + " attributes of " + ByteText.show(spec.name(), charset));
        }
        g.writeStartObject();
        for (int i = 0; i < values.size(); ++i) {
            Spec.Attr attr = spec.attrs().get(i);
            BusObj.Value value = values.get(i);
            if (value instanceof BusObj.Unset) {
                continue;
            }
            String where = join(path, ByteText.show(attr.name(), charset));
            g.writeFieldName(decoded(attr.name()));
            if (value instanceof BusObj.Blank) {
                g.writeNull();
            } else if (value instanceof BusObj.Text t) {
                if (attr.isObject()) {
                    throw new JsonWireException(where + ": holds child objects, not a text");
                }
                writeText(g, t.bytes());
            } else if (value instanceof BusObj.NoChild) {
                requireObject(where, attr);
                g.writeStartArray();
                g.writeEndArray();
            } else if (value instanceof BusObj.Child c) {
                requireObject(where, attr);
                if (attr.isMultiple()) {
                    throw new JsonWireException(where + ": has cardinality n, its children go in a list");
                }
                writeObject(g, c.object(), where, depth + 1);
            } else if (value instanceof BusObj.Array a) {
                requireObject(where, attr);
                if (!attr.isMultiple()) {
                    throw new JsonWireException(where + ": holds one child, not a list");
                }
                if (a.elements().isEmpty()) {
                    throw new JsonWireException(where + ": an empty list travels as no child");
                }
                boolean plain = flagged ? Boolean.FALSE.equals(a.delta()) : a.delta() == null;
                if (!plain) {
                    g.writeStartObject();
                    g.writeFieldName("delta");
                    if (a.delta() == null) {
                        g.writeNull();
                    } else {
                        g.writeBoolean(a.delta());
                    }
                    g.writeFieldName("elements");
                }
                g.writeStartArray();
                for (int k = 0; k < a.elements().size(); ++k) {
                    writeObject(g, a.elements().get(k), where + "[" + k + "]", depth + 1);
                }
                g.writeEndArray();
                if (!plain) {
                    g.writeEndObject();
                }
            }
        }
        g.writeEndObject();
    }

    private static void requireObject(String where, Spec.Attr attr) {
        if (!attr.isObject()) {
            throw new JsonWireException(where + ": a simple attribute cannot hold child objects");
        }
    }

    /** A byte string as a JSON string when it decodes and encodes back exactly, else as {"base64": ...}. */
    private void writeText(JsonGenerator g, String bytes) throws IOException {
        String chars = ByteText.decodeStrict(bytes, charset);
        if (chars != null && bytes.equals(encodeOrNull(chars))) {
            g.writeString(chars);
        } else {
            g.writeStartObject();
            g.writeStringField("base64", Base64.getEncoder().encodeToString(ByteText.bytes(bytes)));
            g.writeEndObject();
        }
    }

    /** Field names are JSON strings in any case; bytes that do not decode show as \xHH. */
    private String decoded(String bytes) {
        String chars = ByteText.decodeStrict(bytes, charset);
        return chars != null ? chars : ByteText.show(bytes, charset);
    }

    private String encodeOrNull(String chars) {
        CharsetEncoder encoder = charset.newEncoder()
                .onMalformedInput(CodingErrorAction.REPORT)
                .onUnmappableCharacter(CodingErrorAction.REPORT);
        try {
            ByteBuffer buffer = encoder.encode(CharBuffer.wrap(chars));
            byte[] bytes = new byte[buffer.remaining()];
            buffer.get(bytes);
            return ByteText.of(bytes);
        } catch (CharacterCodingException e) {
            return null;
        }
    }

    // ---- Parsing into nodes --------------------------------------------------

    enum Kind { OBJECT, ARRAY, STRING, NUMBER, TRUE, FALSE, NULL }

    /** One JSON value with where it starts; fields keep the document's order. */
    static final class Node {
        final Kind kind;
        final int line;
        final int column;
        String text;
        Map<String, Node> fields;
        List<Node> items;

        Node(Kind kind, JsonLocation where) {
            this.kind = kind;
            this.line = where.getLineNr();
            this.column = where.getColumnNr();
        }

        String position() { return "line " + line + ", column " + column; }
    }

    /** Parses one JSON document without recursion; syntax errors name their line and column. */
    static Node parse(String json) {
        try (JsonParser p = FACTORY.createParser(json)) {
            Deque<Node> open = new ArrayDeque<>();
            String name = null;
            Node root = null;
            JsonToken t;
            while ((t = p.nextToken()) != null) {
                if (t == JsonToken.FIELD_NAME) {
                    name = p.currentName();
                    continue;
                }
                if (t == JsonToken.END_OBJECT || t == JsonToken.END_ARRAY) {
                    open.pop();
                } else {
                    Node node = new Node(kindOf(t), p.getTokenLocation());
                    switch (node.kind) {
                        case OBJECT -> node.fields = new LinkedHashMap<>();
                        case ARRAY -> node.items = new ArrayList<>();
                        case STRING -> node.text = p.getText();
                        case NUMBER -> {
                            if (p.getTextLength() > MAX_NUMBER_LENGTH) {
                                throw new JsonWireException("a number of " + p.getTextLength()
                                        + " characters at " + node.position());
                            }
                        }
                        default -> { }
                    }
                    Node parent = open.peek();
                    if (parent == null) {
                        root = node;
                    } else if (parent.kind == Kind.OBJECT) {
                        parent.fields.put(name, node);
                    } else {
                        parent.items.add(node);
                    }
                    if (node.kind == Kind.OBJECT || node.kind == Kind.ARRAY) {
                        if (open.size() >= MAX_JSON_DEPTH) {
                            throw new JsonWireException("JSON nested deeper than " + MAX_JSON_DEPTH + " levels at "
                                    + node.position());
                        }
                        open.push(node);
                    }
                }
                if (open.isEmpty()) {
                    break;
                }
            }
            if (root == null) {
                throw new JsonWireException("an empty document: a business object is a JSON object");
            }
            if (p.nextToken() != null) {
                JsonLocation where = p.getTokenLocation();
                throw new JsonWireException("text after the end of the document at line " + where.getLineNr()
                        + ", column " + where.getColumnNr());
            }
            return root;
        } catch (JsonProcessingException e) {
            JsonLocation where = e.getLocation();
            throw new JsonWireException("malformed JSON"
                    + (where == null ? "" : " at line " + where.getLineNr() + ", column " + where.getColumnNr())
                    + ": " + e.getOriginalMessage());
        } catch (IOException e) {
            throw new JsonWireException("cannot read the document: " + e.getMessage());
        }
    }

    private static Kind kindOf(JsonToken t) {
        return switch (t) {
            case START_OBJECT -> Kind.OBJECT;
            case START_ARRAY -> Kind.ARRAY;
            case VALUE_STRING -> Kind.STRING;
            case VALUE_NUMBER_INT, VALUE_NUMBER_FLOAT -> Kind.NUMBER;
            case VALUE_TRUE -> Kind.TRUE;
            case VALUE_FALSE -> Kind.FALSE;
            case VALUE_NULL -> Kind.NULL;
            // Embedded objects and "not available" never come from a text parser.
            default -> throw new JsonWireException("unexpected JSON token " + t);
        };
    }

    // ---- Reading -----------------------------------------------------------

    /** Reads one business object document. */
    BusObj fromJson(String json) {
        Node root = parse(json);
        if (root.kind != Kind.OBJECT) {
            throw new JsonWireException("the document is " + describe(root) + ", a business object is a JSON object"
                    + " (" + root.position() + ")");
        }
        return readObject(root, null, defaultLocale, "", 1);
    }

    /** A business object document; attrType is its attribute's type (null for the root). */
    private BusObj readObject(Node node, String attrType, String parentLocale, String path, int depth) {
        if (depth > BusObj.MAX_DEPTH) {
            throw new JsonWireException(at(path) + "business object nested deeper than " + BusObj.MAX_DEPTH
                    + " levels (" + node.position() + ")");
        }
        for (String field : node.fields.keySet()) {
            switch (field) {
                case "type", "version", "verb", "locale", "delta", "attributes", "prior" -> { }
                default -> throw new JsonWireException(at(path) + "unknown field \"" + clip(field)
                        + "\" in a business object (" + node.fields.get(field).position() + ")");
            }
        }
        Node typeNode = node.fields.get("type");
        String type;
        if (typeNode != null) {
            type = readText(typeNode, join(path, "type"), false);
        } else if (attrType != null) {
            type = attrType;
        } else {
            throw new JsonWireException("the document has no \"type\" (" + node.position() + ")");
        }
        Spec spec = specs.get(type);
        if (spec == null) {
            throw new JsonWireException(at(path) + "unknown business object type \""
                    + clip(ByteText.show(type, charset)) + "\" (" + (typeNode != null ? typeNode : node).position()
                    + ")");
        }
        Node versionNode = node.fields.get("version");
        String version = versionNode == null ? spec.version() : readText(versionNode, join(path, "version"), false);
        Node localeNode = node.fields.get("locale");
        String locale = localeNode == null ? parentLocale : readText(localeNode, join(path, "locale"), false);
        BusObj bo = new BusObj(type, version, locale);
        Node verbNode = node.fields.get("verb");
        if (verbNode != null && verbNode.kind != Kind.NULL) {
            bo.verb = readText(verbNode, join(path, "verb"), false);
            if (bo.verb.equals("null")) {
                throw new JsonWireException(join(path, "verb") + ": the verb \"null\" means no verb: write null ("
                        + verbNode.position() + ")");
            }
        }
        Node deltaNode = node.fields.get("delta");
        if (deltaNode != null) {
            bo.delta = readFlag(deltaNode, join(path, "delta"));
        }
        Node attributes = node.fields.get("attributes");
        readValues(attributes, spec, bo.values, bo.delta != null, bo.locale, path, depth);
        Node prior = node.fields.get("prior");
        if (prior != null) {
            if (depth > 1) {
                throw new JsonWireException(join(path, "prior") + ": only the outermost object carries a prior image ("
                        + prior.position() + ")");
            }
            bo.prior = new ArrayList<>();
            readValues(prior, spec, bo.prior, false, bo.locale, join(path, "prior"), depth);
        }
        return bo;
    }

    /** The attributes object (null: all unset) into one value per attribute of spec. */
    private void readValues(Node node, Spec spec, List<BusObj.Value> values, boolean flagged, String locale,
                            String path, int depth) {
        BusObj.Value[] slots = new BusObj.Value[spec.attrs().size()];
        java.util.Arrays.fill(slots, BusObj.UNSET);
        if (node != null) {
            if (node.kind != Kind.OBJECT) {
                throw new JsonWireException(at(path) + "the attributes are " + describe(node)
                        + ", not a JSON object (" + node.position() + ")");
            }
            for (Map.Entry<String, Node> e : node.fields.entrySet()) {
                String where = join(path, clip(e.getKey()));
                String name = encode(e.getKey(), where, e.getValue());
                int index = spec.indexOf(name);
                if (index < 0) {
                    throw new JsonWireException(where + ": " + ByteText.show(spec.name(), charset)
                            + " has no such attribute (" + e.getValue().position() + ")");
                }
                slots[index] = readValue(e.getValue(), spec.attrs().get(index), flagged, locale, where, depth);
            }
        }
        values.addAll(java.util.Arrays.asList(slots));
    }

    private BusObj.Value readValue(Node v, Spec.Attr attr, boolean flagged, String locale, String where, int depth) {
        if (v.kind == Kind.NULL) {
            return BusObj.BLANK_VALUE;
        }
        if (!attr.isObject()) {
            if (v.kind != Kind.STRING && !isBase64(v)) {
                throw new JsonWireException(where + ": " + describe(v) + " where a text (a JSON string) belongs ("
                        + v.position() + ")");
            }
            return new BusObj.Text(readText(v, where, true));
        }
        if (v.kind == Kind.ARRAY && v.items.isEmpty()) {
            return BusObj.NO_CHILD;
        }
        if (!attr.isMultiple()) {
            if (v.kind != Kind.OBJECT) {
                throw new JsonWireException(where + ": " + describe(v) + " where one child (a JSON object, or [] for"
                        + " none) belongs (" + v.position() + ")");
            }
            return new BusObj.Child(readObject(v, attr.typeName(), locale, where, depth + 1));
        }
        Boolean listDelta = flagged ? Boolean.FALSE : null;
        Node elements = v;
        if (v.kind == Kind.OBJECT) {
            for (String field : v.fields.keySet()) {
                if (!field.equals("delta") && !field.equals("elements")) {
                    throw new JsonWireException(where + ": unknown field \"" + clip(field) + "\" in a list ("
                            + v.position() + ")");
                }
            }
            Node deltaNode = v.fields.get("delta");
            listDelta = deltaNode == null ? listDelta : readFlag(deltaNode, where + ".delta");
            elements = v.fields.get("elements");
            if (elements == null || elements.kind != Kind.ARRAY || elements.items.isEmpty()) {
                throw new JsonWireException(where + ": a list with a delta flag needs \"elements\": a non-empty JSON"
                        + " array (" + v.position() + ")");
            }
        } else if (v.kind != Kind.ARRAY) {
            throw new JsonWireException(where + ": " + describe(v) + " where a list of children (a JSON array)"
                    + " belongs (" + v.position() + ")");
        }
        List<BusObj> children = new ArrayList<>();
        for (int k = 0; k < elements.items.size(); ++k) {
            Node item = elements.items.get(k);
            String itemWhere = where + "[" + k + "]";
            if (item.kind != Kind.OBJECT) {
                throw new JsonWireException(itemWhere + ": " + describe(item) + " where a child (a JSON object)"
                        + " belongs (" + item.position() + ")");
            }
            children.add(readObject(item, attr.typeName(), locale, itemWhere, depth + 1));
        }
        return new BusObj.Array(listDelta, List.copyOf(children));
    }

    private static Boolean readFlag(Node v, String where) {
        return switch (v.kind) {
            case TRUE -> Boolean.TRUE;
            case FALSE -> Boolean.FALSE;
            case NULL -> null;
            default -> throw new JsonWireException(where + ": " + describe(v) + " where true, false or null belongs ("
                    + v.position() + ")");
        };
    }

    private static boolean isBase64(Node v) {
        return v.kind == Kind.OBJECT && v.fields.size() == 1 && v.fields.containsKey("base64");
    }

    /**
     * A text: a JSON string in the value charset or {"base64": ...}. A value
     * must be what a record can carry back: not empty, not spelled like a
     * marker, no zero byte; a header must not be empty.
     */
    private String readText(Node v, String where, boolean value) {
        String bytes;
        if (v.kind == Kind.STRING) {
            bytes = encode(v.text, where, v);
        } else if (isBase64(v) && v.fields.get("base64").kind == Kind.STRING) {
            try {
                bytes = ByteText.of(Base64.getDecoder().decode(v.fields.get("base64").text));
            } catch (IllegalArgumentException e) {
                throw new JsonWireException(where + ": not base64: " + e.getMessage() + " (" + v.position() + ")");
            }
        } else {
            throw new JsonWireException(where + ": " + describe(v) + " where a JSON string belongs (" + v.position()
                    + ")");
        }
        if (bytes.isEmpty()) {
            throw new JsonWireException(where + ": an empty text" + (value ? " travels as blank: write null" : "")
                    + " (" + v.position() + ")");
        }
        if (bytes.indexOf('\0') >= 0) {
            throw new JsonWireException(where + ": a zero byte, which no record can carry (" + v.position() + ")");
        }
        if (value && (bytes.equals(BusObj.IGNORE) || bytes.equals(BusObj.BLANK))) {
            throw new JsonWireException(where + ": the text \"" + bytes + "\" reads back as a marker: "
                    + (bytes.equals(BusObj.IGNORE) ? "leave the attribute out" : "write null") + " (" + v.position()
                    + ")");
        }
        return bytes;
    }

    private String encode(String chars, String where, Node v) {
        String bytes = encodeOrNull(chars);
        if (bytes == null) {
            throw new JsonWireException(where + ": the text cannot be written in " + charset.name()
                    + " (give raw bytes as {\"base64\": ...}) (" + v.position() + ")");
        }
        return bytes;
    }

    private static String describe(Node v) {
        return switch (v.kind) {
            case OBJECT -> "an object";
            case ARRAY -> "an array";
            case STRING -> "a string";
            case NUMBER -> "a number";
            case TRUE, FALSE -> "a boolean";
            case NULL -> "null";
        };
    }

    /** A name from the document as shown in a message: long ones cut, so a message stays short. */
    private static String clip(String name) {
        return name.length() <= 80 ? name : name.substring(0, 80) + "... (" + name.length() + " characters)";
    }

    private static String join(String path, String name) { return path.isEmpty() ? name : path + "." + name; }

    private static String at(String path) { return path.isEmpty() ? "" : path + ": "; }
}
