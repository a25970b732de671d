package hbagent;

import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.Map;

/** Scenarios, the properties file and paths into objects. */
public final class ScenarioTests extends TestCase {
    private final Map<String, Spec> specs = FormatTests.specs(FormatTests.SPECS);

    private Scenario parse(String text) throws Exception {
        return Scenario.parse(write("bad.scenario", text), specs, StandardCharsets.UTF_8, "en_US");
    }

    private BusObj.Value resolve(BusObj bo, String path) {
        return ObjectPath.resolve(bo, specs, path, StandardCharsets.UTF_8);
    }

    ScenarioTests() throws Exception {

        test("a scenario reads into steps with their expectations", () -> {
            Path file = write("s.scenario", String.join("\n",
                    "properties agent.properties",
                    "start",
                    "request Create bytes transactional Customer {",
                    "  Name = \"Ada\"",
                    "  @prior { Name = \"Old\" }",
                    "}",
                    "expect status 1",
                    "expect message contains \"created\"",
                    "expect Orders[0].OrderId = \"7\"",
                    "expect Orders count 2",
                    "expect @verb = none",
                    "poll 3",
                    "expect events 2",
                    "expect event 2 Customer Create",
                    "expect event 1 Address.City = blank",
                    "set deltaSupport Customer true",
                    "subscribe Customer",
                    "cancel Customer *",
                    "request Delete file one.bo",
                    "expect message none"));
            write("one.bo", "# a file holds one object\nCustomer { Name = \"x\" }\n");
            equal(dir().resolve("agent.properties"), Scenario.propertiesDirective(file));
            Scenario sc = Scenario.parse(file, specs, StandardCharsets.UTF_8, "en_US");
            equal(7, sc.steps.size());
            Scenario.Step request = sc.steps.get(1);
            equal(Scenario.Command.REQUEST, request.command);
            check(request.bytes && request.transactional, "bytes and transactional");
            equal("Create", request.object.verb);
            check(request.object.prior != null, "prior image read");
            equal(5, request.expects.size());
            equal(Scenario.ExpectKind.VALUE, request.expects.get(2).kind());
            equal("Orders[0].OrderId", request.expects.get(2).path());
            equal(new BusObj.Text("7"), request.expects.get(2).value());
            equal(Scenario.ExpectKind.COUNT, request.expects.get(3).kind());
            equal(3, sc.steps.get(2).count);
            Scenario.Expect event = sc.steps.get(2).expects.get(1);
            equal(Scenario.ExpectKind.EVENT_TYPE, event.kind());
            equal(2, event.event());
            equal("Create", event.verb());
            equal(Scenario.ExpectKind.EVENT_VALUE, sc.steps.get(2).expects.get(2).kind());
            equal(java.util.List.of("Customer"), sc.steps.get(4).words);
            equal("Delete", sc.steps.get(6).object.verb);
        });

        test("scenario mistakes are reported with their line", () -> {
            fails("bad.scenario:1: an expectation needs a step", () -> parse("expect status 1"));
            fails("bad.scenario:2: unknown step 'pol'", () -> parse("start\npol"));
            fails("bad.scenario:3: Customer has no attribute Nme",
                    () -> parse("start\nrequest Create Customer {\n Nme = x }"));
            fails("bad.scenario:2: cancel needs a verb", () -> parse("start\ncancel Customer\n"));
            fails("bad.scenario:2: 'properties' comes once", () -> parse("start\nproperties x\n"));
            fails("events are numbered from 1", () -> parse("poll\nexpect event 0 Customer\n"));
        });

        test("paths reach values, list elements and headers, and say where they stop", () -> {
            BusObj bo = FormatTests.parse(specs, String.join("\n",
                    "Customer { @verb Create  Name = n  Address = Address { City = Paris }",
                    "  Orders = [ Order { OrderId = \"1\" } Order { OrderId = \"2\"  Lines = [ Order { OrderId = x } ] } ] }"));
            equal(new BusObj.Text("Paris"), resolve(bo, "Address.City"));
            equal(new BusObj.Text("x"), resolve(bo, "Orders[1].Lines[0].OrderId"));
            equal(new BusObj.Text("Create"), resolve(bo, "@verb"));
            equal(BusObj.NO_CHILD, resolve(bo, "Orders[0].@verb"));
            equal(new BusObj.Text("false"), resolve(bo, "Orders[0].@delta"));
            equal(BusObj.UNSET, resolve(bo, "Email"));
            fails("has 2 elements, no [2]", () -> resolve(bo, "Orders[2].OrderId"));
            fails("choose an element", () -> resolve(bo, "Orders.OrderId"));
            fails("Address has no attribute Town", () -> resolve(bo, "Address.Town"));
        });

        test("the properties file splits connector properties from agent settings", () -> {
            Path props = write("agent.properties", String.join("\n",
                    "ConnectorName = Demo",
                    "CharacterEncoding = ascii8",
                    "agent.connector = lib/libc.so",
                    "agent.specs = a.spec, b.spec",
                    "agent.deltaSupport.Customer = true",
                    "agent.collaboration.Sync = Customer:Create Order",
                    "agent.eventAnswer = -3"));
            AgentConfig c = AgentConfig.load(props, Map.of("DatabasePath", "/tmp/x.db", "agent.locale", "fr_FR"));
            equal("Demo", c.connectorProperties.get("ConnectorName"));
            equal("/tmp/x.db", c.connectorProperties.get("DatabasePath"));
            equal(dir().resolve("lib/libc.so"), c.connector);
            equal(java.util.List.of(dir().resolve("a.spec"), dir().resolve("b.spec")), c.specFiles);
            equal("true", c.deltaSupport.get("Customer"));
            equal(2, c.collaborations.get("Sync").size());
            equal("Create", c.collaborations.get("Sync").get(0)[1]);
            equal(null, c.collaborations.get("Sync").get(1)[1]);
            equal(-3, c.eventAnswer);
            equal("fr_FR", c.locale);
            equal(StandardCharsets.ISO_8859_1, c.valueCharset());
            check(!c.specsAsBytes(), "ascii agents send specs as text");
            fails("unknown agent setting agent.encodng", () -> AgentConfig.load(props, Map.of("agent.encodng", "x")));
            fails("is a number", () -> AgentConfig.load(props, Map.of("agent.eventAnswer", "yes")));
            AgentConfig utf16 = AgentConfig.load(null, Map.of("agent.encoding", "UTF-16"));
            equal(StandardCharsets.UTF_16, utf16.valueCharset());
            check(utf16.specsAsBytes(), "other encodings send specs as bytes");
        });
    }

    public static void main(String[] args) throws Exception {
        System.exit(new ScenarioTests().runAll() == 0 ? 0 : 1);
    }
}
