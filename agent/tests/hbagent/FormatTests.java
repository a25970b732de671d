package hbagent;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/** The wire encodings and the readable forms of specifications and business objects. */
public final class FormatTests extends TestCase {
    static final Charset UTF8 = StandardCharsets.UTF_8;

    static final String SPECS = String.join("\n",
            "spec Customer 1.0.0 {",
            "  attr Name String key",
            "  attr Email String",
            "  attr Address Address",
            "  attr Orders Order cardinality=N",
            "  attr ObjectEventId String",
            "  verb Create",
            "}",
            "spec Address 1.0.0 {",
            "  attr City String",
            "}",
            "spec Order 2.0.0 {",
            "  attr OrderId String key",
            "  attr Lines Order cardinality=n",
            "}");

    static Map<String, Spec> specs(String text) {
        Map<String, Spec> map = new LinkedHashMap<>();
        for (Spec s : SpecText.parse(new Lexer("test.spec", text, UTF8), UTF8)) {
            map.put(s.name(), s);
        }
        return map;
    }

    static BusObj parse(Map<String, Spec> specs, String text) {
        return new BusObjText(specs, UTF8).parse(new Lexer("test.bo", text, UTF8), "en_US");
    }

    /** A readable object must survive: printing, both wire encodings, and back. */
    static void roundTrips(Map<String, Spec> specs, BusObj bo, boolean textForm) {
        BusObjText text = new BusObjText(specs, UTF8);
        String printed = text.print(bo);
        equal(bo, parse(specs, printed));
        equal(printed, text.print(parse(specs, printed)));
        String lp = bo.toLengthPrefixed(specs);
        equal(bo, BusObj.fromLengthPrefixed(lp, specs));
        equal(lp, BusObj.fromLengthPrefixed(lp, specs).toLengthPrefixed(specs));
        if (textForm) {
            String d = bo.toDelimited(specs);
            equal(bo, BusObj.fromDelimited(d, specs));
            equal(d, BusObj.fromDelimited(d, specs).toDelimited(specs));
        }
    }

    FormatTests() {
        Map<String, Spec> s = specs(SPECS);
        test("length-prefixed tokens carry any byte but zero, and their lengths are checked", () -> {
            String twentySix = "abcdefghijklmnopqrstuvwxyz";
            String text = WireTokens.lengthPrefixed(List.of("Smith", "", "a#b\u0003c", twentySix));
            equal("5#Smith4#null5#a#b\u0003c1a#" + twentySix, text);
            equal(List.of("Smith", "null", "a#b\u0003c", twentySix), WireTokens.readLengthPrefixed(text));
            fails("bad length", () -> WireTokens.readLengthPrefixed("5#Smith0x#"));
            fails("bad length", () -> WireTokens.readLengthPrefixed("05#Smith"));
            fails("runs past the end", () -> WireTokens.readLengthPrefixed("6#Smith"));
            fails("no '#'", () -> WireTokens.readLengthPrefixed("5#Smith3"));
        });

        test("delimited reading collapses runs of delimiters and skips leading ones", () -> {
            equal(List.of("a", "b", "c"), WireTokens.readDelimited("\u0003\u0003a\u0003\u0003\u0003b\u0003c", '\u0003'));
            equal("a\u0003null\u0003", WireTokens.delimited(List.of("a", ""), '\u0003'));
            fails("delimiter", () -> WireTokens.delimited(List.of("a\u0003b"), '\u0003'));
        });

        test("the worked example: both encodings byte for byte, in and out", () -> {
            Map<String, Spec> w = specs(String.join("\n",
                    "spec Customer 1.0.0 {", "  attr Name String", "  attr Address Address", "}",
                    "spec Address 1.0.0 {", "  attr City String", "}"));
            BusObj bo = parse(w, "Customer { @verb Create  Name = \"Smith\"  Address = Address { City = Paris } }");
            String d = "BusinessObject|Customer|1.0.0|false|Create|en_US|2|Smith|1|BusinessObject|Address|1.0.0|false"
                    + "|null|en_US|1|Paris||";
            equal(d.replace('|', '\u0003'), bo.toDelimited(w));
            String lp = "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1e#BusinessObject7#Address"
                    + "5#1.0.05#false4#null5#en_US1#15#Paris";
            equal(lp, bo.toLengthPrefixed(w));
            equal(bo, BusObj.fromDelimited(d.replace('|', '\u0003'), w));
            equal(bo, BusObj.fromLengthPrefixed(lp, w));
        });

        test("markers, empty lists, list delta flags, verbs, locales and odd bytes survive", () -> {
            BusObj bo = parse(s, String.join("\n",
                    "Customer {",
                    "  @delta true",
                    "  @locale fr_FR",
                    "  Name = \"a#b \\\"q\\\" \\\\ \\xff\\x01 \u00e9\\n\"",
                    "  Email = blank",
                    "  Address = none",
                    "  Orders = [",
                    "    @delta true",
                    "    Order { @verb Delete  OrderId = \"1\"  Lines = [] }",
                    "    Order { @locale de_DE  OrderId = unset  Lines = [ Order { OrderId = x } ] }",
                    "  ]",
                    "}"));
            equal(Boolean.TRUE, bo.delta);
            equal(null, bo.verb);
            equal("a#b \"q\" \\ \u00ff\u0001 \u00c3\u00a9\n", ((BusObj.Text) bo.values.get(0)).bytes());
            equal(BusObj.BLANK_VALUE, bo.values.get(1));
            equal(BusObj.NO_CHILD, bo.values.get(2));
            equal(BusObj.UNSET, bo.values.get(4));
            BusObj.Array orders = (BusObj.Array) bo.values.get(3);
            equal(Boolean.TRUE, orders.delta());
            equal("Delete", orders.elements().get(0).verb);
            equal("fr_FR", orders.elements().get(0).locale);
            equal("de_DE", orders.elements().get(1).locale);
            BusObj.Array lines = (BusObj.Array) orders.elements().get(1).values.get(1);
            equal(Boolean.FALSE, lines.delta());
            equal("de_DE", lines.elements().get(0).locale);
            roundTrips(s, bo, true);
            check(new BusObjText(s, UTF8).print(bo).contains("\\xff\\x01 \u00e9\\n"), "escapes in print");
        });

        test("the byte-array form carries the delimiter character, the text form refuses it", () -> {
            BusObj bo = parse(s, "Customer { Name = \"a\\x03b\" }");
            roundTrips(s, bo, false);
            fails("delimiter character 3", () -> bo.toDelimited(s));
        });

        test("a record without the delta flag keeps that form and has no list flags", () -> {
            String lp = WireTokens.lengthPrefixed(List.of("BusinessObject", "Customer", "1.0.0", "Create", "en_US",
                    "5", "N", "VqIgnore", "0", "1", "BusinessObject", "Order", "2.0.0", "null", "en_US", "2", "7", "0",
                    "VqBlank"));
            BusObj bo = BusObj.fromLengthPrefixed(lp, s);
            equal(null, bo.delta);
            equal(null, ((BusObj.Array) bo.values.get(3)).delta());
            equal(lp, bo.toLengthPrefixed(s));
            roundTrips(s, bo, true);
            check(new BusObjText(s, UTF8).print(bo).contains("@delta none"), "printed as @delta none");
            fails("carries no list delta flags", () -> parse(s,
                    "Customer { @delta none  Orders = [ @delta true  Order { OrderId = \"1\" } ] }"));
        });

        test("a transactional object carries its prior image in the transaction record", () -> {
            BusObj bo = parse(s, String.join("\n",
                    "Customer { @verb Create  Name = \"new\"",
                    "  Orders = [ @delta true  Order { OrderId = \"1\" } ]",
                    "  @prior { Name = \"old\"  Orders = [ Order { OrderId = \"0\" } ] } }"));
            List<String> tokens = WireTokens.readLengthPrefixed(bo.toLengthPrefixed(s));
            int tag = tokens.indexOf("TransactionBusinessObject");
            check(tag > 0, "transaction tag written");
            equal(List.of("TransactionBusinessObject", "Customer", "1.0.0", "Create", "5", "old", "VqIgnore", "VqIgnore",
                    "1", "BusinessObject"), tokens.subList(tag, tag + 10));
            roundTrips(s, bo, true);
            fails("only the outermost", () -> parse(s, "Customer { Address = Address { @prior { } } }"));
            fails("prior image carry no delta flag", () -> parse(s,
                    "Customer { @prior { Orders = [ @delta true Order { } ] } }"));
        });

        test("what the wire cannot carry back is refused with a reason", () -> {
            fails("write blank", () -> parse(s, "Customer { Name = \"\" }"));
            fails("write unset", () -> parse(s, "Customer { Name = \"VqIgnore\" }"));
            fails("write blank", () -> parse(s, "Customer { Name = VqBlank }"));
            fails("zero byte", () -> parse(s, "Customer { Name = \"a\\x00\" }"));
            fails("means no verb", () -> parse(s, "Customer { @verb \"null\" }"));
            fails("has no attribute Nom", () -> parse(s, "Customer { Nom = \"x\" }"));
            fails("given twice", () -> parse(s, "Customer { Name = a\n Name = b }"));
            fails("not a list", () -> parse(s, "Customer { Address = [ ] }"));
            fails("put its children in [ ]", () -> parse(s, "Customer { Orders = Order { } }"));
            fails("holds child objects", () -> parse(s, "Customer { Address = \"x\" }"));
            fails("no specification", () -> parse(s, "Client { }"));
            fails("test.bo:2:", () -> parse(s, "Customer {\n  Name = \"unterminated\n}"));
            fails("unknown escape", () -> parse(s, "Customer { Name = \"\\q\" }"));
        });

        test("records that do not fit their specification are refused", () -> {
            String good = parse(s, "Customer { Name = a }").toLengthPrefixed(s);
            fails("the record gives 4 attributes", () -> BusObj.fromTokens(replaceAt(good, 6, "4"), s));
            fails("tokens after", () -> BusObj.fromLengthPrefixed(good + "1#x", s));
            fails("ends where", () -> BusObj.fromLengthPrefixed(good.substring(0, good.length() - 10), s));
            fails("not a child count", () -> BusObj.fromTokens(replaceAt(good, 9, "3"), s));
            fails("starts with BusinessObject", () -> BusObj.fromLengthPrefixed("3#Bus", s));
        });

        test("specifications: readable to the wire token by token, and back", () -> {
            Map<String, Spec> r = specs(String.join("\n",
                    "spec Customer 1.2.3 {",
                    "  info \"table=cust\"",
                    "  attr Id Integer key required maxLength=0 info=\"col=id\"",
                    "  attr Address Address cardinality=\"\" default=\"x y\" version=9.9.9 attrFlag=false extra=true",
                    "  verb Create info=\"ins\"",
                    "  verb Delete",
                    "}"));
            Spec spec = r.get("Customer");
            List<String> expected = List.of("BusObjSpec", "Customer", "1.2.3", "table=cust", "2", "2",
                    "Id", "Integer", "true", "false", "true", "col=id", "0", "\u0005", "1.2.3", "1", "null", "true",
                    "Address", "Address", "false", "false", "false", "\u0005", "255", "x y", "9.9.9", "", "Containment",
                    "false", "true",
                    "Create", "ins", "Delete", "\u0005");
            equal(expected, spec.toTokens());
            equal(spec, Spec.fromWire(spec.toWire()));
            String printed = SpecText.print(spec, UTF8);
            equal(spec, specs(printed).get("Customer"));
            fails("after the last verb", () -> Spec.fromWire(spec.toWire() + "1#x"));
            fails("unknown attribute option", () -> specs("spec A 1.0.0 {\n attr X String keys\n}"));
        });

        test("every byte quotes into a literal that reads back as that byte", () -> {
            for (Charset cs : List.of(UTF8, StandardCharsets.ISO_8859_1, StandardCharsets.US_ASCII)) {
                for (int b = 1; b < 256; ++b) {
                    String bytes = "x" + (char) b + "y";
                    String literal = ByteText.quote(bytes, cs);
                    List<String> back = List.of(new Lexer("q", literal, cs).next().bytes());
                    equal(List.of(bytes), back);
                }
            }
            equal("\"caf\u00e9\"", ByteText.quote("caf\u00c3\u00a9", UTF8));
            equal("\"caf\\xc3\\xa9\"", ByteText.quote("caf\u00c3\u00a9", StandardCharsets.US_ASCII));
        });
    }

    private static List<String> replaceAt(String lengthPrefixed, int index, String to) {
        List<String> tokens = new java.util.ArrayList<>(WireTokens.readLengthPrefixed(lengthPrefixed));
        tokens.set(index, to);
        return tokens;
    }

    public static void main(String[] args) { System.exit(new FormatTests().runAll() == 0 ? 0 : 1); }
}
