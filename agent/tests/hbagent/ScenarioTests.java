package hbagent;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;

/** Scenarios, the properties file and paths into objects. */
public final class ScenarioTests extends TestCase {
    private final Path dir;

    ScenarioTests() throws Exception {
        dir = Files.createTempDirectory("hbagent-tests");
        dir.toFile().deleteOnExit();
        write("types.spec", FormatTests.SPECS);

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
            equal(dir.resolve("agent.properties"), Scenario.propertiesDirective(file));
            Scenario sc = Scenario.parse(file, FormatTests.specs(FormatTests.SPECS), StandardCharsets.UTF_8, "en_US");
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
            Map<String, Spec> specs = FormatTests.specs(FormatTests.SPECS);
            fails("bad.scenario:1: an expectation needs a step", () ->
                    Scenario.parse(write("bad.scenario", "expect status 1"), specs, StandardCharsets.UTF_8, "en_US"));
            fails("bad.scenario:2: unknown step 'pol'", () ->
                    Scenario.parse(write("bad.scenario", "start\npol"), specs, StandardCharsets.UTF_8, "en_US"));
            fails("bad.scenario:3: Customer has no attribute Nme", () -> Scenario.parse(write("bad.scenario",
                    "start\nrequest Create Customer {\n Nme = x }"), specs, StandardCharsets.UTF_8, "en_US"));
            fails("bad.scenario:2: cancel needs a verb", () -> Scenario.parse(write("bad.scenario",
                    "start\ncancel Customer\n"), specs, StandardCharsets.UTF_8, "en_US"));
            fails("bad.scenario:2: 'properties' comes once", () -> Scenario.parse(write("bad.scenario",
                    "start\nproperties x\n"), specs, StandardCharsets.UTF_8, "en_US"));
            fails("events are numbered from 1", () -> Scenario.parse(write("bad.scenario",
                    "poll\nexpect event 0 Customer\n"), specs, StandardCharsets.UTF_8, "en_US"));
        });

        test("paths reach values, list elements and headers, and say where they stop", () -> {
            Map<String, Spec> specs = FormatTests.specs(FormatTests.SPECS);
            BusObj bo = FormatTests.parse(specs, String.join("\n",
                    "Customer { @verb Create  Name = n  Address = Address { City = Paris }",
                    "  Orders = [ Order { OrderId = \"1\" } Order { OrderId = \"2\"  Lines = [ Order { OrderId = x } ] } ] }"));
            equal(new BusObj.Text("Paris"), ObjectPath.resolve(bo, specs, "Address.City", StandardCharsets.UTF_8));
            equal(new BusObj.Text("x"), ObjectPath.resolve(bo, specs, "Orders[1].Lines[0].OrderId",
                    StandardCharsets.UTF_8));
            equal(new BusObj.Text("Create"), ObjectPath.resolve(bo, specs, "@verb", StandardCharsets.UTF_8));
            equal(BusObj.NO_CHILD, ObjectPath.resolve(bo, specs, "Orders[0].@verb", StandardCharsets.UTF_8));
            equal(new BusObj.Text("false"), ObjectPath.resolve(bo, specs, "Orders[0].@delta", StandardCharsets.UTF_8));
            equal(BusObj.UNSET, ObjectPath.resolve(bo, specs, "Email", StandardCharsets.UTF_8));
            fails("has 2 elements, no [2]", () -> ObjectPath.resolve(bo, specs, "Orders[2].OrderId",
                    StandardCharsets.UTF_8));
            fails("choose an element", () -> ObjectPath.resolve(bo, specs, "Orders.OrderId", StandardCharsets.UTF_8));
            fails("Address has no attribute Town", () -> ObjectPath.resolve(bo, specs, "Address.Town",
                    StandardCharsets.UTF_8));
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
            equal(dir.resolve("lib/libc.so"), c.connector);
            equal(java.util.List.of(dir.resolve("a.spec"), dir.resolve("b.spec")), c.specFiles);
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

    private Path write(String name, String text) throws Exception {
        return writeFile(dir, name, text);
    }

    public static void main(String[] args) throws Exception {
        System.exit(new ScenarioTests().runAll() == 0 ? 0 : 1);
    }
}
