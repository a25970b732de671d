package hbagent;

import java.nio.charset.Charset;
import java.util.Map;

/**
 * Paths into a business object for expectations: attribute names joined by
 * ".", a list element chosen with [index] (from 0), and as the last part one
 * of the headers @verb, @locale, @delta or @version. Example:
 * Addresses[1].City.
 */
final class ObjectPath {
    private ObjectPath() {}

    /**
     * The value at path. Headers come back as texts (none as no child); a
     * path that leads nowhere fails with a message saying where it stopped.
     */
    static BusObj.Value resolve(BusObj root, Map<String, Spec> specs, String path, Charset charset) {
        String[] parts = path.split("\\.", -1);
        BusObj current = root;
        for (int p = 0; p < parts.length; ++p) {
            String part = parts[p];
            boolean last = p == parts.length - 1;
            if (part.startsWith("@")) {
                if (!last) {
                    throw new HbAgentException("a header (" + part + ") ends a path");
                }
                return header(current, part);
            }
            int index = -1;
            String name = part;
            int bracket = part.indexOf('[');
            if (bracket >= 0) {
                if (!part.endsWith("]")) {
                    throw new HbAgentException("bad path part \"" + part + "\"");
                }
                name = part.substring(0, bracket);
                try {
                    index = Integer.parseInt(part.substring(bracket + 1, part.length() - 1));
                } catch (NumberFormatException e) {
                    throw new HbAgentException("bad index in \"" + part + "\"");
                }
            }
            Spec spec = specs.get(current.type);
            if (spec == null) {
                throw new HbAgentException("no specification for " + current.type);
            }
            int at = spec.indexOf(ByteText.encode(name, charset));
            if (at < 0) {
                throw new HbAgentException(current.type + " has no attribute " + name);
            }
            BusObj.Value value = current.values.get(at);
            if (index >= 0) {
                if (!(value instanceof BusObj.Array array)) {
                    throw new HbAgentException(name + " holds " + describe(value, charset) + ", not a list");
                }
                if (index >= array.elements().size()) {
                    throw new HbAgentException(name + " has " + array.elements().size() + " elements, no [" + index
                            + "]");
                }
                if (last) {
                    return new BusObj.Child(array.elements().get(index));
                }
                current = array.elements().get(index);
                continue;
            }
            if (last) {
                return value;
            }
            if (!(value instanceof BusObj.Child child)) {
                throw new HbAgentException(name + " holds " + describe(value, charset)
                        + (value instanceof BusObj.Array ? ": choose an element with [index]" : ", not a child object"));
            }
            current = child.object();
        }
        throw new HbAgentException("empty path");
    }

    private static BusObj.Value header(BusObj bo, String header) {
        return switch (header) {
            case "@verb" -> bo.verb == null ? BusObj.NO_CHILD : new BusObj.Text(bo.verb);
            case "@locale" -> new BusObj.Text(bo.locale);
            case "@delta" -> bo.delta == null ? BusObj.NO_CHILD : new BusObj.Text(bo.delta.toString());
            case "@version" -> new BusObj.Text(bo.version);
            default -> throw new HbAgentException("unknown header " + header + " (known: @verb @locale @delta @version)");
        };
    }

    /** A value as the readable form writes it, for messages. */
    static String describe(BusObj.Value value, Charset charset) {
        if (value instanceof BusObj.Unset) {
            return "unset";
        }
        if (value instanceof BusObj.Blank) {
            return "blank";
        }
        if (value instanceof BusObj.Text t) {
            return ByteText.quote(t.bytes(), charset);
        }
        if (value instanceof BusObj.NoChild) {
            return "none";
        }
        if (value instanceof BusObj.Child c) {
            return "a " + ByteText.show(c.object().type, charset) + " object";
        }
        BusObj.Array a = (BusObj.Array) value;
        return "a list of " + a.elements().size();
    }
}
