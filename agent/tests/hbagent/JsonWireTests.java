package hbagent;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;

/** The JSON wire: exact round trips, defaults on reading, and a clear refusal of every bad document. */
public final class JsonWireTests extends TestCase {
    static final Charset UTF8 = StandardCharsets.UTF_8;

    static JsonWire wire(Map<String, Spec> specs) { return new JsonWire(specs, UTF8, "en_US"); }

    /** bo to JSON and back gives bo again, and the record of what came back is the record of bo. */
    static String roundTrips(Map<String, Spec> specs, BusObj bo) {
        String json = wire(specs).toJson(bo);
        BusObj back = wire(specs).fromJson(json);
        equal(bo, back);
        equal(bo.toLengthPrefixed(specs), back.toLengthPrefixed(specs));
        equal(json, wire(specs).toJson(back));
        check(json.indexOf('\n') < 0, "one line: " + json);
        return json;
    }

    /** The body must fail with a JsonWireException mentioning every part. */
    static void refused(Body body, String... parts) throws Exception {
        String message = throwsA(JsonWireException.class, body).getMessage();
        for (String part : parts) {
            check(message.contains(part), "refused with \"" + message + "\", expected \"" + part + "\"");
        }
    }

    /** Order nested depth levels deep through Lines. */
    static BusObj chain(int depth) {
        BusObj root = null;
        for (int i = 0; i < depth; ++i) {
            BusObj o = new BusObj("Order", "2.0.0", "en_US");
            o.values.add(new BusObj.Text("o" + i));
            o.values.add(root == null ? BusObj.NO_CHILD : new BusObj.Array(Boolean.FALSE, List.of(root)));
            root = o;
        }
        return root;
    }

    private final Map<String, Spec> s = FormatTests.specs(FormatTests.SPECS);

    /** The document must be refused with a message mentioning every part. */
    private void bad(String document, String... parts) throws Exception {
        refused(() -> wire(s).fromJson(document), parts);
    }

    JsonWireTests() {

        test("markers, list delta flags, verbs, locales, odd bytes and the prior image survive the trip", () -> {
            BusObj bo = FormatTests.parse(s, String.join("\n",
                    "Customer {",
                    "  @verb Create",
                    "  @delta true",
                    "  @locale fr_FR",
                    "  Name = \"caf\u00e9 \\\"q\\\" \\\\ \\n \u65e5\u672c\"",
                    "  Email = \"\\xff\\x01bad\\xc3\"",
                    "  Address = none",
                    "  Orders = [",
                    "    @delta true",
                    "    Order { @verb Delete  @version 9.9  OrderId = \"1\"  Lines = [] }",
                    "    Order { @locale de_DE  @delta none  OrderId = unset",
                    "            Lines = [ Order { OrderId = x  Lines = blank } ] }",
                    "  ]",
                    "  ObjectEventId = blank",
                    "  @prior { Name = \"old\"  Orders = [ Order { OrderId = \"0\" } ] }",
                    "}"));
            String json = roundTrips(s, bo);
            check(json.contains("\"Name\":\"caf\u00e9 \\\"q\\\" \\\\ \\n \u65e5\u672c\""), json);
            check(json.contains("\"Email\":{\"base64\":\"/wFiYWTD\"}"), "undecodable bytes as base64: " + json);
            check(json.contains("\"Address\":[]"), "no child as []: " + json);
            check(json.contains("\"ObjectEventId\":null"), "blank as null: " + json);
            check(json.contains("\"Orders\":{\"delta\":true,\"elements\":["), "list delta flag: " + json);
            check(!json.contains("OrderId\":\"VqIgnore") && !json.contains("\"Phone\""), "unset left out: " + json);
            check(json.contains("\"prior\":{\"Name\":\"old\",\"Orders\":[{"), "prior image: " + json);

            // A record without the delta flag, and an after-image whose child is a byte string in ISO-8859-1.
            BusObj plain = BusObj.fromLengthPrefixed(WireTokens.lengthPrefixed(List.of("BusinessObject", "Customer",
                    "1.0.0", "null", "en_US", "5", "N\u00e9", "VqBlank", "1", "BusinessObject", "Address", "1.0.0",
                    "false", "Retrieve", "en_US", "1", "VqIgnore", "1", "BusinessObject", "Order", "2.0.0", "null",
                    "en_US", "2", "7", "0", "VqIgnore")), s);
            String plainJson = roundTrips(s, plain);
            check(plainJson.contains("\"delta\":null"), plainJson);
            // List flags that do not match their record still come back as they were.
            BusObj odd = FormatTests.parse(s, "Customer { Orders = [ Order { Lines = [ Order { } ] } ] }");
            BusObj.Array orders = (BusObj.Array) odd.values.get(3);
            BusObj order = orders.elements().get(0);
            order.delta = null;
            order.values.set(1, new BusObj.Array(Boolean.FALSE, ((BusObj.Array) order.values.get(1)).elements()));
            odd.values.set(3, new BusObj.Array(null, orders.elements()));
            String oddJson = wire(s).toJson(odd);
            equal(odd, wire(s).fromJson(oddJson));
            check(oddJson.contains("\"Orders\":{\"delta\":null,") && oddJson.contains("\"Lines\":{\"delta\":false,"),
                    oddJson);

            JsonWire latin = new JsonWire(s, StandardCharsets.ISO_8859_1, "en_US");
            equal(plain, latin.fromJson(latin.toJson(plain)));
            check(latin.toJson(plain).contains("\"N\u00e9\""), latin.toJson(plain));
        });

        test("a minimal document takes the defaults: spec version, parent's locale, no verb, after-image", () -> {
            BusObj bo = wire(s).fromJson(String.join("\n",
                    "{\"attributes\": {\"Name\": \"x\", \"Address\": {\"attributes\": {}},",
                    "   \"Orders\": [{\"locale\": \"de_DE\", \"attributes\": {\"Lines\": [{}]}}]},",
                    " \"type\": \"Customer\"}"));
            equal(FormatTests.parse(s, "Customer { Name = x  Address = Address { }"
                    + "  Orders = [ Order { @locale de_DE  Lines = [ Order { } ] } ] }"), bo);
            BusObj located = new JsonWire(s, UTF8, "ja_JP").fromJson("{\"type\": \"Address\", \"verb\": null}");
            equal("ja_JP", located.locale);
            equal(null, located.verb);
            equal(Boolean.FALSE, located.delta);
            equal(List.of(BusObj.UNSET), located.values);
            equal(null, located.prior);
        });

        test("objects 100 deep go through, 101 deep are refused both ways, 10,000 deep without recursion", () -> {
            roundTrips(s, chain(BusObj.MAX_DEPTH));
            refused(() -> wire(s).toJson(chain(BusObj.MAX_DEPTH + 1)), "nested deeper than 100");
            String lines = "{\"type\":\"Order\",\"attributes\":{\"Lines\":[";
            bad(lines.repeat(BusObj.MAX_DEPTH) + "{}" + "]}}".repeat(BusObj.MAX_DEPTH), "nested deeper than 100",
                    "Lines[0].Lines[0]");
            bad("[".repeat(10_000) + "]".repeat(10_000), "JSON nested deeper than " + JsonWire.MAX_JSON_DEPTH);
            bad(lines.repeat(10_000), "nested deeper");
            bad("{\"a\":".repeat(10_000) + "1" + "}".repeat(10_000), "JSON nested deeper");
        });

        test("malformed JSON names its line and column", () -> {
            bad("{\"type\": \"Customer\",\n  \"attributes\": {\"Name\": \"x\",}}",
                    "malformed JSON at line 2, column 31");
            bad("{\"type\": \"Customer\"\n", "malformed JSON at line 2");
            bad("{\"type\": \"Customer\", \"type\": \"Address\"}", "Duplicate field");
            bad("{\"type\": \"Customer\"} {}", "text after the end", "column 22");
            bad("   ", "empty document");
            bad("\"Customer\"", "a string, a business object is a JSON object");
            bad("{\"type\": 1" + "0".repeat(200) + "}", "a number of 201 characters");
            bad("{\"type\": 1" + "0".repeat(1_000_000) + "}", "umber");
            bad("{\"type\": \"Customer\", \"attributes\": {\"Name\": \"a\u0001\"}}", "malformed JSON", "line 1");
        });

        test("unknown types and attributes, and values of the wrong kind, name the attribute path", () -> {
            String orders = "{\"type\": \"Customer\", \"attributes\": {\"Orders\": [{}, {\"attributes\": %s}]}}";
            bad("{\"type\": \"Client\"}", "unknown business object type \"Client\"");
            bad("{\"attributes\": {}}", "no \"type\"");
            bad(String.format(orders, "{\"City\": \"x\"}"), "Orders[1].City:",
                    "Order has no such attribute", "line 1, column 76");
            bad(String.format(orders, "{\"OrderId\": 7}"), "Orders[1].OrderId: a number", "text");
            bad(String.format(orders, "{\"OrderId\": true}"), "Orders[1].OrderId: a bool");
            bad(String.format(orders, "{\"OrderId\": {}}"), "Orders[1].OrderId: an obj");
            bad(String.format(orders, "{\"Lines\": \"x\"}"), "Orders[1].Lines: a string", "list of children");
            bad(String.format(orders, "{\"Lines\": [\"x\"]}"), "Orders[1].Lines[0]: a str");
            bad(String.format(orders, "{\"Lines\": {\"elements\": []}}"),
                    "Orders[1].Lines: a list with a delta flag needs");
            bad(String.format(orders, "{\"Lines\": {\"delta\": 1, \"elements\": [{}]}}"),
                    "Orders[1].Lines.delta: a number");
            bad("{\"type\": \"Customer\", \"attributes\": {\"Address\": [{}]}}", "Address: an array where one child");
            bad("{\"type\": \"Customer\", \"attributes\": {\"Address\": \"Paris\"}}",
                    "Address: a string where one child");
            bad("{\"type\": \"Customer\", \"attributes\": []}", "not a JSON object");
            bad("{\"type\": \"Customer\", \"Name\": \"x\"}", "unknown field \"Name\"");
            String longName = "N".repeat(100_000);
            for (String doc : List.of("{\"type\": \"" + longName + "\"}", "{\"" + longName + "\": 1}",
                    "{\"type\": \"Customer\", \"attributes\": {\"" + longName + "\": \"x\"}}")) {
                String message = throwsA(JsonWireException.class, () -> wire(s).fromJson(doc)).getMessage();
                check(message.length() < 300 && message.contains("(100000 characters)"),
                        "a short message naming the long name: " + message.length());
            }
            bad("{\"type\": \"Customer\", \"delta\": \"yes\"}", "delta: a string");
            bad("{\"type\": \"Customer\", \"attributes\": {\"Address\": "
                    + "{\"type\": \"Address\", \"prior\": {}}}}", "Address.prior: only the outermost");
        });

        test("texts a record cannot carry back, or the charset cannot write, are refused", () -> {
            String doc = "{\"type\": \"Customer\", \"attributes\": {\"Name\": %s}}";
            bad(String.format(doc, "\"\""), "Name: an empty text travels as blank");
            bad(String.format(doc, "\"VqBlank\""), "Name:", "write null");
            bad(String.format(doc, "\"VqIgnore\""), "leave the attribute out");
            bad(String.format(doc, "\"a\\u0000b\""), "zero byte");
            bad(String.format(doc, "\"\\ud800\""), "cannot be written in UTF-8");
            refused(() -> new JsonWire(s, StandardCharsets.ISO_8859_1, "en_US").fromJson(String.format(doc,
                    "\"\u65e5\"")), "cannot be written in ISO-8859-1", "base64");
            bad(String.format(doc, "{\"base64\": \"**\"}"), "Name: not base64");
            bad("{\"type\": \"Customer\", \"verb\": \"null\"}", "verb: the verb \"null\"");
            bad("{\"type\": \"Customer\", \"locale\": \"\"}", "locale: an empty text");
            equal(new BusObj.Text("\u00ff\u0000".substring(0, 1)),
                    wire(s).fromJson(String.format(doc, "{\"base64\": \"/w==\"}")).values.get(0));
        });

        test("objects that have no JSON form are refused", () -> {
            BusObj bo = FormatTests.parse(s, "Customer { Name = x }");
            bo.values.set(2, new BusObj.Text("x"));
            refused(() -> wire(s).toJson(bo), "Address: holds child objects");
            bo.values.set(2, new BusObj.Array(Boolean.FALSE, List.of()));
            refused(() -> wire(s).toJson(bo), "Address: holds one child, not a list");
            bo.values.set(2, BusObj.NO_CHILD);
            bo.values.set(3, new BusObj.Array(Boolean.FALSE, List.of()));
            refused(() -> wire(s).toJson(bo), "Orders: an empty list");
            bo.values.remove(3);
            refused(() -> wire(s).toJson(bo), "4 values for the 5 attributes");
            refused(() -> wire(s).toJson(new BusObj("Client", "1", "en_US")), "no specification");
        });

        test("mutated documents either read or are refused with the wire's own error, quickly", () -> {
            List<String> seeds = new ArrayList<>();
            seeds.add(wire(s).toJson(FormatTests.parse(s, "Customer { @verb Create  @delta true  Name = \"caf\u00e9\""
                    + "  Email = blank  Address = Address { City = Paris }"
                    + "  Orders = [ @delta true  Order { OrderId = \"1\"  Lines = [ Order { } ] } ]"
                    + "  @prior { Name = old } }")));
            seeds.add(wire(s).toJson(chain(40)));
            String[] inserts = {"{", "[", "}", "]", "\"", "\\", ":", ",", "null", "1e99999", "-0.0",
                    "9".repeat(70), "\"\\ud800\"", "{\"base64\":\"*\"}", "\u0000", "\u00e9", "[]", "{}", "true"};
            Random random = new Random(20261207L);
            int read = 0;
            int refusedCount = 0;
            long slowest = 0;
            for (int i = 0; i < 4000; ++i) {
                String text = seeds.get(random.nextInt(seeds.size()));
                int edits = 1 + random.nextInt(3);
                for (int e = 0; e < edits && !text.isEmpty(); ++e) {
                    int at = random.nextInt(text.length());
                    int len = Math.min(text.length() - at, 1 + random.nextInt(20));
                    text = switch (random.nextInt(6)) {
                        case 0 -> text.substring(0, at) + text.substring(at + len);
                        case 1 -> text.substring(0, at + len) + text.substring(at);
                        case 2 -> text.substring(0, at) + (char) (text.charAt(at) ^ (1 << random.nextInt(7)))
                                + text.substring(at + 1);
                        case 3 -> text.substring(0, at) + inserts[random.nextInt(inserts.length)] + text.substring(at);
                        case 4 -> text.substring(0, at);
                        default -> {
                            int n = 1 + random.nextInt(3000);
                            yield text.substring(0, at) + "{\"type\":\"Order\",\"attributes\":{\"Lines\":[".repeat(n)
                                    + text.substring(at);
                        }
                    };
                }
                long start = System.nanoTime();
                try {
                    BusObj bo = wire(s).fromJson(text);
                    ++read;
                    try {
                        equal(bo, wire(s).fromJson(wire(s).toJson(bo)));
                    } catch (JsonWireException e) {
                        // An object read from JSON may still have no JSON form (an empty list is refused both ways).
                        throw new AssertionError("read but cannot be written: " + e.getMessage() + " in " + text);
                    }
                } catch (JsonWireException e) {
                    ++refusedCount;
                    check(e.getMessage() != null && !e.getMessage().isEmpty(), "a message");
                } catch (RuntimeException | StackOverflowError e) {
                    throw new AssertionError("input " + i + " threw " + e + " for " + text, e);
                }
                slowest = Math.max(slowest, System.nanoTime() - start);
            }
            System.out.println("  mutations: " + read + " read, " + refusedCount + " refused, slowest "
                    + slowest / 1_000_000 + " ms");
            check(read > 50 && refusedCount > 1000, "both outcomes seen: " + read + " read, " + refusedCount);
            check(slowest < 2_000_000_000L, "every input within 2 s, slowest " + slowest / 1_000_000 + " ms");
        });
    }

    public static void main(String[] args) { System.exit(new JsonWireTests().runAll() == 0 ? 0 : 1); }
}
