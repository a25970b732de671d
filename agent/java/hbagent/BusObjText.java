package hbagent;

import java.nio.charset.Charset;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

/**
 * The readable form of business objects:
 *
 * <pre>
 * Customer {
 *   @verb Create
 *   @locale en_US
 *   CustomerId = "C100"
 *   Email = blank
 *   Phone = unset
 *   Addresses = [
 *     @delta true
 *     Address {
 *       @verb Update
 *       AddressId = "1"
 *       City = "Paris"
 *     }
 *   ]
 *   @prior {
 *     Name = "Old name"
 *   }
 * }
 * </pre>
 *
 * Header lines start with "@": @verb (none when absent), @locale (the agent's
 * locale for the root and the parent's for a child when absent), @delta
 * (true, false, or none for a record without the flag; false when absent) and
 * @version (the spec's when absent). Attributes not listed are unset. A value
 * is a quoted string, unset, blank, a child Type { ... }, none (no child), or
 * for a cardinality-n attribute a list [ ... ] ([] for none) that may begin
 * with @delta true. @prior { ... } gives the prior image of a transactional
 * request. Line breaks inside braces are free.
 */
final class BusObjText {
    private final Map<String, Spec> specs;
    private final Charset charset;

    BusObjText(Map<String, Spec> specs, Charset charset) {
        this.specs = specs;
        this.charset = charset;
    }

    // ---- Reading -----------------------------------------------------------

    /** Reads one business object starting at its type name; locale is the root's default locale. */
    BusObj parse(Lexer lexer, String locale) {
        lexer.skipNewlines();
        Lexer.Token typeToken = lexer.next();
        String type = Readable.text(lexer, typeToken, charset, "a business object type name");
        BusObj bo = parseBody(lexer, typeToken, type, true, 1);
        resolveLocales(bo, locale);
        return bo;
    }

    /** A record without @locale takes its parent's (the root: the given default). */
    private static void resolveLocales(BusObj bo, String inherited) {
        if (bo.locale == null) {
            bo.locale = inherited;
        }
        List<List<BusObj.Value>> sets = new ArrayList<>();
        sets.add(bo.values);
        if (bo.prior != null) {
            sets.add(bo.prior);
        }
        for (List<BusObj.Value> set : sets) {
            for (BusObj.Value v : set) {
                if (v instanceof BusObj.Child c) {
                    resolveLocales(c.object(), bo.locale);
                } else if (v instanceof BusObj.Array a) {
                    for (BusObj element : a.elements()) {
                        resolveLocales(element, bo.locale);
                    }
                }
            }
        }
    }

    private Spec spec(Lexer lexer, Lexer.Token at, String type) {
        Spec spec = specs.get(type);
        if (spec == null) {
            throw lexer.error(at, "no specification for the business object type " + ByteText.show(type, charset));
        }
        return spec;
    }

    /** The part from "{" to "}"; root says whether @prior is allowed. */
    private BusObj parseBody(Lexer lexer, Lexer.Token typeToken, String type, boolean root, int depth) {
        if (depth > BusObj.MAX_DEPTH) {
            throw lexer.error(typeToken, "business object nested deeper than " + BusObj.MAX_DEPTH + " levels");
        }
        Spec spec = spec(lexer, typeToken, type);
        lexer.expect(Lexer.Kind.LBRACE, "'{' after the type name");
        BusObj bo = new BusObj(type, spec.version(), null);
        for (int i = 0; i < spec.attrs().size(); ++i) {
            bo.values.add(BusObj.UNSET);
        }
        boolean[] assigned = new boolean[spec.attrs().size()];
        // Header lines may come anywhere, but the list values need the flag, so
        // they are read first and the attributes after.
        List<Runnable> pending = new ArrayList<>();
        while (true) {
            lexer.skipNewlines();
            Lexer.Token t = lexer.next();
            if (t.is(Lexer.Kind.RBRACE)) {
                break;
            }
            if (t.is(Lexer.Kind.WORD) && t.text().startsWith("@")) {
                switch (t.text()) {
                    case "@verb" -> {
                        Lexer.Token v = lexer.next();
                        bo.verb = v.isWord("none") ? null : checkVerb(lexer, v, Readable.text(lexer, v, charset, "a verb"));
                    }
                    case "@locale" -> {
                        Lexer.Token v = lexer.next();
                        bo.locale = Readable.text(lexer, v, charset, "a locale");
                        if (bo.locale.isEmpty()) {
                            throw lexer.error(v, "the locale cannot be empty");
                        }
                    }
                    case "@delta" -> {
                        Lexer.Token v = lexer.next();
                        if (v.isWord("true") || v.isWord("false")) {
                            bo.delta = Boolean.valueOf(v.text());
                        } else if (v.isWord("none")) {
                            bo.delta = null;
                        } else {
                            throw lexer.error(v, "@delta is true, false or none");
                        }
                    }
                    case "@version" -> bo.version = Readable.text(lexer, lexer.next(), charset, "a version");
                    case "@prior" -> {
                        if (!root) {
                            throw lexer.error(t, "only the outermost object has a prior image");
                        }
                        if (bo.prior != null) {
                            throw lexer.error(t, "@prior is given twice");
                        }
                        bo.prior = new ArrayList<>();
                        for (int i = 0; i < spec.attrs().size(); ++i) {
                            bo.prior.add(BusObj.UNSET);
                        }
                        List<Runnable> priorValues = new ArrayList<>();
                        boolean[] priorAssigned = new boolean[spec.attrs().size()];
                        lexer.expect(Lexer.Kind.LBRACE, "'{' after @prior");
                        while (true) {
                            lexer.skipNewlines();
                            Lexer.Token p = lexer.next();
                            if (p.is(Lexer.Kind.RBRACE)) {
                                break;
                            }
                            priorValues.add(attribute(lexer, p, spec, bo, bo.prior, priorAssigned, true, depth));
                        }
                        pending.addAll(priorValues);
                    }
                    default -> throw lexer.error(t, "unknown header " + t.text()
                            + " (known: @verb @locale @delta @version @prior)");
                }
                continue;
            }
            pending.add(attribute(lexer, t, spec, bo, bo.values, assigned, false, depth));
        }
        for (Runnable r : pending) {
            r.run();
        }
        return bo;
    }

    private String checkVerb(Lexer lexer, Lexer.Token at, String verb) {
        if (verb.isEmpty() || verb.equals("null")) {
            throw lexer.error(at, "the verb \"" + verb + "\" means no verb: write @verb none or leave it out");
        }
        return verb;
    }

    /**
     * Reads "Name = value" and returns the step that stores it, run once the
     * record's header is known (a list's delta flag depends on it).
     */
    private Runnable attribute(Lexer lexer, Lexer.Token nameToken, Spec spec, BusObj owner, List<BusObj.Value> slots,
                               boolean[] assigned, boolean inPrior, int depth) {
        String name = Readable.text(lexer, nameToken, charset, "an attribute name, a header or '}'");
        int index = spec.indexOf(name);
        if (index < 0) {
            throw lexer.error(nameToken, ByteText.show(spec.name(), charset) + " has no attribute "
                    + ByteText.show(name, charset));
        }
        if (assigned[index]) {
            throw lexer.error(nameToken, "attribute " + ByteText.show(name, charset) + " is given twice");
        }
        assigned[index] = true;
        lexer.expect(Lexer.Kind.EQUALS, "'=' after " + ByteText.show(name, charset));
        Spec.Attr attr = spec.attrs().get(index);
        return value(lexer, attr, owner, slots, index, inPrior, depth);
    }

    private Runnable value(Lexer lexer, Spec.Attr attr, BusObj owner, List<BusObj.Value> slots, int index,
                           boolean inPrior, int depth) {
        Lexer.Token t = lexer.next();
        String attrName = ByteText.show(attr.name(), charset);
        if (t.is(Lexer.Kind.LBRACKET)) {
            if (!attr.isMultiple()) {
                throw lexer.error(t, attrName + " is not a list (" + (attr.isObject() ? "cardinality "
                        + ByteText.show(attr.cardinality(), charset) : "type " + attr.typeName()) + ")");
            }
            Boolean[] delta = {null};
            boolean explicitDelta = false;
            List<BusObj> elements = new ArrayList<>();
            Lexer.Token deltaToken = null;
            while (true) {
                lexer.skipNewlines();
                Lexer.Token e = lexer.peek();
                if (e.is(Lexer.Kind.RBRACKET)) {
                    lexer.next();
                    break;
                }
                if (e.isWord("@delta")) {
                    deltaToken = lexer.next();
                    Lexer.Token v = lexer.next();
                    if (!v.isWord("true") && !v.isWord("false")) {
                        throw lexer.error(v, "a list's @delta is true or false");
                    }
                    delta[0] = Boolean.valueOf(v.text());
                    explicitDelta = true;
                    continue;
                }
                Lexer.Token typeToken = lexer.next();
                String type = Readable.text(lexer, typeToken, charset, "a child object or ']'");
                elements.add(parseBody(lexer, typeToken, type, false, depth + 1));
            }
            final boolean hasExplicit = explicitDelta;
            final Lexer.Token flagAt = deltaToken != null ? deltaToken : t;
            return () -> {
                boolean flagged = owner.delta != null && !inPrior;
                if (elements.isEmpty()) {
                    if (hasExplicit) {
                        throw lexer.error(flagAt, "an empty list carries no delta flag");
                    }
                    slots.set(index, BusObj.NO_CHILD);
                    return;
                }
                if (hasExplicit && !flagged) {
                    throw lexer.error(flagAt, inPrior ? "lists of a prior image carry no delta flag"
                            : "a record with @delta none carries no list delta flags");
                }
                Boolean flag = flagged ? (hasExplicit ? delta[0] : Boolean.FALSE) : null;
                slots.set(index, new BusObj.Array(flag, List.copyOf(elements)));
            };
        }
        if (t.is(Lexer.Kind.STRING) || (t.is(Lexer.Kind.WORD) && !lexer.peek().is(Lexer.Kind.LBRACE))) {
            if (t.isWord("unset")) {
                return () -> slots.set(index, BusObj.UNSET);
            }
            if (t.isWord("blank")) {
                return () -> slots.set(index, BusObj.BLANK_VALUE);
            }
            if (t.isWord("none")) {
                if (!attr.isObject()) {
                    throw lexer.error(t, attrName + " is a simple attribute: none is for child objects");
                }
                return () -> slots.set(index, BusObj.NO_CHILD);
            }
            if (attr.isObject()) {
                throw lexer.error(t, attrName + " holds child objects, not a text");
            }
            String text = Readable.text(lexer, t, charset, "a value");
            if (text.isEmpty()) {
                throw lexer.error(t, "an empty text travels as blank: write blank");
            }
            if (text.equals(BusObj.IGNORE) || text.equals(BusObj.BLANK)) {
                throw lexer.error(t, "the text \"" + text + "\" reads back as a marker: write "
                        + (text.equals(BusObj.IGNORE) ? "unset" : "blank"));
            }
            if (text.indexOf('\0') >= 0) {
                throw lexer.error(t, "a value cannot hold a zero byte");
            }
            return () -> slots.set(index, new BusObj.Text(text));
        }
        if (t.is(Lexer.Kind.WORD)) {
            if (!attr.isObject()) {
                throw lexer.error(t, attrName + " is a simple attribute of type " + attr.typeName());
            }
            if (attr.isMultiple()) {
                throw lexer.error(t, attrName + " has cardinality n: put its children in [ ]");
            }
            String type = Readable.text(lexer, t, charset, "a business object type name");
            BusObj child = parseBody(lexer, t, type, false, depth + 1);
            return () -> slots.set(index, new BusObj.Child(child));
        }
        throw lexer.error(t, "expected a value for " + attrName + ", found " + t.describe());
    }

    // ---- Writing -----------------------------------------------------------

    /** The readable form; parsing it with the same default locale gives the same object. */
    String print(BusObj bo) {
        StringBuilder out = new StringBuilder();
        print(out, bo, null, 0);
        return out.toString();
    }

    private void print(StringBuilder out, BusObj bo, String parentLocale, int depth) {
        Spec spec = specs.get(bo.type);
        if (spec == null) {
            throw new HbAgentException("no specification for the business object type \"" + bo.type + "\"");
        }
        out.append(Readable.word(bo.type, charset)).append(" {\n");
        if (bo.verb != null) {
            line(out, depth + 1).append("@verb ").append(Readable.word(bo.verb, charset)).append('\n');
        }
        if (!bo.locale.equals(parentLocale)) {
            line(out, depth + 1).append("@locale ").append(Readable.word(bo.locale, charset)).append('\n');
        }
        if (bo.delta == null || bo.delta) {
            line(out, depth + 1).append("@delta ").append(bo.delta == null ? "none" : "true").append('\n');
        }
        if (!bo.version.equals(spec.version())) {
            line(out, depth + 1).append("@version ").append(Readable.word(bo.version, charset)).append('\n');
        }
        printValues(out, spec, bo.values, bo, depth + 1, bo.delta != null);
        if (bo.prior != null) {
            line(out, depth + 1).append("@prior {\n");
            printValues(out, spec, bo.prior, bo, depth + 2, false);
            line(out, depth + 1).append("}\n");
        }
        line(out, depth).append("}");
        if (depth == 0) {
            out.append('\n');
        }
    }

    private void printValues(StringBuilder out, Spec spec, List<BusObj.Value> values, BusObj owner, int depth,
                             boolean flagged) {
        for (int i = 0; i < values.size(); ++i) {
            BusObj.Value v = values.get(i);
            if (v instanceof BusObj.Unset) {
                continue;
            }
            Spec.Attr attr = spec.attrs().get(i);
            line(out, depth).append(Readable.word(attr.name(), charset)).append(" = ");
            if (v instanceof BusObj.Blank) {
                out.append("blank");
            } else if (v instanceof BusObj.Text t) {
                out.append(ByteText.quote(t.bytes(), charset));
            } else if (v instanceof BusObj.NoChild) {
                out.append(attr.isMultiple() ? "[]" : "none");
            } else if (v instanceof BusObj.Child c) {
                print(out, c.object(), owner.locale, depth);
            } else if (v instanceof BusObj.Array a) {
                out.append("[\n");
                if (flagged && Boolean.TRUE.equals(a.delta())) {
                    line(out, depth + 1).append("@delta true\n");
                }
                for (BusObj element : a.elements()) {
                    line(out, depth + 1);
                    print(out, element, owner.locale, depth + 1);
                    out.append('\n');
                }
                line(out, depth).append(']');
            }
            out.append('\n');
        }
    }

    private static StringBuilder line(StringBuilder out, int depth) {
        Readable.indent(out, depth);
        return out;
    }
}
